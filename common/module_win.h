// The module handle of kestrel.cpl, stored once by DllMain for resource lookups.
#pragma once
#include <windows.h>

// The library's own module handle; the executable's handle when the shell is linked into a test.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);
