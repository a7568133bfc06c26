// The installer: installs, upgrades or removes the agent on the TargetMachine (the local machine,
// or a remote one through its administrative share and registry), on the caller's thread
// without a window, or on a worker thread behind the progress window. rundll32 reaches it
// through RunDll, the applet through its install and remove modes and its automatic upgrade;
// each hands it an InstallRequest.
#pragma once
#include <windows.h>

#include <cstdint>

#include "config/settings.h"

// What the caller (the applet, rundll32's entry) hands the installer.
struct InstallRequest {
    // The machine: its name, null for this one. The registry layer must be focused on it.
    const char* target;
    // No message boxes, no progress steps shown.
    bool quiet;
    // The window that owns the progress window and the message boxes (may be null).
    HWND owner;
    // The target's server type bits, for the family's wishes.
    uint32_t serverTypeBits;
    // The module whose resources hold the progress window.
    HINSTANCE resources;
    // Receives the target's settings as a removal found them; may be null.
    SettingsRecord* removedSettings;
};

// Installs (install true) or removes the agent on the target on this thread, showing no
// window. 1 on success; 0 with the failing step's error as the thread's last error.
int RunInstallerQuietly(const InstallRequest& request, bool install);

// The same behind the progress window, the work on a worker thread; the run's result.
int RunInstallerWithProgress(const InstallRequest& request, bool install);

// Shows the progress window (mode kProgressInstall or kProgressRemove) until its worker has
// finished; the worker's result, with the worker's error as the thread's last error. A worker
// that cannot be started is reported in a message box and ends the window with its error.
int ShowProgress(const InstallRequest& request, uint32_t mode);

// Install: the history file, key security, the uninstall entry, the module copy, the agent's
// registration and the family's wishes, saved (and the service restarted) only when something
// changed. 1 when the module file is in place (copied, or already current). With a window, the
// progress bar moves with each step and service errors are shown unless in quiet mode.
int InstallAgent(const InstallRequest& request, HWND window);
// Remove: stops the Windows Time service, deletes the uninstall entry and the agent's
// registration, starts the service again. 1 when the service could be started at the end.
int RemoveAgent(const InstallRequest& request, HWND window);

// Copies this module into the system folder of the machine (null: this one) as "kestrel.cpl"
// unless that file is the same path or not older. The copy is staged beside the destination and
// moved over it, so a failure never leaves a partial or missing module where a loadable one was.
// True when the file is in place; the last error is 0 or the failing call's.
bool CopyModule(const char* machine);
// The fixed file version of a file (most significant half high), 0 without one.
uint64_t FileVersion(const char* path);
bool IsNewerFile(const char* source, const char* destination);

void WriteUninstallEntry(const char* name);
void DeleteUninstallEntry(const char* name);
// Moves the local system folder's "kestrel.cpl" aside to "kestrel.old" (replacing it), with the
// Windows Time service stopped for a second try when the move is refused. True when moved.
bool RetireModule();
// Advances the progress window's bar by one step (nothing without a window or in quiet mode).
void StepProgress(const InstallRequest& request, HWND window);

// Tests: the file copied as this module (null: this module's own file), and a worker thread that
// cannot be started.
void SetInstallSourceForTesting(const char* path);
void SetProgressWorkerRefusedForTesting(bool refused);
