// Stands in for Notepad in tests: records how it was started (command line, and the window
// position and show state asked for in its start-up information) into the file named by
// HOROLOGIX_FAKE_NOTEPAD_OUT, then exits. The file appears complete, by a rename, so a test can
// wait for it to exist.
#include <windows.h>

#include <cstdio>

int main() {
    char out[MAX_PATH];
    if (GetEnvironmentVariableA("HOROLOGIX_FAKE_NOTEPAD_OUT", out, sizeof(out)) == 0) {
        return 2;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    char partial[MAX_PATH + 8];
    std::snprintf(partial, sizeof(partial), "%s.part", out);
    FILE* file = std::fopen(partial, "wb");
    if (file == nullptr) {
        return 3;
    }
    std::fprintf(file, "%s\n", GetCommandLineA());
    if ((startup.dwFlags & STARTF_USEPOSITION) != 0) {
        std::fprintf(file, "position %lu %lu\n", startup.dwX, startup.dwY);
    }
    if ((startup.dwFlags & STARTF_USESHOWWINDOW) != 0) {
        std::fprintf(file, "show %u\n", startup.wShowWindow);
    }
    std::fclose(file);
    return MoveFileExA(partial, out, MOVEFILE_REPLACE_EXISTING) ? 0 : 4;
}
