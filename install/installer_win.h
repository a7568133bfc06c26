// The installer's interface for the applet: install or remove the agent on the TargetMachine,
// on the caller's thread without a window, or behind the progress window.
#pragma once
#include <windows.h>

// Installs (install true) or removes the agent on the TargetMachine on this thread, showing no
// window. 1 on success; 0 with the failing step's error as the thread's last error.
int RunInstallerQuietly(HWND owner, bool install);

// The same behind the progress window, the work on a worker thread; the run's result.
int RunInstallerWithProgress(HWND owner, bool install);
