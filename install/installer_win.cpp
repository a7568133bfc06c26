#include "install/installer_win.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "agent/agent_state_win.h"
#include "common/error_text_win.h"
#include "common/message_box_win.h"
#include "common/remote_machine_win.h"
#include "config/registry.h"
#include "config/registry_keys.h"
#include "config/service_control_win.h"
#include "config/settings.h"
#include "config/settings_changes.h"
#include "history/drift_file_win.h"
#include "install/install_rules.h"
#include "resources/resource.h"
#include "resources/version.h"

namespace {

constexpr char kWindowsNtKey[] = "\\\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kUninstallKeyFormat[] =
    "\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";
constexpr char kStagedModuleFileName[] = "kestrel.new";
constexpr UINT kWorkerRefusedMessage = WM_APP + 1;
constexpr DWORD kFinishedPauseMs = 1000;

char g_sourceForTesting[MAX_PATH + 1];
bool g_workerRefused = false;

// This module's own file: the library when loaded as one, the program when linked into it.
bool ModuleSource(char* path, size_t size) {
    if (g_sourceForTesting[0] != '\0') {
        std::snprintf(path, size, "%s", g_sourceForTesting);
        return true;
    }
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleSource), &module)) {
        return false;
    }
    const DWORD length = GetModuleFileNameA(module, path, static_cast<DWORD>(size));
    if (length == 0 || length >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool JoinPath(const char* folder, const char* name, char* out, size_t size) {
    const int length = std::snprintf(out, size, "%s%s", folder, name);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// The system folder as the machine's own registry names it, for the uninstall entry and the
// retired module: "SystemRoot" and "\system32\".
void RegistrySystemFolder(size_t limit, char* out, size_t size) {
    char root[300];
    ReadString(kWindowsNtKey, "SystemRoot", root, limit, "c:\\windows");
    std::snprintf(out, size, "%s\\system32\\", root);
}

// The history file exists after an installation, with its access list when it had to be made.
void EnsureDriftFile(const char* machine) {
    char folder[MAX_PATH + 1];
    char path[MAX_PATH + 16];
    if (!MachineSystemFolder(machine, folder, sizeof(folder)) ||
        !JoinPath(folder, kDriftFileName, path, sizeof(path))) {
        return;
    }
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        SecureDriftFile(path);
    }
}

const char* MachineNameForMessages(const InstallRequest& request) {
    return request.target != nullptr ? request.target : CurrentEnvironment().computerName;
}

void ApplyFamilyWishes(const InstallRequest& request, SettingsRecord* after) {
    const uint32_t family = CurrentEnvironment().familyProduct;
    const char* key = nullptr;
    const char* value = nullptr;
    FamilyBlobFacts facts{};
    const bool haveBlob = FamilyBlobLocation(family, &key, &value);
    if (haveBlob) {
        uint8_t blob[kFamilyBlobSize];
        ReadBinary(key, value, blob, sizeof(blob));
        facts = ReadFamilyBlob(blob);
    }
    bool slave = false;
    bool serves = false;
    if (family == kFamilyServer) {
        slave = ReadBoolean(kFamilyServerParametersKey, kSlaveModeValue, 0) != 0 || facts.slave;
        serves = FamilyServerServesNtp();
    }
    ApplyFamilyAdjustments(after, family, slave, serves, request.serverTypeBits);
    if (haveBlob) {
        for (const char* name : facts.names) {
            AddTimeServer(after, name);
        }
    }
    for (const char* name : kPublicTimeServers) {
        AddTimeServer(after, name);
    }
}

struct ProgressState {
    const InstallRequest* request;
    uint32_t mode;
    HWND window;
    HANDLE thread;
    DWORD error;
};

DWORD WINAPI ProgressWorker(void* parameter) {
    const auto* state = static_cast<const ProgressState*>(parameter);
    HWND window = state->window;
    const InstallRequest& request = *state->request;
    const int result = state->mode == kProgressInstall ? InstallAgent(request, window)
                                                       : RemoveAgent(request, window);
    const DWORD error = GetLastError();
    PostMessageA(window, kProgressDoneMessage, 0, result);
    return error;
}

void OnProgressInit(HWND window, ProgressState* state) {
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    state->window = window;
    SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
    SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
    SetWindowTextA(window, HOROLOGIX_PRODUCT_NAME);
    SetDlgItemTextA(window, IDC_PROGRESS_PRODUCT, ProgressProductText());
    char action[320];
    FormatProgressAction(state->mode == kProgressInstall, state->request->target, action,
                         sizeof(action));
    SetDlgItemTextA(window, IDC_PROGRESS_ACTION, action);
    state->thread =
        g_workerRefused ? nullptr : CreateThread(nullptr, 0, ProgressWorker, state, 0, nullptr);
    if (state->thread == nullptr) {
        // Nothing would ever post the end: the window ends itself once the user has been told.
        state->error =
            g_workerRefused ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : GetLastError();
        PostMessageA(window, kWorkerRefusedMessage, 0, 0);
    }
}

void OnProgressDone(HWND window, ProgressState* state, LPARAM result) {
    SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_SETPOS, 100, 0);
    Sleep(kFinishedPauseMs); // the full bar stays in view for a moment
    if (state->thread != nullptr) {
        WaitForSingleObject(state->thread, INFINITE);
        DWORD code = 0;
        GetExitCodeThread(state->thread, &code);
        state->error = code;
        CloseHandle(state->thread);
        state->thread = nullptr;
    }
    EndDialog(window, result);
}

INT_PTR CALLBACK ProgressProc(HWND window, UINT message, WPARAM, LPARAM lParam) {
    auto* state = reinterpret_cast<ProgressState*>(GetWindowLongPtrA(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        OnProgressInit(window, reinterpret_cast<ProgressState*>(lParam));
        return TRUE;
    case WM_COMMAND:
        return TRUE; // the work cannot be cancelled
    case kWorkerRefusedMessage:
        ShowProductMessage(window, state->request->quiet, MB_ICONERROR | MB_TASKMODAL | MB_TOPMOST,
                           "Could not start the %s; %s",
                           state->mode == kProgressInstall ? "installation" : "removal",
                           SystemErrorText(state->error));
        PostMessageA(window, kProgressDoneMessage, 0, 0);
        return TRUE;
    case kProgressDoneMessage:
        if (state != nullptr) {
            OnProgressDone(window, state, lParam);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void SetInstallSourceForTesting(const char* path) {
    std::snprintf(g_sourceForTesting, sizeof(g_sourceForTesting), "%s", path ? path : "");
}

void SetProgressWorkerRefusedForTesting(bool refused) {
    g_workerRefused = refused;
}

void StepProgress(const InstallRequest& request, HWND window) {
    if (window != nullptr && !request.quiet) {
        SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_STEPIT, 0, 0);
    }
}

uint64_t FileVersion(const char* path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        return 0;
    }
    HANDLE heap = GetProcessHeap();
    void* data = HeapAlloc(heap, 0, size);
    if (data == nullptr) {
        return 0;
    }
    uint64_t version = 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (GetFileVersionInfoA(path, 0, size, data) &&
        VerQueryValueA(data, "\\", reinterpret_cast<void**>(&fixed), &fixedSize) &&
        fixed != nullptr && fixedSize >= sizeof(VS_FIXEDFILEINFO)) {
        version = (uint64_t{fixed->dwFileVersionMS} << 32) | fixed->dwFileVersionLS;
    }
    HeapFree(heap, 0, data);
    return version;
}

bool IsNewerFile(const char* source, const char* destination) {
    return IsNewerVersion(FileVersion(source), FileVersion(destination));
}

bool CopyModule(const char* machine) {
    char source[MAX_PATH + 1];
    char folder[MAX_PATH + 1];
    char destination[MAX_PATH + 16];
    char staged[MAX_PATH + 16];
    if (!ModuleSource(source, sizeof(source)) ||
        !MachineSystemFolder(machine, folder, sizeof(folder)) ||
        !JoinPath(folder, kModuleFileName, destination, sizeof(destination)) ||
        !JoinPath(folder, kStagedModuleFileName, staged, sizeof(staged))) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    if (strcasecmp(source, destination) == 0 || !IsNewerFile(source, destination)) {
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    SetFileAttributesA(staged, FILE_ATTRIBUTE_NORMAL);
    if (!CopyFileA(source, staged, FALSE)) {
        const DWORD error = GetLastError();
        DeleteFileA(staged);
        SetLastError(error);
        return false;
    }
    SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
    // A module the service has loaded refuses to be replaced: the old one stays, whole.
    if (!MoveFileExA(staged, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileA(staged);
        SetLastError(error);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

void WriteUninstallEntry(const char* name) {
    char folder[300];
    RegistrySystemFolder(255, folder, sizeof(folder));
    char key[kResolvedPathSize];
    std::snprintf(key, sizeof(key), kUninstallKeyFormat, name);
    char text[400];
    WriteString(key, "DisplayName", name);
    WriteString(key, "UninstallString", FormatUninstallCommand(folder, text, sizeof(text)));
    WriteString(key, "DisplayIcon", FormatUninstallIcon(folder, text, sizeof(text)));
    WriteString(key, "PublisherName", HOROLOGIX_MAKER_NAME);
    WriteString(key, "Publisher", HOROLOGIX_MAKER_NAME);
    WriteString(key, "URLInfoAbout", "https://" HOROLOGIX_MAKER_WEB_ADDRESS "/");
    WriteNumber(key, "NoModify", 1);
    WriteNumber(key, "NoRepair", 1);
    WriteNumber(key, "TSAware", 0);
    WriteNumber(key, "WindowsInstaller", 0);
    WriteNumber(key, "VersionMajor", 4);
    WriteNumber(key, "VerMinor", 1);
    WriteString(key, "HelpTelephone", HOROLOGIX_SUPPORT_PHONE);
    WriteString(key, "Contact", HOROLOGIX_SUPPORT_EMAIL);
    WriteString(key, "HelpLink", HOROLOGIX_HELP_ADDRESS);
    WriteString(key, "URLInfoAbout", "https://" HOROLOGIX_MAKER_WEB_ADDRESS "/");
    WriteString(key, "URLUpdateInfo", "https://" HOROLOGIX_MAKER_WEB_ADDRESS "/downloads/");
    WriteString(key, "DisplayVersion", HOROLOGIX_FILEVERSION_TEXT);
}

void DeleteUninstallEntry(const char* name) {
    char key[kResolvedPathSize];
    std::snprintf(key, sizeof(key), kUninstallKeyFormat, name);
    DeleteKey(key);
}

int InstallAgent(const InstallRequest& request, HWND window) {
    const char* target = request.target;
    const bool showErrors = !request.quiet;
    StepProgress(request, window);
    EnsureDriftFile(target);
    StepProgress(request, window);
    SecureW32TimeKeys();
    WriteUninstallEntry(kUninstallEntryName);
    StepProgress(request, window);

    SettingsRecord before{};
    SettingsBaseline baseline{};
    LoadSettingsWithBaseline(&before, &baseline);
    StepProgress(request, window);
    SettingsRecord after = before;
    StepProgress(request, window);

    bool copied = CopyModule(target);
    DWORD error = GetLastError();
    StepProgress(request, window);

    MarkFirstInstallation(&after);
    ApplyFamilyWishes(request, &after);
    StepProgress(request, window);

    bool stopped = false;
    if (!copied) {
        if (ControlTimeService(window, target, kTimeServiceIsRunning, false)) {
            // The service holds the module: stop it, copy, and start it again below.
            StepProgress(request, window);
            SetLastError(ERROR_SUCCESS);
            stopped = ControlTimeService(window, target, kTimeServiceStop, showErrors);
            StepProgress(request, window);
            if (stopped) {
                copied = CopyModule(target);
            }
            error = copied ? ERROR_SUCCESS : (GetLastError() != 0 ? GetLastError() : error);
            StepProgress(request, window);
        }
        if (!copied) {
            const char* errorText = SystemErrorText(error);
            ShowProductMessage(window, request.quiet, 0,
                               "Could not install %s to the system32 folder on %s; %s",
                               kModuleFileName, MachineNameForMessages(request), errorText);
        }
    }

    if (SettingsDiffer(before, after)) {
        if (!stopped && ControlTimeService(window, target, kTimeServiceIsRunning, showErrors)) {
            StepProgress(request, window);
            stopped = ControlTimeService(window, target, kTimeServiceStop, showErrors);
            StepProgress(request, window);
        }
        SaveSettingsChangedFrom(before, baseline, after);
    }
    ReleaseSettingsBaseline(&baseline);
    if (stopped) {
        StepProgress(request, window);
        ControlTimeService(window, target, kTimeServiceStart, showErrors);
        StepProgress(request, window);
    }
    StepProgress(request, window);
    SetLastError(error);
    return copied ? 1 : 0;
}

int RemoveAgent(const InstallRequest& request, HWND window) {
    const char* target = request.target;
    const bool showErrors = !request.quiet;
    StepProgress(request, window);
    ControlTimeService(window, target, kTimeServiceStop, showErrors);
    DWORD error = GetLastError();
    StepProgress(request, window);
    if (request.removedSettings != nullptr) {
        LoadSettings(request.removedSettings);
    }
    DeleteUninstallEntry(kUninstallEntryName);
    // Only what the installation added goes: the Windows Time values stay exactly as the user
    // left them, instead of being written back through the settings model, whose save normalizes
    // some of them (the client mode, the server list, a partial debug-log setting).
    DeleteAgentRegistration();
    SetLastError(error);
    StepProgress(request, window);
    const bool started = ControlTimeService(window, target, kTimeServiceStart, showErrors);
    error = GetLastError();
    StepProgress(request, window);
    SetLastError(error);
    return started ? 1 : 0;
}

bool RetireModule() {
    char folder[300];
    RegistrySystemFolder(260, folder, sizeof(folder));
    char module[MAX_PATH + 16];
    char old[MAX_PATH + 16];
    if (!JoinPath(folder, kModuleFileName, module, sizeof(module)) ||
        !JoinPath(folder, kRetiredModuleFileName, old, sizeof(old))) {
        return false;
    }
    const auto move = [&] {
        SetFileAttributesA(module, FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesA(old, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(old);
        SetLastError(ERROR_SUCCESS);
        return MoveFileExA(module, old, MOVEFILE_REPLACE_EXISTING) != FALSE;
    };
    if (move()) {
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) {
        return false;
    }
    if (!ControlTimeService(nullptr, nullptr, kTimeServiceStop, true)) {
        return false;
    }
    const bool moved = move();
    const DWORD error = GetLastError();
    ControlTimeService(nullptr, nullptr, kTimeServiceStart, false);
    SetLastError(error);
    return moved;
}

int ShowProgress(const InstallRequest& request, uint32_t mode) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    ProgressState state{&request, mode, nullptr, nullptr, 0};
    const INT_PTR result =
        DialogBoxParamA(request.resources, MAKEINTRESOURCEA(IDD_PROGRESS), request.owner,
                        ProgressProc, reinterpret_cast<LPARAM>(&state));
    if (result == -1) {
        return 0; // the window could not be made: its error is the last error
    }
    SetLastError(state.error);
    return static_cast<int>(result);
}

int RunInstallerQuietly(const InstallRequest& request, bool install) {
    return install ? InstallAgent(request, nullptr) : RemoveAgent(request, nullptr);
}

int RunInstallerWithProgress(const InstallRequest& request, bool install) {
    return ShowProgress(request, install ? kProgressInstall : kProgressRemove);
}
