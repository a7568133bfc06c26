#include "config/service_control_win.h"

#include <cstdio>

#include "common/error_text_win.h"
#include "common/remote_machine_win.h"
#include "common/unique_handle_win.h"

namespace {

const char kTimeServiceName[] = "W32Time";
constexpr int kMaxPolls = 100;
constexpr DWORD kPollIntervalMs = 100;
// What QUERY_SERVICE_CONFIGA and its strings get; a configuration that needs more is a failure.
constexpr DWORD kConfigBufferSize = 8000;

// The service manager and one service of a machine, both opened with full access; error holds
// the failing call's error when either open fails.
struct OpenedService {
    UniqueService manager;
    UniqueService service;
};

bool OpenNamedService(const char* machine, const char* name, OpenedService* opened, DWORD* error) {
    opened->manager.reset(OpenMachineServiceManager(machine, SC_MANAGER_ALL_ACCESS));
    if (!opened->manager) {
        *error = GetLastError();
        return false;
    }
    opened->service.reset(OpenServiceA(opened->manager.get(), name, SERVICE_ALL_ACCESS));
    if (!opened->service) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool QueryState(SC_HANDLE service, DWORD* state, DWORD* error) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        *error = GetLastError();
        return false;
    }
    *state = status.dwCurrentState;
    return true;
}

// Polls until the service reports the wanted state, a query fails or the polls run out; then
// one more query decides. A service still on its way has error 0: no call failed.
bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD* error) {
    DWORD state = 0;
    for (int poll = 0; poll < kMaxPolls; ++poll) {
        if (!QueryState(service, &state, error) || state == wanted) {
            break;
        }
        Sleep(kPollIntervalMs);
    }
    if (!QueryState(service, &state, error)) {
        return false;
    }
    *error = ERROR_SUCCESS;
    return state == wanted;
}

// The start type becomes automatic, everything else of the configuration stays as it was.
bool SetAutomaticStart(SC_HANDLE service, DWORD* error) {
    // DWORD elements keep the configuration record aligned.
    DWORD buffer[kConfigBufferSize / sizeof(DWORD)];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    DWORD needed = 0;
    if (!QueryServiceConfigA(service, config, sizeof buffer, &needed)) {
        *error = GetLastError();
        return false;
    }
    // Null strings and SERVICE_NO_CHANGE leave those parts alone; the account's password in
    // particular cannot be read back, only kept.
    if (!ChangeServiceConfigA(service, config->dwServiceType, SERVICE_AUTO_START,
                              config->dwErrorControl, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool SendControl(SC_HANDLE service, DWORD control, DWORD* error) {
    SERVICE_STATUS status{};
    if (!ControlService(service, control, &status)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool StartWithoutArguments(SC_HANDLE service, DWORD* error) {
    if (!StartServiceA(service, 0, nullptr)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool RunTimeServiceOp(const char* machine, uint32_t op, DWORD* error) {
    OpenedService opened;
    DWORD state = 0;
    if (!OpenNamedService(machine, kTimeServiceName, &opened, error) ||
        !QueryState(opened.service.get(), &state, error)) {
        return false;
    }
    SC_HANDLE service = opened.service.get();
    switch (op) {
    case kTimeServiceStop:
        if (state == SERVICE_STOPPED) {
            return true;
        }
        return SendControl(service, SERVICE_CONTROL_STOP, error) &&
               WaitForState(service, SERVICE_STOPPED, error);
    case kTimeServiceIsRunning:
        // Not running is an answer, not a failure.
        return state == SERVICE_RUNNING;
    case kTimeServiceStart:
        if (state == SERVICE_RUNNING) {
            return true;
        }
        // Whoever left the service manual or disabled, starting it means keeping it started.
        return SetAutomaticStart(service, error) && StartWithoutArguments(service, error);
    default:
        return SendControl(service, op, error);
    }
}

void ShowControlFailure(HWND owner, DWORD error) {
    char text[kSystemErrorTextSize + 80];
    snprintf(text, sizeof text, "Service control for W32Time (Windows Time) service failed; %s\r\n",
             SystemErrorText(error));
    MessageBoxA(owner, text, "Horologix", MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL | MB_TOPMOST);
}

} // namespace

bool ControlTimeService(HWND owner, const char* machine, uint32_t op, bool showError) {
    DWORD error = ERROR_SUCCESS;
    const bool done = RunTimeServiceOp(machine, op, &error);
    if (done) {
        error = ERROR_SUCCESS;
    } else if (error != ERROR_SUCCESS && showError) {
        ShowControlFailure(owner, error);
    }
    SetLastError(error);
    return done;
}

bool RestartService(HWND /*owner*/, const char* machine, const char* serviceName) {
    DWORD error = ERROR_SUCCESS;
    bool done = false;
    {
        OpenedService opened;
        DWORD state = 0;
        if (OpenNamedService(machine, serviceName, &opened, &error) &&
            QueryState(opened.service.get(), &state, &error)) {
            SC_HANDLE service = opened.service.get();
            bool stopped = false;
            if (state == SERVICE_START_PENDING) {
                // A starting service refuses the stop, and the wait below would then watch it
                // run for the whole wait: let the start end first (an installer that has just
                // started the service leaves it so).
                WaitForState(service, SERVICE_RUNNING, &error);
                QueryState(service, &state, &error);
            }
            if (state != SERVICE_STOPPED) {
                // A refused stop (the service is already stopping, say) still ends in the
                // wait: the final status decides, and names the refusal when it is not stopped.
                DWORD stopError = ERROR_SUCCESS;
                SendControl(service, SERVICE_CONTROL_STOP, &stopError);
                stopped = WaitForState(service, SERVICE_STOPPED, &error);
                if (!stopped && error == ERROR_SUCCESS) {
                    error = stopError;
                }
            } else {
                stopped = SetAutomaticStart(service, &error);
            }
            if (stopped) {
                DWORD startError = ERROR_SUCCESS;
                StartWithoutArguments(service, &startError);
                done = WaitForState(service, SERVICE_RUNNING, &error);
                if (!done && error == ERROR_SUCCESS) {
                    error = startError;
                }
            }
        }
    }
    SetLastError(done ? ERROR_SUCCESS : error);
    return done;
}

bool SetTimeServiceStartType(const char* machine, uint32_t startType) {
    OpenedService opened;
    DWORD error = ERROR_SUCCESS;
    if (OpenNamedService(machine, kTimeServiceName, &opened, &error)) {
        DWORD buffer[kConfigBufferSize / sizeof(DWORD)];
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
        DWORD needed = 0;
        if (!QueryServiceConfigA(opened.service.get(), config, sizeof buffer, &needed)) {
            error = GetLastError();
        } else if (config->dwStartType != startType &&
                   !ChangeServiceConfigA(opened.service.get(), SERVICE_NO_CHANGE, startType,
                                         SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr)) {
            error = GetLastError();
        }
    }
    opened.service.reset();
    opened.manager.reset();
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

DWORD TriggerDemandSync(const char* computer, BOOL wait, ULONG flags) {
    using SyncNow = DWORD(WINAPI*)(LPCWSTR, ULONG, ULONG);
    HMODULE module = GetModuleHandleA("w32time.dll");
    UniqueLibrary loaded;
    if (module == nullptr) {
        loaded.reset(LoadLibraryA("w32time.dll"));
        module = loaded.get();
    }
    if (module == nullptr) {
        return 1;
    }
    auto syncNow = reinterpret_cast<SyncNow>(
        reinterpret_cast<void*>(GetProcAddress(module, "W32TimeSyncNow")));
    if (syncNow == nullptr) {
        return 1;
    }
    wchar_t name[512];
    const wchar_t* target = nullptr;
    if (computer != nullptr && computer[0] != '\0') {
        if (MultiByteToWideChar(CP_ACP, 0, computer, -1, name, 512) == 0) {
            name[511] = L'\0';
        }
        target = name;
    }
    return syncNow(target, wait, flags);
}
