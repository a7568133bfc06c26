// The bench's w32time.dll: W32TimeSyncNow asks the W32Time stand-in, through the service
// manager, to synchronize now. Wine ships no w32time.dll, and the product loads this entry at
// run time.
#include <windows.h>

#include <cwchar>

#include "bench/w32time_standin/standin_protocol.h"
#include "common/unique_handle_win.h"

namespace {

// Only this machine is reachable from the bench (Wine's service manager answers a remote name
// with the local one), so another machine's name must fail rather than act here.
bool IsLocalComputer(LPCWSTR computer) {
    if (computer == nullptr) {
        return true;
    }
    while (*computer == L'\\') {
        ++computer;
    }
    if (*computer == L'\0' || _wcsicmp(computer, L".") == 0 ||
        _wcsicmp(computer, L"localhost") == 0 || _wcsicmp(computer, L"127.0.0.1") == 0) {
        return true;
    }
    for (const COMPUTER_NAME_FORMAT format :
         {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
        wchar_t name[256];
        DWORD size = sizeof name / sizeof name[0];
        if (GetComputerNameExW(format, name, &size) && _wcsicmp(computer, name) == 0) {
            return true;
        }
    }
    return false;
}

// A scripted refusal: the stand-in's state may name the error this call returns instead.
DWORD ScriptedRefusal() {
    DWORD code = 0;
    DWORD size = sizeof code;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, standin::kStateKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), L"SyncNowRefuse", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&code), &size) != ERROR_SUCCESS ||
        size != sizeof code) {
        return 0;
    }
    return code;
}

} // namespace

// Returns 0 once the running W32Time stand-in has taken the request, otherwise the Windows
// error: 1060 when it is not installed, 1062 when it is not running, 1722 for another machine.
extern "C" DWORD WINAPI W32TimeSyncNow(LPCWSTR computer, ULONG wait, ULONG flags) {
    if (!IsLocalComputer(computer)) {
        return RPC_S_SERVER_UNAVAILABLE;
    }
    if (const DWORD refusal = ScriptedRefusal()) {
        return refusal;
    }
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return GetLastError();
    }
    UniqueService service(
        OpenServiceW(manager.get(), standin::kServiceName, SERVICE_USER_DEFINED_CONTROL));
    if (!service) {
        return GetLastError();
    }
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), standin::SyncNowControl(wait != 0, flags), &status)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
