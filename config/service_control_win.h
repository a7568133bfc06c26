// Starting, stopping, querying and notifying the Windows Time service ("W32Time") of a machine,
// and restarting other services, through its service control manager.
//
// Both operations block the calling thread while they wait for a service: up to about ten
// seconds per wait (100 status polls 100 ms apart). They keep no state, so any thread may call
// them. Machine names are the applet's TargetMachine: a computer name, or null or "" for this
// machine. On return the thread's last error is 0 on success and the Windows error of the
// failing call otherwise.
#pragma once
#include <windows.h>

#include <cstdint>

// Operations of ControlTimeService. Any other value is sent to the running service as a service
// control code (the pages send 6, the parameter-change notification).
constexpr uint32_t kTimeServiceStop = 1;      // stop, and wait until stopped
constexpr uint32_t kTimeServiceIsRunning = 4; // is it running? (no action)
constexpr uint32_t kTimeServiceStart = 16;    // start, with the start type set to automatic first
constexpr uint32_t kTimeServiceParamChange = 6;

// One step on W32Time of the machine. Stop is true at once for a stopped service and otherwise
// true once the service reports stopped (false, last error 0, when it does not within the
// wait). Is-running is false with last error 0 for a service that is not running. Start is true
// at once for a running service; otherwise it sets the start type to automatic and is true when
// the start request is accepted, without waiting for the running state. With showError, a false
// result with a non-zero error is also reported in a task-modal message box owned by owner
// (which may be null).
bool ControlTimeService(HWND owner, const char* machine, uint32_t op, bool showError);

// Stops the named service of the machine and starts it again, waiting for each; a stopped
// service gets the start type automatic and is started. True once it reports running. Never
// shows a message; owner is the window the caller works for.
bool RestartService(HWND owner, const char* machine, const char* serviceName);

// Gives W32Time of the machine this start type (2 automatic, 3 manual, 4 disabled) in its
// service manager when it has another. The "Start" value in the registry reaches the service
// manager only when the machine restarts; the applet's Apply calls this as well, so that the
// choice holds at once.
bool SetTimeServiceStartType(const char* machine, uint32_t startType);

// Asks the Windows Time service of a machine ("" or null: this one) to synchronize now through
// w32time.dll's W32TimeSyncNow; 0 when the request was accepted, 1 when the entry is missing.
DWORD TriggerDemandSync(const char* computer, BOOL wait, ULONG flags);
