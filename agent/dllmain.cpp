// Library entry: remember the module and ask for no thread notifications. All start-up work
// waits for the role entries (TimeProvOpen, CPlApplet, RunDll).
#include <windows.h>

#include "common/module_win.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetModuleInstance(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
