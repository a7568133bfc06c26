#include "bench/w32time_standin/standin_client_win.h"

#include <cstdio>

#include "bench/w32time_standin/standin_protocol.h"
#include "common/unique_handle_win.h"

namespace standin {

namespace {

constexpr DWORD kPollMs = 10;

std::wstring FolderPath(UINT (*get)(LPWSTR, UINT)) {
    wchar_t buffer[MAX_PATH];
    const UINT length = get(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::wstring(buffer, length);
}

UINT WindowsFolder(LPWSTR buffer, UINT size) {
    return GetWindowsDirectoryW(buffer, size);
}
UINT SystemFolderW(LPWSTR buffer, UINT size) {
    return GetSystemDirectoryW(buffer, size);
}
UINT Wow64FolderW(LPWSTR buffer, UINT size) {
    return GetSystemWow64DirectoryW(buffer, size);
}

DWORD WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs,
                   SERVICE_STATUS_PROCESS* status) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                  sizeof *status, &needed)) {
            return GetLastError();
        }
        if (status->dwCurrentState == wanted) {
            return ERROR_SUCCESS;
        }
        // A start that fails leaves the service stopped: no use waiting out the time-out.
        if (wanted == SERVICE_RUNNING && status->dwCurrentState == SERVICE_STOPPED) {
            return status->dwWin32ExitCode != 0 ? status->dwWin32ExitCode
                                                : ERROR_SERVICE_NOT_ACTIVE;
        }
        if (GetTickCount64() - start > timeoutMs) {
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        Sleep(kPollMs);
    }
}

UniqueService OpenStandin(DWORD access, DWORD* error) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        *error = GetLastError();
        return {};
    }
    UniqueService service(OpenServiceW(manager.get(), kServiceName, access));
    *error = service ? ERROR_SUCCESS : GetLastError();
    return service;
}

} // namespace

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Wide(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::wstring SystemFolder() {
    return FolderPath(SystemFolderW);
}
std::wstring Wow64Folder() {
    return FolderPath(Wow64FolderW);
}

std::wstring LogPath() {
    return FolderPath(WindowsFolder) + L"\\temp\\" + kLogFileName;
}

DWORD QueryStandin(ServiceInfo* info) {
    DWORD error = 0;
    UniqueService service = OpenStandin(SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, &error);
    if (!service) {
        return error;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return GetLastError();
    }
    info->state = status.dwCurrentState;
    info->pid = status.dwProcessId;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed > 0) {
        std::vector<BYTE> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service.get(), config, needed, &needed)) {
            info->startType = config->dwStartType;
            info->binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
        }
    }
    return ERROR_SUCCESS;
}

DWORD StartStandin(DWORD timeoutMs, DWORD* elapsedMs) {
    DWORD error = 0;
    UniqueService service = OpenStandin(SERVICE_START | SERVICE_QUERY_STATUS, &error);
    if (!service) {
        return error;
    }
    const ULONGLONG start = GetTickCount64();
    if (!StartServiceW(service.get(), 0, nullptr)) {
        error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            return error;
        }
    }
    SERVICE_STATUS_PROCESS status{};
    error = WaitForState(service.get(), SERVICE_RUNNING, timeoutMs, &status);
    if (elapsedMs != nullptr) {
        *elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
    }
    return error;
}

DWORD StopStandin(DWORD timeoutMs, DWORD* elapsedMs) {
    DWORD error = 0;
    UniqueService service = OpenStandin(SERVICE_STOP | SERVICE_QUERY_STATUS, &error);
    if (!service) {
        return error;
    }
    const ULONGLONG start = GetTickCount64();
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return GetLastError();
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        if (elapsedMs != nullptr) {
            *elapsedMs = 0;
        }
        return ERROR_SUCCESS;
    }
    if (status.dwCurrentState == SERVICE_START_PENDING) {
        // A service still starting accepts no stop (someone started it without waiting): let it
        // reach running first, or the stop is refused and the service runs on.
        WaitForState(service.get(), SERVICE_RUNNING, timeoutMs, &status);
    }
    // Held from before the stop, so the wait below sees this process end even if a new one
    // started in the meantime.
    UniqueKernelHandle process(
        status.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : nullptr);
    SERVICE_STATUS plain{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &plain)) {
        error = GetLastError();
        // A service already on its way down answers 1061; wait for it like for our own stop.
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) {
            return error;
        }
    }
    error = WaitForState(service.get(), SERVICE_STOPPED, timeoutMs, &status);
    if (error == ERROR_SUCCESS && process) {
        const ULONGLONG spent = GetTickCount64() - start;
        const DWORD left = spent < timeoutMs ? static_cast<DWORD>(timeoutMs - spent) : 0;
        if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) {
            error = ERROR_SERVICE_REQUEST_TIMEOUT;
        }
    }
    if (elapsedMs != nullptr) {
        *elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
    }
    return error;
}

DWORD ControlStandin(DWORD code) {
    DWORD error = 0;
    UniqueService service = OpenStandin(
        SERVICE_USER_DEFINED_CONTROL | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE, &error);
    if (!service) {
        return error;
    }
    SERVICE_STATUS status{};
    return ControlService(service.get(), code, &status) ? ERROR_SUCCESS : GetLastError();
}

uint64_t LogSize() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(LogPath().c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadFileBytes(const std::wstring& path, uint64_t fromOffset) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return {};
    }
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(fromOffset);
    if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) {
        return {};
    }
    std::string bytes;
    char buffer[16384];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

std::vector<Record> ReadLog(uint64_t fromOffset) {
    return ParseRecords(ReadFileBytes(LogPath(), fromOffset));
}

DWORD ClearLog() {
    UniqueFile file(CreateFileW(LogPath().c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? ERROR_SUCCESS : GetLastError();
}

DWORD RemoveFile(const std::wstring& target) {
    // Leftovers of earlier replacements first: by now their users have usually gone.
    const std::wstring pattern = target + L".old-*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        const size_t slash = target.find_last_of(L'\\');
        const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
        do {
            DeleteFileW((folder + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (DeleteFileW(target.c_str())) {
        return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
        return error;
    }
    wchar_t suffix[40];
    snwprintf(suffix, sizeof suffix / sizeof suffix[0], L".old-%lu-%llu", GetCurrentProcessId(),
              static_cast<unsigned long long>(GetTickCount64()));
    if (!MoveFileExW(target.c_str(), (target + suffix).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD PlaceFile(const std::wstring& source, const std::wstring& target) {
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
        return error;
    }
    error = RemoveFile(target);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return CopyFileW(source.c_str(), target.c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
}

std::string ErrorText(DWORD error) {
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, buffer, sizeof buffer, nullptr);
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                          buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
        --length;
    }
    char text[600];
    snprintf(text, sizeof text, "error %lu%s%.*s", static_cast<unsigned long>(error),
             length > 0 ? ": " : "", static_cast<int>(length), buffer);
    return text;
}

} // namespace standin
