// w32time-standin.exe: the W32Time stand-in's command line (install, control, state, log) and,
// with the argument "service", the service itself. Every command prints what it did and exits 0
// on success, 1 on failure, 2 on a usage error.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench/w32time_standin/service_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "bench/w32time_standin/standin_text.h"
#include "common/unique_handle_win.h"

namespace standin {

namespace {

constexpr DWORD kServiceTimeoutMs = 60000;

const char kUsage[] =
    "usage: w32time-standin COMMAND [OPTIONS]\n"
    "  install [--dll64 PATH] [--dll32 PATH]  register W32Time (this program), place w32time.dll\n"
    "  uninstall                    stop and remove the service, the DLLs and the state\n"
    "  start | stop                 through the service manager (stop prints TimeProvClose times)\n"
    "  status                       service, scripted state, time providers, log\n"
    "  log [--tail N] | clear       print or empty the log\n"
    "  sync --refid A.B.C.D --stratum N [--flags F]   synchronized with a partner, now (a refid\n"
    "                               may also be a number or four capital letters: LOCL, VINC)\n"
    "  unsync                       synchronization lost: last sync time 0, stratum 0\n"
    "  offset --ms N                TSI_CurrentTime = real clock + N ms\n"
    "  set [--stratum N] [--refid R] [--flags F] [--leap N] [--phase N] [--poll N]\n"
    "      [--precision N] [--tick-size N] [--root-delay N] [--root-dispersion N]\n"
    "      [--last-sync FILETIME|now|never] [--samples-ms N]\n"
    "  reset                        the default state (never synchronized)\n"
    "  jump [--user]                TPC_TimeJumped to every provider\n"
    "  samples-now                  TPC_GetSamples to every input provider\n"
    "  paramchange                  the parameter-change control: TPC_UpdateConfig\n"
    "  on-syncnow --log-only | --sync --refid A.B.C.D --stratum N [--flags F] | --refuse CODE\n"
    "                               what a W32TimeSyncNow request does\n"
    "  syncnow [--wait] [--flags F] [--computer NAME]  call the installed w32time.dll\n"
    "  service                      run as the service (the service manager does this)\n";

struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    bool Has(const char* name) const { return values.count(name) != 0 || flags.count(name) != 0; }
};

bool ParseOptions(int argc, char** argv, const std::set<std::string>& valueNames,
                  const std::set<std::string>& flagNames, Options* options) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (flagNames.count(arg) != 0) {
            options->flags.insert(arg);
        } else if (valueNames.count(arg) != 0 && i + 1 < argc) {
            options->values[arg] = argv[++i];
        } else {
            fprintf(stderr, "w32time-standin: unexpected argument \"%s\"\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// Reads an integer option into value when present; false (after a message) when malformed.
template <typename T>
bool IntegerOption(const Options& options, const char* name, int64_t low, int64_t high, T* value) {
    auto it = options.values.find(name);
    if (it == options.values.end()) {
        return true;
    }
    int64_t parsed = 0;
    if (!ParseInteger(it->second, low, high, &parsed)) {
        fprintf(stderr, "w32time-standin: %s wants a number in %lld..%lld, not \"%s\"\n", name,
                static_cast<long long>(low), static_cast<long long>(high), it->second.c_str());
        return false;
    }
    *value = static_cast<T>(parsed);
    return true;
}

// A reference identifier: a dotted IPv4 address, or a number (0x... for four-letter codes).
bool RefIdOption(const Options& options, const char* name, uint32_t* value) {
    auto it = options.values.find(name);
    if (it == options.values.end()) {
        return true;
    }
    if (ParseDottedQuad(it->second, value)) {
        return true;
    }
    // Four capital letters are a reference identifier as the service gives for its local and
    // host sources ("LOCL", "VINC"): the first letter is the first byte.
    const std::string& text = it->second;
    if (text.size() == 4 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        std::memcpy(value, text.data(), 4);
        return true;
    }
    int64_t parsed = 0;
    if (ParseInteger(it->second, 0, UINT32_MAX, &parsed)) {
        *value = static_cast<uint32_t>(parsed);
        return true;
    }
    fprintf(stderr,
            "w32time-standin: %s wants A.B.C.D, a 32-bit number or four capital letters, not "
            "\"%s\"\n",
            name, it->second.c_str());
    return false;
}

std::wstring ExePath() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : L"";
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : path;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "starting";
    case SERVICE_STOP_PENDING:
        return "stopping";
    case SERVICE_RUNNING:
        return "running";
    case SERVICE_CONTINUE_PENDING:
        return "continuing";
    case SERVICE_PAUSE_PENDING:
        return "pausing";
    case SERVICE_PAUSED:
        return "paused";
    }
    return "unknown";
}

const char* StartTypeName(DWORD type) {
    switch (type) {
    case SERVICE_AUTO_START:
        return "automatic";
    case SERVICE_DEMAND_START:
        return "manual";
    case SERVICE_DISABLED:
        return "disabled";
    }
    return "other";
}

std::string FileTimeText(uint64_t fileTime) {
    if (fileTime == 0) {
        return "never";
    }
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(fileTime);
    ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME st;
    char text[96];
    if (!FileTimeToSystemTime(&ft, &st)) {
        snprintf(text, sizeof text, "file time %llu", static_cast<unsigned long long>(fileTime));
    } else {
        snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u UTC (file time %llu)",
                 st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds,
                 static_cast<unsigned long long>(fileTime));
    }
    return text;
}

// Saves the state and tells a running service to take it up. A stopped service reads it when it
// starts, so that is no failure.
int ApplyState(const SyncState& state) {
    const LONG saved = SaveSyncState(state);
    if (saved != ERROR_SUCCESS) {
        fprintf(stderr, "w32time-standin: cannot write the state: %s\n", ErrorText(saved).c_str());
        return 1;
    }
    const DWORD sent = ControlStandin(kControlReloadState);
    if (sent == ERROR_SUCCESS) {
        printf("state saved; W32Time took it up\n");
    } else if (sent == ERROR_SERVICE_NOT_ACTIVE || sent == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("state saved; W32Time is not running (it reads the state when it starts)\n");
    } else {
        fprintf(stderr, "w32time-standin: state saved, but W32Time was not told: %s\n",
                ErrorText(sent).c_str());
        return 1;
    }
    return 0;
}

int SendToRunning(DWORD code, const char* what) {
    const DWORD error = ControlStandin(code);
    if (error != ERROR_SUCCESS) {
        fprintf(stderr, "w32time-standin: %s: %s\n", what, ErrorText(error).c_str());
        return 1;
    }
    printf("%s: sent\n", what);
    return 0;
}

DWORD StartTypeFromKey() {
    DWORD start = 0;
    DWORD size = sizeof start;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"Start", RRF_RT_REG_DWORD, nullptr, &start,
                     &size) == ERROR_SUCCESS &&
        (start == SERVICE_AUTO_START || start == SERVICE_DEMAND_START ||
         start == SERVICE_DISABLED)) {
        return start;
    }
    return SERVICE_DEMAND_START;
}

// The 32-bit w32time.dll: named on the command line, or in the win32 build beside ours.
std::wstring Find32BitDll(const std::wstring& exeFolder) {
    wchar_t build[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"HOROLOGIX_BUILD_DIR", build, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring path =
            WindowsPath(Utf8(std::wstring(build, length)) + "/win32/bench/w32time.dll");
        if (FileExists(path)) {
            return path;
        }
    }
    return FullPath(exeFolder + L"\\..\\..\\win32\\bench\\w32time.dll");
}

bool PlaceDll(const char* label, const std::wstring& source, const std::wstring& folder,
              bool required) {
    if (folder.empty()) {
        printf("%s w32time.dll: skipped, no such system folder\n", label);
        return true;
    }
    if (!FileExists(source)) {
        printf("%s w32time.dll: skipped, not built (%s)\n", label, Utf8(source).c_str());
        return !required;
    }
    const std::wstring target = folder + L"\\w32time.dll";
    const DWORD error = PlaceFile(source, target);
    if (error != ERROR_SUCCESS) {
        fprintf(stderr, "w32time-standin: cannot copy %s to %s: %s\n", Utf8(source).c_str(),
                Utf8(target).c_str(), ErrorText(error).c_str());
        return false;
    }
    printf("%s w32time.dll: %s\n", label, Utf8(target).c_str());
    return true;
}

int Install(const Options& options) {
    const std::wstring exe = ExePath();
    const std::wstring binaryPath = L"\"" + exe + L"\" service";
    const DWORD startType = StartTypeFromKey();

    UniqueService manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = GetLastError();
        fprintf(stderr, "w32time-standin: no service manager: %s\n", ErrorText(error).c_str());
        return 1;
    }
    UniqueService service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    const char* action = "updated";
    if (service) {
        if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, startType,
                                  SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr, kDisplayName)) {
            const DWORD error = GetLastError();
            fprintf(stderr, "w32time-standin: cannot update W32Time: %s\n",
                    ErrorText(error).c_str());
            return 1;
        }
    } else {
        service.reset(CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
        if (!service) {
            const DWORD error = GetLastError();
            fprintf(stderr, "w32time-standin: cannot create W32Time: %s\n",
                    ErrorText(error).c_str());
            return 1;
        }
        action = "created";
    }
    SERVICE_DESCRIPTIONW description{
        const_cast<LPWSTR>(L"Test stand-in for the Windows Time service: hosts time providers, "
                           L"answers them from a scripted state and logs what they do.")};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    printf("service W32Time %s: %s, start %s\n", action, Utf8(binaryPath).c_str(),
           StartTypeName(startType));

    const std::wstring folder = FolderOf(exe);
    auto given = [&](const char* name, const std::wstring& fallback) {
        auto it = options.values.find(name);
        return it != options.values.end() ? FullPath(Wide(it->second)) : fallback;
    };
    const bool ok64 = PlaceDll("64-bit", given("--dll64", folder + L"\\w32time.dll"),
                               SystemFolder(), options.Has("--dll64"));
    const bool ok32 = PlaceDll("32-bit", given("--dll32", Find32BitDll(folder)), Wow64Folder(),
                               options.Has("--dll32"));
    return ok64 && ok32 ? 0 : 1;
}

int Uninstall() {
    int status = 0;
    DWORD error = StopStandin(kServiceTimeoutMs);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("service W32Time: not installed\n");
    } else {
        UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueService service(manager ? OpenServiceW(manager.get(), kServiceName, DELETE)
                                      : nullptr);
        if (!service || !DeleteService(service.get())) {
            error = GetLastError();
            fprintf(stderr, "w32time-standin: cannot remove W32Time: %s\n",
                    ErrorText(error).c_str());
            status = 1;
        } else {
            printf("service W32Time: removed\n");
        }
    }
    for (const std::wstring& folder : {SystemFolder(), Wow64Folder()}) {
        if (folder.empty()) {
            continue;
        }
        const std::wstring target = folder + L"\\w32time.dll";
        error = RemoveFile(target);
        if (error != ERROR_SUCCESS) {
            fprintf(stderr, "w32time-standin: cannot remove %s: %s\n", Utf8(target).c_str(),
                    ErrorText(error).c_str());
            status = 1;
        } else {
            printf("removed %s\n", Utf8(target).c_str());
        }
    }
    DeleteSyncState();
    printf("state removed\n");
    return status;
}

int Start() {
    const uint64_t logStart = LogSize();
    DWORD elapsed = 0;
    const DWORD error = StartStandin(kServiceTimeoutMs, &elapsed);
    if (error != ERROR_SUCCESS) {
        fprintf(stderr, "w32time-standin: W32Time did not start: %s\n", ErrorText(error).c_str());
        return 1;
    }
    ServiceInfo info;
    QueryStandin(&info);
    printf("W32Time running (pid %lu) after %lu ms\n", static_cast<unsigned long>(info.pid),
           static_cast<unsigned long>(elapsed));
    for (const Record& record : ReadLog(logStart)) {
        if (record.size() >= 6 && record[1] == "Open") {
            printf("  TimeProvOpen %s: result %s, handle %s, %s ms\n", record[2].c_str(),
                   record[3].c_str(), record[4].c_str(), record[5].c_str());
        } else if (record.size() >= 5 && record[1] == "Provider" && record[3] != "loaded") {
            printf("  provider %s: %s %s\n", record[2].c_str(), record[3].c_str(),
                   record[4].c_str());
        }
    }
    return 0;
}

int Stop() {
    const uint64_t logStart = LogSize();
    DWORD elapsed = 0;
    const DWORD error = StopStandin(kServiceTimeoutMs, &elapsed);
    if (error != ERROR_SUCCESS) {
        fprintf(stderr, "w32time-standin: W32Time did not stop: %s\n", ErrorText(error).c_str());
        return 1;
    }
    printf("W32Time stopped after %lu ms\n", static_cast<unsigned long>(elapsed));
    for (const Record& record : ReadLog(logStart)) {
        if (record.size() >= 5 && record[1] == "Close") {
            printf("  TimeProvClose %s: %s ms (result %s)\n", record[2].c_str(), record[4].c_str(),
                   record[3].c_str());
        }
    }
    return 0;
}

void PrintProviders() {
    printf("time providers (HKLM\\%s):\n", Utf8(kProvidersKey).c_str());
    UniqueKey root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, root.put()) !=
        ERROR_SUCCESS) {
        printf("  (no key)\n");
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = sizeof name / sizeof name[0];
        if (RegEnumKeyExW(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            if (index == 0) {
                printf("  (none)\n");
            }
            break;
        }
        DWORD enabled = 0, input = 0, size = sizeof(DWORD);
        const bool hasEnabled = RegGetValueW(root.get(), name, L"Enabled", RRF_RT_REG_DWORD,
                                             nullptr, &enabled, &size) == ERROR_SUCCESS;
        size = sizeof(DWORD);
        RegGetValueW(root.get(), name, L"InputProvider", RRF_RT_REG_DWORD, nullptr, &input, &size);
        wchar_t dll[MAX_PATH] = L"";
        size = sizeof dll;
        RegGetValueW(root.get(), name, L"DllName", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr,
                     dll, &size);
        printf("  %-20s Enabled=%s InputProvider=%lu DllName=%s\n", Utf8(name).c_str(),
               hasEnabled ? std::to_string(enabled).c_str() : "(none)",
               static_cast<unsigned long>(input), Utf8(dll).c_str());
    }
}

int Status() {
    ServiceInfo info;
    const DWORD error = QueryStandin(&info);
    if (error == ERROR_SUCCESS) {
        printf("service W32Time: %s", StateName(info.state));
        if (info.pid != 0) {
            printf(" (pid %lu)", static_cast<unsigned long>(info.pid));
        }
        printf(", start %s\n  %s\n", StartTypeName(info.startType), Utf8(info.binaryPath).c_str());
    } else {
        printf("service W32Time: %s\n", ErrorText(error).c_str());
    }
    const SyncState s = LoadSyncState();
    printf("state (HKLM\\%s):\n", Utf8(kStateKey).c_str());
    printf("  last sync time     %s\n", FileTimeText(s.lastSyncTime).c_str());
    printf("  stratum            %lu\n", static_cast<unsigned long>(s.stratum));
    printf("  reference id       %s (0x%08lX)\n", FormatDottedQuad(s.refId).c_str(),
           static_cast<unsigned long>(s.refId));
    printf("  flags              0x%lX\n", static_cast<unsigned long>(s.tsFlags));
    printf("  current-time offset %+lld ms\n", static_cast<long long>(s.offsetMs));
    printf("  leap %lu, phase offset %lld, poll %ld, precision %ld, tick size %llu\n",
           static_cast<unsigned long>(s.leapFlags), static_cast<long long>(s.phaseOffset),
           static_cast<long>(s.pollInterval), static_cast<long>(s.clockPrecision),
           static_cast<unsigned long long>(s.clockTickSize));
    printf("  root delay %lld, root dispersion %llu\n", static_cast<long long>(s.rootDelay),
           static_cast<unsigned long long>(s.rootDispersion));
    printf("  samples every      %lu ms%s\n", static_cast<unsigned long>(s.samplesIntervalMs),
           s.samplesIntervalMs == 0 ? " (off)" : "");
    if (s.syncNowRefuse != 0) {
        printf("  on syncnow         refuse with %lu\n",
               static_cast<unsigned long>(s.syncNowRefuse));
    } else if (s.syncOnSyncNow != 0) {
        printf("  on syncnow         sync with %s, stratum %lu, flags 0x%lX\n",
               FormatDottedQuad(s.syncNowRefId).c_str(),
               static_cast<unsigned long>(s.syncNowStratum),
               static_cast<unsigned long>(s.syncNowTsFlags));
    } else {
        printf("  on syncnow         log only\n");
    }
    PrintProviders();
    printf("log: %s (%llu bytes)\n", Utf8(LogPath()).c_str(),
           static_cast<unsigned long long>(LogSize()));
    return 0;
}

int PrintLog(const Options& options) {
    const std::string text = ReadFileBytes(LogPath());
    size_t begin = 0;
    uint32_t tail = 0;
    if (!IntegerOption(options, "--tail", 1, 1000000, &tail)) {
        return 2;
    }
    if (tail != 0) {
        size_t lines = 0;
        for (size_t i = text.size(); i > 0; --i) {
            if (text[i - 1] == '\n' && i != text.size() && ++lines == tail) {
                begin = i;
                break;
            }
        }
    }
    fwrite(text.data() + begin, 1, text.size() - begin, stdout);
    return 0;
}

int SetState(const Options& options) {
    SyncState s = LoadSyncState();
    if (!IntegerOption(options, "--stratum", 0, 255, &s.stratum) ||
        !RefIdOption(options, "--refid", &s.refId) ||
        !IntegerOption(options, "--flags", 0, UINT32_MAX, &s.tsFlags) ||
        !IntegerOption(options, "--leap", 0, 255, &s.leapFlags) ||
        !IntegerOption(options, "--phase", INT64_MIN, INT64_MAX, &s.phaseOffset) ||
        !IntegerOption(options, "--poll", INT32_MIN, INT32_MAX, &s.pollInterval) ||
        !IntegerOption(options, "--precision", INT32_MIN, INT32_MAX, &s.clockPrecision) ||
        !IntegerOption(options, "--tick-size", 0, INT64_MAX, &s.clockTickSize) ||
        !IntegerOption(options, "--root-delay", INT64_MIN, INT64_MAX, &s.rootDelay) ||
        !IntegerOption(options, "--root-dispersion", 0, INT64_MAX, &s.rootDispersion) ||
        !IntegerOption(options, "--samples-ms", 0, 86400000, &s.samplesIntervalMs)) {
        return 2;
    }
    auto last = options.values.find("--last-sync");
    if (last != options.values.end()) {
        if (last->second == "now") {
            s.lastSyncTime = OffsetFileTimeNow(s.offsetMs);
        } else if (last->second == "never") {
            s.lastSyncTime = 0;
        } else {
            Options one;
            one.values["--last-sync"] = last->second;
            if (!IntegerOption(one, "--last-sync", 0, INT64_MAX, &s.lastSyncTime)) {
                return 2;
            }
        }
    }
    return ApplyState(s);
}

int Sync(const Options& options) {
    if (options.values.count("--refid") == 0 || options.values.count("--stratum") == 0) {
        fprintf(stderr, "w32time-standin: sync wants --refid and --stratum\n");
        return 2;
    }
    SyncState s = LoadSyncState();
    s.tsFlags = 0;
    if (!RefIdOption(options, "--refid", &s.refId) ||
        !IntegerOption(options, "--stratum", 0, 255, &s.stratum) ||
        !IntegerOption(options, "--flags", 0, UINT32_MAX, &s.tsFlags)) {
        return 2;
    }
    s.lastSyncTime = OffsetFileTimeNow(s.offsetMs);
    printf("synchronized with %s, stratum %lu, at %s\n", FormatDottedQuad(s.refId).c_str(),
           static_cast<unsigned long>(s.stratum), FileTimeText(s.lastSyncTime).c_str());
    return ApplyState(s);
}

int OnSyncNow(const Options& options) {
    SyncState s = LoadSyncState();
    const int modes = (options.Has("--log-only") ? 1 : 0) + (options.Has("--sync") ? 1 : 0) +
                      (options.Has("--refuse") ? 1 : 0);
    if (modes != 1) {
        fprintf(stderr, "w32time-standin: on-syncnow wants one of --log-only, --sync, --refuse\n");
        return 2;
    }
    s.syncOnSyncNow = 0;
    s.syncNowRefuse = 0;
    if (options.Has("--sync")) {
        if (options.values.count("--refid") == 0 || options.values.count("--stratum") == 0) {
            fprintf(stderr, "w32time-standin: on-syncnow --sync wants --refid and --stratum\n");
            return 2;
        }
        s.syncOnSyncNow = 1;
        s.syncNowTsFlags = 0;
        if (!RefIdOption(options, "--refid", &s.syncNowRefId) ||
            !IntegerOption(options, "--stratum", 0, 255, &s.syncNowStratum) ||
            !IntegerOption(options, "--flags", 0, UINT32_MAX, &s.syncNowTsFlags)) {
            return 2;
        }
    } else if (options.Has("--refuse") &&
               !IntegerOption(options, "--refuse", 1, UINT32_MAX, &s.syncNowRefuse)) {
        return 2;
    }
    return ApplyState(s);
}

int SyncNow(const Options& options) {
    uint32_t flags = 0;
    if (!IntegerOption(options, "--flags", 0, UINT32_MAX, &flags)) {
        return 2;
    }
    // The installed copy, not the one that may sit beside this program.
    const std::wstring path = SystemFolder() + L"\\w32time.dll";
    UniqueLibrary library(LoadLibraryW(path.c_str()));
    if (!library) {
        const DWORD error = GetLastError();
        fprintf(stderr, "w32time-standin: cannot load %s: %s\n", Utf8(path).c_str(),
                ErrorText(error).c_str());
        return 1;
    }
    using SyncNowFunction = DWORD(WINAPI*)(LPCWSTR, ULONG, ULONG);
    auto call = reinterpret_cast<SyncNowFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "W32TimeSyncNow")));
    if (call == nullptr) {
        fprintf(stderr, "w32time-standin: %s has no W32TimeSyncNow\n", Utf8(path).c_str());
        return 1;
    }
    auto computer = options.values.find("--computer");
    const std::wstring name = computer != options.values.end() ? Wide(computer->second) : L"";
    const DWORD result =
        call(name.empty() ? nullptr : name.c_str(), options.Has("--wait") ? 1 : 0, flags);
    printf("W32TimeSyncNow: %s\n", result == 0 ? "0 (accepted)" : ErrorText(result).c_str());
    return result == 0 ? 0 : 1;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    Options options;
    auto parse = [&](const std::set<std::string>& values, const std::set<std::string>& flags) {
        return ParseOptions(argc, argv, values, flags, &options);
    };
    if (command == "service") {
        return RunAsService();
    }
    if (command == "install") {
        return parse({"--dll64", "--dll32"}, {}) ? Install(options) : 2;
    }
    if (command == "uninstall") {
        return parse({}, {}) ? Uninstall() : 2;
    }
    if (command == "start") {
        return parse({}, {}) ? Start() : 2;
    }
    if (command == "stop") {
        return parse({}, {}) ? Stop() : 2;
    }
    if (command == "status") {
        return parse({}, {}) ? Status() : 2;
    }
    if (command == "log") {
        return parse({"--tail"}, {}) ? PrintLog(options) : 2;
    }
    if (command == "clear") {
        if (!parse({}, {})) {
            return 2;
        }
        const DWORD error = ClearLog();
        if (error != ERROR_SUCCESS) {
            fprintf(stderr, "w32time-standin: cannot clear the log: %s\n",
                    ErrorText(error).c_str());
            return 1;
        }
        printf("log cleared: %s\n", Utf8(LogPath()).c_str());
        return 0;
    }
    if (command == "sync") {
        return parse({"--refid", "--stratum", "--flags"}, {}) ? Sync(options) : 2;
    }
    if (command == "unsync") {
        if (!parse({}, {})) {
            return 2;
        }
        SyncState s = LoadSyncState();
        s.lastSyncTime = 0;
        s.stratum = 0;
        printf("synchronization lost\n");
        return ApplyState(s);
    }
    if (command == "offset") {
        if (!parse({"--ms"}, {}) || options.values.count("--ms") == 0) {
            fprintf(stderr, "w32time-standin: offset wants --ms N\n");
            return 2;
        }
        SyncState s = LoadSyncState();
        // About 30 years either way.
        if (!IntegerOption(options, "--ms", -1'000'000'000'000, 1'000'000'000'000, &s.offsetMs)) {
            return 2;
        }
        printf("current-time offset %+lld ms\n", static_cast<long long>(s.offsetMs));
        return ApplyState(s);
    }
    if (command == "set") {
        return parse({"--stratum", "--refid", "--flags", "--leap", "--phase", "--poll",
                      "--precision", "--tick-size", "--root-delay", "--root-dispersion",
                      "--last-sync", "--samples-ms"},
                     {})
                   ? SetState(options)
                   : 2;
    }
    if (command == "reset") {
        if (!parse({}, {})) {
            return 2;
        }
        DeleteSyncState();
        printf("state reset to the defaults\n");
        return ApplyState(LoadSyncState());
    }
    if (command == "jump") {
        if (!parse({}, {"--user"})) {
            return 2;
        }
        return options.Has("--user") ? SendToRunning(kControlTimeJumpedUser, "time jump (user)")
                                     : SendToRunning(kControlTimeJumped, "time jump");
    }
    if (command == "samples-now") {
        return parse({}, {}) ? SendToRunning(kControlSamplesNow, "samples-now") : 2;
    }
    if (command == "paramchange") {
        return parse({}, {}) ? SendToRunning(SERVICE_CONTROL_PARAMCHANGE, "parameter change") : 2;
    }
    if (command == "on-syncnow") {
        return parse({"--refid", "--stratum", "--flags", "--refuse"}, {"--log-only", "--sync"})
                   ? OnSyncNow(options)
                   : 2;
    }
    if (command == "syncnow") {
        return parse({"--flags", "--computer"}, {"--wait"}) ? SyncNow(options) : 2;
    }
    fprintf(stderr, "w32time-standin: unknown command \"%s\"\n%s", command.c_str(), kUsage);
    return 2;
}

} // namespace

} // namespace standin

int main(int argc, char** argv) {
    // Lines, not blocks: the bench reads our output through a pipe while we run.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return standin::Run(argc, argv);
}
