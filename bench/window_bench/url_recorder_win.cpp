// Registering url-recorder.exe as the prefix's web browser, and reading what it recorded.
#include "bench/window_bench/window_bench_win.h"

#include "common/unique_handle_win.h"

namespace winbench {
namespace {

const char* const kProtocols[] = {"http", "https"};
// Windows may redirect classes for 32-bit programs (Wine keeps one key for both); the applet is
// built in both sizes.
const REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
// Where the commands we replaced are kept until RemoveUrlRecorder puts them back.
const char kSavedKey[] = "Software\\Horologix Bench\\URL recorder";

std::string CommandKey(const char* protocol) {
    return std::string(protocol) + "\\shell\\open\\command";
}

std::string SavedName(const char* protocol, REGSAM view) {
    return std::string(protocol) + (view == KEY_WOW64_64KEY ? " 64" : " 32");
}

bool ReadDefault(HKEY root, const std::string& path, REGSAM view, const char* name,
                 std::string* value) {
    UniqueKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    char text[1024];
    DWORD size = sizeof(text) - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    text[size < sizeof(text) ? size : sizeof(text) - 1] = '\0';
    *value = text;
    return true;
}

bool WriteString(HKEY root, const std::string& path, REGSAM view, const char* name,
                 const std::string& value) {
    UniqueKey key;
    LONG status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                  key.put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status =
            RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
    }
    SetLastError(status);
    return status == ERROR_SUCCESS;
}

bool IsRecorderCommand(const std::string& command) {
    return command.find("url-recorder.exe") != std::string::npos;
}

} // namespace

std::string UrlRecorderLog() {
    char windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windows, sizeof(windows));
    if (length == 0 || length >= sizeof(windows)) {
        return "C:\\windows\\temp\\url-recorder.log";
    }
    return std::string(windows) + "\\temp\\url-recorder.log";
}

bool InstallUrlRecorder(const char* recorderPath) {
    const std::string command = std::string("\"") + recorderPath + "\" \"%1\"";
    for (const char* protocol : kProtocols) {
        for (REGSAM view : kViews) {
            std::string previous;
            const bool had =
                ReadDefault(HKEY_CLASSES_ROOT, CommandKey(protocol), view, nullptr, &previous);
            // Installing twice (or both views being one key) must not save our own command.
            if (had && !IsRecorderCommand(previous) &&
                !WriteString(HKEY_CURRENT_USER, kSavedKey, 0, SavedName(protocol, view).c_str(),
                             previous)) {
                return false;
            }
            if (!WriteString(HKEY_CLASSES_ROOT, CommandKey(protocol), view, nullptr, command)) {
                return false;
            }
        }
    }
    SetLastError(0);
    return true;
}

bool RemoveUrlRecorder() {
    bool ok = true;
    DWORD firstError = 0;
    for (const char* protocol : kProtocols) {
        for (REGSAM view : kViews) {
            std::string current;
            if (!ReadDefault(HKEY_CLASSES_ROOT, CommandKey(protocol), view, nullptr, &current) ||
                !IsRecorderCommand(current)) {
                continue;
            }
            std::string previous;
            bool done;
            if (ReadDefault(HKEY_CURRENT_USER, kSavedKey, 0, SavedName(protocol, view).c_str(),
                            &previous)) {
                done =
                    WriteString(HKEY_CLASSES_ROOT, CommandKey(protocol), view, nullptr, previous);
            } else {
                UniqueKey key;
                LONG status = RegOpenKeyExA(HKEY_CLASSES_ROOT, CommandKey(protocol).c_str(), 0,
                                            KEY_SET_VALUE | view, key.put());
                if (status == ERROR_SUCCESS) {
                    status = RegDeleteValueA(key.get(), nullptr);
                }
                SetLastError(status);
                done = status == ERROR_SUCCESS;
            }
            if (!done && ok) {
                ok = false;
                firstError = GetLastError();
            }
        }
    }
    if (ok) {
        RegDeleteKeyA(HKEY_CURRENT_USER, kSavedKey);
    }
    SetLastError(firstError);
    return ok;
}

std::vector<std::string> RecordedUrls() {
    std::vector<std::string> urls;
    UniqueFile file(CreateFileA(UrlRecorderLog().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return urls;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    size_t start = 0;
    // Only complete lines: a recorder may be writing the last one now.
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        urls.push_back(line);
        start = end + 1;
    }
    return urls;
}

void ClearRecordedUrls() {
    DeleteFileA(UrlRecorderLog().c_str());
}

bool WaitForRecordedUrls(size_t count, DWORD timeoutMs) {
    return WaitUntil([&] { return RecordedUrls().size() >= count; }, timeoutMs);
}

} // namespace winbench
