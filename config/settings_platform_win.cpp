// The settings model's system calls: identification, the system folder, names and files.
#include <windows.h>

#include <cstdio>

#include "config/settings_platform.h"
#include "config/system_identity_win.h"

void IdentifyLocalSystemOnce() {
    static bool identified = false;
    if (!identified) {
        IdentifyLocalSystem();
        identified = true;
    }
}

bool FileExistsAt(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void ReadLocalNames(char* systemFolder, char* computerName) {
    if (systemFolder[0] == '\0') {
        char folder[MAX_PATH] = "";
        const UINT length = GetSystemDirectoryA(folder, sizeof(folder));
        if (length > 0 && length < sizeof(folder)) {
            std::snprintf(systemFolder, 129, "%.127s\\", folder);
        }
    }
    if (computerName[0] == '\0') {
        char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
        DWORD size = sizeof(name);
        if (GetComputerNameA(name, &size)) {
            std::snprintf(computerName, 129, "%s", name);
        }
    }
}
