// Control Panel entry point.
#include <windows.h>
#include <cpl.h>

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM) {
    // No applet is offered yet: CPL_INIT answers 0, so Control Panel unloads the library.
    return 0;
}
