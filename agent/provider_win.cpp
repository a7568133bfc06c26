// Time-provider entry points called by the Windows Time service.
#include <windows.h>
#include <timeprov.h>

extern "C" {

// Until the agent starts here, every open is answered as for a provider name that is not ours:
// result 0 with handle 0, so the service simply runs without us.
HRESULT WINAPI TimeProvOpen(WCHAR*, TimeProvSysCallbacks*, TimeProvHandle* handle) {
    if (handle != nullptr) {
        *handle = nullptr;
    }
    return S_OK;
}

HRESULT WINAPI TimeProvCommand(TimeProvHandle, TimeProvCmd command, TimeProvArgs) {
    return static_cast<unsigned>(command) <= TPC_Shutdown ? S_OK : ERROR_INVALID_PARAMETER;
}

HRESULT WINAPI TimeProvClose(TimeProvHandle) {
    return S_OK;
}

} // extern "C"
