// rundll32 entry point: "rundll32 kestrel.cpl,RunDll -install" or "-remove".
#include <windows.h>

extern "C" void CALLBACK RunDll(HWND, HINSTANCE, LPSTR, int) {
    // Installation is not offered yet; rundll32 returns as after an unknown option.
}
