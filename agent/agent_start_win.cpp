// Start and stop of the agent, its process-wide state and its event-log channel.
#include "agent/agent_state_win.h"

#include <cstdarg>
#include <cstdio>

#include "agent/agent_interfaces_win.h"
#include "common/error_text_win.h"
#include "config/registry.h"
#include "config/registry_keys.h"
#include "resources/version.h"
#include "timesrc/ntp_query_win.h"

namespace {

AgentState g_agent = [] {
    AgentState state{};
    state.responderSocket = INVALID_SOCKET;
    return state;
}();

AgentStartFault g_fault = AgentStartFault::kNone;

// True, with a plausible error as the last error, when the test asked this step to fail.
bool Injected(AgentStartFault step, DWORD error) {
    if (g_fault != step) {
        return false;
    }
    SetLastError(error);
    return true;
}

CRITICAL_SECTION g_sharedLock;
INIT_ONCE g_sharedLockOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitSharedLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&g_sharedLock);
    return TRUE;
}

// The agent thread ends within a second or two of the shutdown signal: every wait it makes is
// bounded or also waits on that signal. Past this it is stuck, and what it uses stays alive.
constexpr DWORD kThreadStopWaitMs = 30000;

// What the responder and the status records are told of this agent.
ResponderContext AgentResponderContext() {
    ResponderContext context{};
    context.socket = &g_agent.responderSocket;
    context.showActivity = SetActivityIndicator;
    context.requestDemandSync = [] {
        if (HANDLE event = g_agent.events[kSyncEvent]) {
            SetEvent(event);
        }
    };
    context.installationId = [] { return static_cast<uint32_t>(g_agent.installationId); };
    context.settings = AgentSettingsCopy;
    context.logEvent = [](WORD type, const char* text) {
        LogProviderEvent(kProductName, type, "%s", text);
    };
    return context;
}

bool CreateAgentEvent(HANDLE* slot, BOOL manualReset, const char* what, AgentStartFault step) {
    if (*slot != nullptr) {
        return true;
    }
    *slot = Injected(step, ERROR_NOT_ENOUGH_MEMORY)
                ? nullptr
                : CreateEventA(nullptr, manualReset, FALSE, nullptr);
    if (*slot == nullptr) {
        LogProviderEvent(kProductName, EVENTLOG_ERROR_TYPE, "Could not create %s; %s", what,
                         SystemErrorText(0));
        return false;
    }
    return true;
}

void CloseEvent(HANDLE* slot) {
    if (*slot != nullptr) {
        CloseHandle(*slot);
        *slot = nullptr;
    }
}

} // namespace

AgentState& Agent() {
    return g_agent;
}

void SetAgentStartFault(AgentStartFault fault) {
    g_fault = fault;
}

void LockAgentShared() {
    InitOnceExecuteOnce(&g_sharedLockOnce, InitSharedLock, nullptr, nullptr);
    EnterCriticalSection(&g_sharedLock);
}

void UnlockAgentShared() {
    LeaveCriticalSection(&g_sharedLock);
}

SettingsRecord AgentSettingsCopy() {
    LockAgentShared();
    SettingsRecord copy = g_agent.settings;
    UnlockAgentShared();
    return copy;
}

void LogProviderEvent(const char* provider, WORD type, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, 510, format, args);
    va_end(args);
    if (length < 0) {
        length = 0;
    } else if (length > 509) {
        length = 509;
    }
    text[length] = '\r';
    text[length + 1] = '\n';
    text[length + 2] = '\0';

    wchar_t message[1024];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, message, 1024) == 0) {
        message[0] = L'\0';
    }
    wchar_t name[64];
    if (MultiByteToWideChar(CP_ACP, 0, provider, -1, name, 64) == 0) {
        name[0] = L'\0';
    }
    if (g_agent.callbacks.pfnLogTimeProvEvent != nullptr) {
        g_agent.callbacks.pfnLogTimeProvEvent(type, name, message);
    }
}

void SecureW32TimeKeys() {
    static const char* const kKeys[] = {
        kTimeServiceKeyPath, kTimeParametersKeyPath, kTimeConfigKeyPath, kTimeProvidersKeyPath,
        kNtpClientKeyPath,   kNtpServerKeyPath,      kAgentKeyPath,
    };
    for (const char* key : kKeys) {
        if (KeyExists(key)) {
            SecureKeyTree(key);
        }
    }
}

bool StartAgent() {
    AgentState& agent = g_agent;
    SetResponderContext(AgentResponderContext());
    SetNetworkActivityCallback(SetActivityIndicator);
    SecureW32TimeKeys();
    ReadEnvironment();
    {
        SettingsRecord fresh = AgentSettingsCopy();
        LoadSettings(&fresh);
        LockAgentShared();
        agent.settings = fresh;
        UnlockAgentShared();
    }
    WriteString(kAgentKey, kCurrentVersionValue, HOROLOGIX_VERSION_TEXT);
    WriteBoolean(kAgentKey, kServiceRunningValue, false);

    if (ForceDisabled()) {
        return false;
    }

    if (!agent.winsockStarted) {
        WSADATA data;
        const int error = Injected(AgentStartFault::kWinsock, WSASYSNOTREADY)
                              ? WSASYSNOTREADY
                              : WSAStartup(MAKEWORD(2, 2), &data);
        if (error != 0) {
            WSASetLastError(error);
            LogProviderEvent(kProductName, EVENTLOG_ERROR_TYPE,
                             "Could not initialize winsock subsystem; %s", LastSocketErrorText());
            return false;
        }
        agent.winsockStarted = true;
    }

    if (!CreateAgentEvent(&agent.events[kShutdownEvent], TRUE, "shutdown event",
                          AgentStartFault::kShutdownEvent) ||
        !CreateAgentEvent(&agent.events[kSyncEvent], FALSE, "sync event",
                          AgentStartFault::kSyncEvent) ||
        !CreateAgentEvent(&agent.events[kTimeJumpEvent], FALSE, "timejump notification event",
                          AgentStartFault::kTimeJumpEvent) ||
        !CreateAgentEvent(&agent.events[kClientEvent], FALSE, "client event",
                          AgentStartFault::kClientEvent)) {
        return false;
    }

    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    StartPreciseClock(agent.events[kShutdownEvent]);
    constexpr uint8_t kAgentRole = 7;
    InitAgentStatusBlock(kAgentRole);
    InitVersionRecord(kAgentRole);
    OpenActivityIndicator();
    LoadCommandFilter(kTimeParametersKeyPath);
    agent.installationId = GetInstallationId();
    BuildStatusRecord();

    OpenSyncStatusBlock(0);
    if (SyncStatusMapped() && !SyncStatusOwnerPresent()) {
        // A second start reopens the responder.
        CloseResponder();
        InterlockedExchange(&agent.active, OpenResponder() ? 1 : 0);
        agent.standingAside = false;
    } else {
        InterlockedExchange(&agent.active, 0);
        agent.standingAside = SyncStatusMapped();
    }

    if (HANDLE shared = SyncStatusNotifyEvent()) {
        if (agent.privateNotifyEvent) {
            CloseEvent(&agent.events[kNotifyEvent]);
            agent.privateNotifyEvent = false;
        }
        agent.events[kNotifyEvent] = shared;
    } else if (agent.events[kNotifyEvent] == nullptr) {
        agent.events[kNotifyEvent] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        agent.privateNotifyEvent = agent.events[kNotifyEvent] != nullptr;
    }

    if (!OpenDriftFile(nullptr)) {
        const char* error = SystemErrorText(0);
        LogProviderEvent(kProductName, EVENTLOG_WARNING_TYPE,
                         "Unable to open %s%s to collect drift records; the service will continue "
                         "running, but historical drift data will not be available. Error: %s",
                         CurrentEnvironment().systemFolder, "drift.qx", error);
    }

    if (agent.agentThread == nullptr) {
        agent.agentThread = Injected(AgentStartFault::kThread, ERROR_NOT_ENOUGH_MEMORY)
                                ? nullptr
                                : CreateThread(nullptr, 0, AgentThreadMain, nullptr, 0, nullptr);
        if (agent.agentThread == nullptr) {
            LogProviderEvent(kProductName, EVENTLOG_ERROR_TYPE,
                             "Could not create client thread; %s", SystemErrorText(0));
            return false;
        }
    }

    WriteBoolean(kAgentKey, kServiceRunningValue, true);
    return true;
}

void StopAgent() {
    AgentState& agent = g_agent;
    if (agent.agentThread != nullptr) {
        SetEvent(agent.events[kShutdownEvent]);
        if (WaitForSingleObject(agent.agentThread, kThreadStopWaitMs) != WAIT_OBJECT_0) {
            // Never free what a running thread uses: keep its events, socket and files.
            agent.threadAbandoned = true;
        }
        CloseHandle(agent.agentThread);
        agent.agentThread = nullptr;
    } else if (agent.events[kShutdownEvent] != nullptr) {
        // The precise clock's thread also ends on this signal.
        SetEvent(agent.events[kShutdownEvent]);
    }
    if (agent.threadAbandoned) {
        WriteBoolean(kAgentKey, kServiceRunningValue, false);
        return;
    }
    CloseEvent(&agent.events[kShutdownEvent]);
    if (agent.privateNotifyEvent) {
        CloseEvent(&agent.events[kNotifyEvent]);
        agent.privateNotifyEvent = false;
    }
    agent.events[kNotifyEvent] = nullptr;
    CloseResponder();
    CloseDriftFile();
    QuorvexSyncStatusShutdown(false);
    CloseActivityIndicator();
    CloseEvent(&agent.events[kSyncEvent]);
    CloseEvent(&agent.events[kTimeJumpEvent]);
    CloseEvent(&agent.events[kClientEvent]);
    if (agent.winsockStarted) {
        WSACleanup();
        agent.winsockStarted = false;
    }
    WriteBoolean(kAgentKey, kServiceRunningValue, false);
}
