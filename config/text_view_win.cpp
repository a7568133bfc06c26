#include "config/text_view_win.h"

#include "common/unique_handle_win.h"
#include "config/registry.h"

#include <cstdio>

namespace {

// Names of list entries are decimal numbers; the layer's buffers have one byte more than this.
constexpr size_t kViewNameLimit = 30;

// Steps through the list's values; a value too long for the buffers is passed over rather than
// ending the walk, so the entries after it still count.
bool NextValue(char* name, void* data, size_t dataSize, uint32_t* type, uint32_t& index) {
    for (;;) {
        const uint32_t current = index++;
        if (EnumerateValue(kTemporaryViewKey, name, kViewNameLimit, data, dataSize, type,
                           current)) {
            return true;
        }
        if (GetLastError() != ERROR_MORE_DATA) {
            return false;
        }
    }
}

} // namespace

void RecordTemporaryView(const char* path) {
    char name[kViewNameLimit + 1];
    uint32_t largest = 0;
    uint32_t index = 0;
    while (NextValue(name, nullptr, 0, nullptr, index)) {
        const uint32_t number = LeadingNumber(name);
        if (number > largest) {
            largest = number;
        }
    }
    char next[16];
    NextViewName(largest, next);
    WriteString(kTemporaryViewKey, next, path);
}

bool ViewTextFile(HWND owner, const char* path, bool temporary, DWORD* processId) {
    if (processId != nullptr) {
        *processId = 0;
    }
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // CreateProcess may write into the command line, so it needs a buffer of our own.
    char commandLine[MAX_PATH * 2];
    const int length = std::snprintf(commandLine, sizeof(commandLine), "notepad \"%s\"", path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(commandLine)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    RECT ownerRect;
    if (owner != nullptr && GetWindowRect(owner, &ownerRect)) {
        startup.dwFlags = STARTF_USEPOSITION | STARTF_USESHOWWINDOW;
        startup.dwX = static_cast<DWORD>(ownerRect.left + 30);
        startup.dwY = static_cast<DWORD>(ownerRect.top + 30);
        startup.wShowWindow = SW_SHOWNORMAL;
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    // Nothing waits for Notepad.
    UniqueKernelHandle(process.hThread).reset();
    UniqueKernelHandle(process.hProcess).reset();
    if (processId != nullptr) {
        *processId = process.dwProcessId;
    }

    if (temporary) {
        RecordTemporaryView(path);
    }
    SetLastError(0);
    return true;
}

void PurgeTemporaryViews() {
    char name[kViewNameLimit + 1];
    char path[MAX_PATH];
    uint32_t type = 0;
    uint32_t index = 0;
    while (NextValue(name, path, sizeof(path) - 1, &type, index)) {
        if (type == kRegString && path[0] != '\0') {
            DeleteFileA(path);
        }
    }
    DeleteKey(kTemporaryViewKey);
}
