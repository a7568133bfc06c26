#include "install/installer_win.h"

// Installation arrives with the installer itself; until then both ways refuse, so that the
// applet's callers take the failure path.
int RunInstallerQuietly(HWND, bool) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

int RunInstallerWithProgress(HWND, bool) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}
