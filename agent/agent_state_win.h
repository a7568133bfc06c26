// The agent's process-wide state inside the Windows Time service.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <timeprov.h>

#include "config/settings.h"

// Order matters: the agent thread waits on them as one array in this order.
enum AgentEventIndex {
    kShutdownEvent,
    kSyncEvent,
    kTimeJumpEvent,
    kClientEvent,
    kNotifyEvent,
    kAgentEventCount
};

struct AgentState {
    TimeProvSysCallbacks callbacks;
    bool winsockStarted;
    HANDLE events[kAgentEventCount];
    bool privateNotifyEvent; // events[kNotifyEvent] is ours, not the sync-status block's
    HANDLE agentThread;
    bool threadAbandoned; // the thread outlived the stop wait: its resources are kept
    SOCKET responderSocket;
    volatile LONG active;
    // Inactive because a family service holds the role: its release gives the role back. An agent
    // left inactive by a management port it could not bind stays so.
    bool standingAside;
    bool sampleAvailable;
    TimeSample lastSample;
    DWORD installationId;
    SettingsRecord settings;
};

AgentState& Agent();

// Guards the copies of settings and lastSample between the service's threads and the agent.
void LockAgentShared();
void UnlockAgentShared();
SettingsRecord AgentSettingsCopy();

constexpr const char* kAgentKey = kAgentKeyPath;

bool StartAgent();

// A start-up step made to fail, so tests can walk every failure of the start (the system gives
// no way to make these fail on demand). kNone in normal operation.
enum class AgentStartFault {
    kNone,
    kWinsock,
    kShutdownEvent,
    kSyncEvent,
    kTimeJumpEvent,
    kClientEvent,
    kThread
};
void SetAgentStartFault(AgentStartFault fault);
void StopAgent();
// Writes to the event log through the service: type 1 error, 2 warning; printf-style, cut at
// 509 characters, CR LF appended.
void LogProviderEvent(const char* provider, WORD type, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void SecureW32TimeKeys();

DWORD WINAPI AgentThreadMain(LPVOID);
void RecordLastUsedSource(DWORD refId, DWORD time);
