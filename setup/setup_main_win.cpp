// setup.exe: the 32-bit bootstrap that installs the build of kestrel.cpl that fits the machine.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return 0;
}
