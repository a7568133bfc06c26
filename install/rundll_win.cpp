// rundll32 entry point: "rundll32 kestrel.cpl,RunDll -install" or "-remove", always on the local
// machine and always behind the progress window.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>

#include "common/error_text_win.h"
#include "common/module_win.h"
#include "common/remote_machine_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "config/system_identity_win.h"
#include "install/install_rules.h"
#include "install/installer_win.h"
#include "resources/version.h"

namespace {

constexpr uint32_t kLocalServerTypeBits = 0x1001; // workstation and NT

// rundll32's messages are plain boxes: no quiet mode applies here.
void Tell(HWND owner, const char* text) {
    MessageBoxA(owner, text, HOROLOGIX_PRODUCT_NAME, MB_ICONEXCLAMATION);
}

void TellError(HWND owner) {
    const DWORD error = GetLastError();
    if (error != ERROR_SUCCESS) {
        Tell(owner, SystemErrorText(error));
    }
}

} // namespace

extern "C" void CALLBACK RunDll(HWND owner, HINSTANCE, LPSTR commandLine, int) {
    IdentifyLocalSystem();
    ReadEnvironment();
    ServerInfo101 info{};
    SettingsRecord removed{};
    InstallRequest request{};
    request.target = nullptr;
    request.quiet = false;
    request.owner = owner;
    request.serverTypeBits =
        ReadServerInfo(nullptr, &info) == ERROR_SUCCESS ? info.type : kLocalServerTypeBits;
    const HMODULE library = GetModuleHandleA("kestrel.cpl");
    request.resources = library != nullptr ? library : ModuleInstance();
    request.removedSettings = &removed;

    if (LocalSystemIdentity().os < kOsWin2000) {
        Tell(owner, "Sorry, this program requires Windows 2000 or above.");
        return;
    }
    switch (ParseRunDllCommand(commandLine)) {
    case RunDllCommand::kMissing:
        Tell(owner, "Was expecting a command like -remove or -install.");
        break;
    case RunDllCommand::kInstall:
        ShowProgress(request, kProgressInstall);
        TellError(owner);
        break;
    case RunDllCommand::kRemove:
        if (ShowProgress(request, kProgressRemove) != 0) {
            RetireModule();
        }
        TellError(owner);
        break;
    case RunDllCommand::kUnknown:
        Tell(owner, "Was expecting either -remove or -install on the command line.");
        break;
    }
}
