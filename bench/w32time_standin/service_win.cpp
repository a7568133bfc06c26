// The W32Time stand-in as a service. Wine has no Windows Time service, so this one hosts time
// providers the way the product expects of it: every subkey of
// HKLM\System\CurrentControlSet\Services\W32Time\TimeProviders with "Enabled" != 0 and a
// "DllName" is loaded (a bare name from the system folder) and opened with TimeProvOpen; the
// callbacks answer from the scripted state (standin_state_win.h); TPC_UpdateConfig follows the
// parameter-change control, TPC_TimeJumped and TPC_GetSamples follow our own control codes,
// AlertSamplesAvail and a period; TimeProvClose runs at stop and is timed.
//
// Log: C:\windows\temp\w32time-standin.log, UTF-8, appended across runs, each record one line
// written with a single append (so it is visible to readers at once). Fields are separated by
// TAB and escaped as standin_text.h says (a message ending in CR LF ends in the text "\r\n").
// Field 1 is the UTC time "YYYY-MM-DD hh:mm:ss.mmm", field 2 the kind:
//
//   Service   start-pending <pid>
//   Service   running <providers opened> <ms since start-pending>
//   Service   stop-pending
//   Service   stopped <ms since stop-pending>
//   State     <start|reload|syncnow> lastsync=<file time> stratum=<n> refid=<a.b.c.d>
//             flags=<0xN> offset_ms=<n> leap=<n> samples_ms=<n> on_syncnow=<0|1>
//   Provider  <name> skipped <reason>
//   Provider  <name> loaded <dll path> <input|output>
//   Provider  <name> load-failed <dll path> <error>
//   Provider  <name> no-entry <dll path> <export name>
//   Open      <name> <result 0xXXXXXXXX> <handle 0x...> <ms>
//   Command   <name> <UpdateConfig|TimeJumped> <argument: "-" or the jump flags> <result> <ms>
//   Samples   <name> <result> <returned> <available> <ms>
//   Sample    <name> <index> <dwSize> <refid 0xXXXXXXXX> <refid a.b.c.d> <offset> <delay>
//             <dispersion> <tick count> <phase offset> <leap flags> <stratum> <ts flags 0xN>
//             <unique name>
//   Close     <name> <result> <ms>
//   Event     <provider name> <event type> <message>
//   Status    <provider name> <state> <stratum> <wait event: event|->
//   StatusFreed <provider name> <freed|no-free-function>
//   AlertSamplesAvail
//   SyncNow   <wait 0|1> <flags 0xN> <logged|synced> [<refid a.b.c.d> <stratum>]
//   Control   6 paramchange
//   Control   <code> unknown
//
// Times are in 100 ns units where the interface uses them; durations are milliseconds with one
// decimal, measured with the performance counter. TSI_TickCount answers GetTickCount64 (ms).
// SetProviderStatus answers *pHr = S_OK and *pdwSysStratum = the scripted stratum at once and
// frees the record through its pfnFree later, on the service thread.
#include "bench/w32time_standin/service_win.h"

#include <windows.h>
#include <timeprov.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "bench/w32time_standin/standin_text.h"
#include "common/unique_handle_win.h"

namespace standin {

namespace {

using OpenFunction = HRESULT(WINAPI*)(WCHAR*, TimeProvSysCallbacks*, TimeProvHandle*);
using CommandFunction = HRESULT(WINAPI*)(TimeProvHandle, TimeProvCmd, TimeProvArgs);
using CloseFunction = HRESULT(WINAPI*)(TimeProvHandle);

struct Provider {
    std::wstring name; // stays put: the provider may keep the pointer it was opened with
    std::wstring dllPath;
    bool input = false;
    UniqueLibrary module;
    OpenFunction open = nullptr;
    CommandFunction command = nullptr;
    CloseFunction close = nullptr;
    TimeProvSysCallbacks callbacks{}; // each provider gets its own copy
    TimeProvHandle handle = nullptr;
};

enum Request { kUpdateConfig, kTimeJumped, kTimeJumpedUser, kGetSamples, kRequestCount };

struct PendingFree {
    SetProviderStatusInfo* info;
    std::string providerName;
};

// Requests from the control handler and the callbacks, worked off by the service thread: the
// providers' commands all run on that one thread, as with a real service's provider calls.
volatile LONG g_requests[kRequestCount];
UniqueKernelHandle g_stopEvent;
UniqueKernelHandle g_wakeEvent;

CRITICAL_SECTION g_stateLock;
SyncState g_state;
std::vector<PendingFree> g_pendingFrees; // under g_stateLock

CRITICAL_SECTION g_logLock;
std::wstring g_logPath;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status;

std::vector<std::unique_ptr<Provider>> g_providers;

class Lock {
public:
    explicit Lock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { LeaveCriticalSection(section_); }

private:
    CRITICAL_SECTION* section_;
};

std::string Dec(int64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
}

std::string UDec(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string HexShort(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string PointerText(const void* pointer) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

std::string MsText(double ms) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", ms);
    return text;
}

// Wide text from a provider, read no further than limit units when it is not terminated.
std::string ProviderText(const WCHAR* text, size_t limit) {
    if (text == nullptr) {
        return "(null)";
    }
    return Utf8(std::wstring(text, wcsnlen(text, limit)));
}

class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&start_); }
    double Ms() const {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(now.QuadPart - start_.QuadPart) * 1000.0 /
               static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER start_;
};

void Log(Record fields) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    fields.insert(fields.begin(), stamp);
    const std::string line = FormatRecord(fields);

    Lock lock(&g_logLock);
    // Opened per record: a reader never misses a line, and `clear` may truncate at any time.
    UniqueFile file(CreateFileW(g_logPath.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Post(Request request) {
    InterlockedIncrement(&g_requests[request]);
    SetEvent(g_wakeEvent.get());
}

LONG TakeRequests(Request request) {
    return InterlockedExchange(&g_requests[request], 0);
}

SyncState CurrentState() {
    Lock lock(&g_stateLock);
    return g_state;
}

void LogState(const char* reason, const SyncState& state) {
    Log({"State", reason, "lastsync=" + UDec(state.lastSyncTime), "stratum=" + UDec(state.stratum),
         "refid=" + FormatDottedQuad(state.refId), "flags=" + HexShort(state.tsFlags),
         "offset_ms=" + Dec(state.offsetMs), "leap=" + UDec(state.leapFlags),
         "samples_ms=" + UDec(state.samplesIntervalMs), "on_syncnow=" + UDec(state.syncOnSyncNow)});
}

void ReloadState(const char* reason) {
    const SyncState state = LoadSyncState();
    {
        Lock lock(&g_stateLock);
        g_state = state;
    }
    LogState(reason, state);
    // The sampling period may have changed.
    SetEvent(g_wakeEvent.get());
}

// A demand synchronization: always logged; with the state's syncOnSyncNow it also synchronizes
// with the scripted partner, at once, so a caller that asked to wait finds it done.
void HandleSyncNow(DWORD code) {
    const bool wait = (code & kSyncNowWaitBit) != 0;
    const DWORD flags = code & kSyncNowFlagMask;
    // From the registry rather than memory: what a script wrote last counts, reloaded or not.
    SyncState state = LoadSyncState();
    const bool sync = state.syncOnSyncNow != 0;
    if (sync) {
        state.lastSyncTime = OffsetFileTimeNow(state.offsetMs);
        state.stratum = state.syncNowStratum;
        state.refId = state.syncNowRefId;
        state.tsFlags = state.syncNowTsFlags;
        SaveSyncState(state);
    }
    {
        Lock lock(&g_stateLock);
        g_state = state;
    }
    if (sync) {
        Log({"SyncNow", wait ? "1" : "0", HexShort(flags), "synced", FormatDottedQuad(state.refId),
             UDec(state.stratum)});
        LogState("syncnow", state);
    } else {
        Log({"SyncNow", wait ? "1" : "0", HexShort(flags), "logged"});
    }
}

template <typename T> HRESULT Answer(void* out, T value) {
    memcpy(out, &value, sizeof value);
    return S_OK;
}

HRESULT WINAPI GetTimeSysInfoCallback(TimeSysInfo info, void* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    const SyncState state = CurrentState();
    const BYTE stratum = static_cast<BYTE>(state.stratum > 255 ? 255 : state.stratum);
    const BYTE leap = static_cast<BYTE>(state.leapFlags > 255 ? 255 : state.leapFlags);
    // The types and sizes are the interface's: a wrong size here would corrupt the caller.
    switch (info) {
    case TSI_LastSyncTime:
        return Answer<uint64_t>(out, state.lastSyncTime);
    case TSI_ClockTickSize:
        return Answer<uint64_t>(out, state.clockTickSize);
    case TSI_ClockPrecision:
        return Answer<int32_t>(out, state.clockPrecision);
    case TSI_CurrentTime:
        return Answer<uint64_t>(out, OffsetFileTimeNow(state.offsetMs));
    case TSI_PhaseOffset:
        return Answer<int64_t>(out, state.phaseOffset);
    case TSI_TickCount:
        return Answer<uint64_t>(out, GetTickCount64());
    case TSI_LeapFlags:
        return Answer<BYTE>(out, leap);
    case TSI_Stratum:
        return Answer<BYTE>(out, stratum);
    case TSI_ReferenceIdentifier:
        return Answer<DWORD>(out, state.refId);
    case TSI_PollInterval:
        return Answer<int32_t>(out, state.pollInterval);
    case TSI_RootDelay:
        return Answer<int64_t>(out, state.rootDelay);
    case TSI_RootDispersion:
        return Answer<uint64_t>(out, state.rootDispersion);
    case TSI_TSFlags:
        return Answer<DWORD>(out, state.tsFlags);
    }
    return E_INVALIDARG;
}

HRESULT WINAPI LogTimeProvEventCallback(WORD type, WCHAR* providerName, WCHAR* message) {
    Log({"Event", ProviderText(providerName, 256), UDec(type), ProviderText(message, 32768)});
    return S_OK;
}

HRESULT WINAPI AlertSamplesAvailCallback() {
    Log({"AlertSamplesAvail"});
    Post(kGetSamples);
    return S_OK;
}

// Results are filled in and the wait event set at once, so a provider that waits on its own
// thread for them cannot deadlock the service thread; the record is freed later, on the service
// thread, after the provider's call has returned.
HRESULT WINAPI SetProviderStatusCallback(SetProviderStatusInfo* info) {
    if (info == nullptr) {
        Log({"Status", "(null)"});
        return E_INVALIDARG;
    }
    const std::string name = ProviderText(info->wszProvName, 256);
    Log({"Status", name, UDec(static_cast<uint32_t>(info->tpsCurrentState)), UDec(info->dwStratum),
         info->hWaitEvent != nullptr ? "event" : "-"});
    const SyncState state = CurrentState();
    if (info->pHr != nullptr) {
        *info->pHr = S_OK;
    }
    if (info->pdwSysStratum != nullptr) {
        *info->pdwSysStratum = state.stratum;
    }
    if (info->hWaitEvent != nullptr) {
        SetEvent(info->hWaitEvent);
    }
    {
        Lock lock(&g_stateLock);
        g_pendingFrees.push_back({info, name});
    }
    SetEvent(g_wakeEvent.get());
    return S_OK;
}

void FreeStatusRecords() {
    std::vector<PendingFree> pending;
    {
        Lock lock(&g_stateLock);
        pending.swap(g_pendingFrees);
    }
    for (const PendingFree& item : pending) {
        SetProviderStatusInfoFreeFunc* free = item.info->pfnFree;
        if (free != nullptr) {
            free(item.info);
        }
        Log({"StatusFreed", item.providerName, free != nullptr ? "freed" : "no-free-function"});
    }
}

template <typename F> F Export(HMODULE module, const char* name) {
    // Through void(*)() so the conversion from FARPROC is the sanctioned one.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD* value) {
    DWORD size = sizeof *value;
    DWORD type = 0;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof *value;
}

std::wstring ReadText(HKEY key, const wchar_t* name) {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof buffer - sizeof buffer[0];
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    buffer[size / sizeof buffer[0]] = L'\0';
    if (type == REG_SZ) {
        return buffer;
    }
    wchar_t expanded[MAX_PATH + 1];
    const DWORD length = ExpandEnvironmentStringsW(buffer, expanded, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH + 1 ? expanded : L"";
}

// A bare file name is looked up in the system folder, as the service does with "DllName".
std::wstring ResolveDll(const std::wstring& dllName) {
    if (dllName.find_first_of(L"\\/:") != std::wstring::npos) {
        return dllName;
    }
    return SystemFolder() + L"\\" + dllName;
}

void OpenProvider(const std::wstring& name, HKEY key) {
    const std::string name8 = Utf8(name);
    DWORD enabled = 0;
    if (!ReadDword(key, L"Enabled", &enabled) || enabled == 0) {
        Log({"Provider", name8, "skipped",
             ReadDword(key, L"Enabled", &enabled) ? "Enabled=0" : "no Enabled value"});
        return;
    }
    const std::wstring dllName = ReadText(key, L"DllName");
    if (dllName.empty()) {
        Log({"Provider", name8, "skipped", "no DllName"});
        return;
    }
    auto provider = std::make_unique<Provider>();
    provider->name = name;
    provider->dllPath = ResolveDll(dllName);
    DWORD input = 0;
    provider->input = ReadDword(key, L"InputProvider", &input) && input != 0;
    const std::string path8 = Utf8(provider->dllPath);

    provider->module.reset(
        LoadLibraryExW(provider->dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!provider->module) {
        const DWORD error = GetLastError();
        Log({"Provider", name8, "load-failed", path8, ErrorText(error)});
        return;
    }
    HMODULE module = provider->module.get();
    provider->open = Export<OpenFunction>(module, "TimeProvOpen");
    provider->command = Export<CommandFunction>(module, "TimeProvCommand");
    provider->close = Export<CloseFunction>(module, "TimeProvClose");
    const char* missing = provider->open == nullptr      ? "TimeProvOpen"
                          : provider->command == nullptr ? "TimeProvCommand"
                          : provider->close == nullptr   ? "TimeProvClose"
                                                         : nullptr;
    if (missing != nullptr) {
        Log({"Provider", name8, "no-entry", path8, missing});
        return;
    }
    Log({"Provider", name8, "loaded", path8, provider->input ? "input" : "output"});

    provider->callbacks.dwSize = sizeof provider->callbacks;
    provider->callbacks.pfnGetTimeSysInfo = GetTimeSysInfoCallback;
    provider->callbacks.pfnLogTimeProvEvent = LogTimeProvEventCallback;
    provider->callbacks.pfnAlertSamplesAvail = AlertSamplesAvailCallback;
    provider->callbacks.pfnSetProviderStatus = SetProviderStatusCallback;
    const Stopwatch watch;
    const HRESULT result =
        provider->open(&provider->name[0], &provider->callbacks, &provider->handle);
    Log({"Open", name8, Hex32(static_cast<uint32_t>(result)), PointerText(provider->handle),
         MsText(watch.Ms())});
    if (FAILED(result)) {
        return;
    }
    g_providers.push_back(std::move(provider));
}

void OpenProviders() {
    UniqueKey root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, root.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = sizeof name / sizeof name[0];
        const LONG status =
            RegEnumKeyExW(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            continue;
        }
        UniqueKey key;
        if (RegOpenKeyExW(root.get(), name, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
            OpenProvider(std::wstring(name, length), key.get());
        }
    }
}

void RunCommand(Provider& provider, TimeProvCmd command, TimeProvArgs args, const char* label,
                const std::string& argument) {
    const Stopwatch watch;
    const HRESULT result = provider.command(provider.handle, command, args);
    Log({"Command", Utf8(provider.name), label, argument, Hex32(static_cast<uint32_t>(result)),
         MsText(watch.Ms())});
}

void CollectSamples(Provider& provider) {
    // Room for several samples, as the real service gives; the provider says how many it used.
    constexpr DWORD kCapacity = 16;
    std::vector<TimeSample> buffer(kCapacity);
    TpcGetSamplesArgs args{};
    args.pbSampleBuf = reinterpret_cast<BYTE*>(buffer.data());
    args.cbSampleBuf = static_cast<DWORD>(buffer.size() * sizeof(TimeSample));
    const Stopwatch watch;
    const HRESULT result = provider.command(provider.handle, TPC_GetSamples, &args);
    const std::string name = Utf8(provider.name);
    Log({"Samples", name, Hex32(static_cast<uint32_t>(result)), UDec(args.dwSamplesReturned),
         UDec(args.dwSamplesAvailable), MsText(watch.Ms())});
    if (FAILED(result)) {
        return;
    }
    const DWORD count = args.dwSamplesReturned < kCapacity ? args.dwSamplesReturned : kCapacity;
    for (DWORD i = 0; i < count; ++i) {
        const TimeSample& sample = buffer[i];
        const size_t nameLength = sizeof sample.wszUniqueName / sizeof sample.wszUniqueName[0];
        Log({"Sample", name, UDec(i), UDec(sample.dwSize), Hex32(sample.dwRefid),
             FormatDottedQuad(sample.dwRefid), Dec(sample.toOffset), Dec(sample.toDelay),
             UDec(sample.tpDispersion), UDec(sample.nSysTickCount), Dec(sample.nSysPhaseOffset),
             UDec(sample.nLeapFlags), UDec(sample.nStratum), HexShort(sample.dwTSFlags),
             ProviderText(sample.wszUniqueName, nameLength)});
    }
}

void ReportStatus(DWORD state, DWORD waitHintMs) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
                                ? g_status.dwCheckPoint + 1
                                : 0;
    g_status.dwWaitHint = waitHintMs;
    SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetEvent(g_stopEvent.get());
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        // Logged here as well as by the providers' UpdateConfig: with no provider loaded the
        // control's arrival is still visible.
        Log({"Control", UDec(control), "paramchange"});
        Post(kUpdateConfig);
        return NO_ERROR;
    case kControlReloadState:
        // Done before the answer, so a script's next step already sees the new state.
        ReloadState("reload");
        return NO_ERROR;
    case kControlTimeJumped:
        Post(kTimeJumped);
        return NO_ERROR;
    case kControlTimeJumpedUser:
        Post(kTimeJumpedUser);
        return NO_ERROR;
    case kControlSamplesNow:
        Post(kGetSamples);
        return NO_ERROR;
    default:
        if (IsSyncNowControl(control)) {
            HandleSyncNow(control);
            return NO_ERROR;
        }
        Log({"Control", UDec(control), "unknown"});
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void ServeRequests() {
    const HANDLE events[] = {g_stopEvent.get(), g_wakeEvent.get()};
    DWORD interval = CurrentState().samplesIntervalMs;
    ULONGLONG nextSamples = GetTickCount64() + interval;
    for (;;) {
        const DWORD newInterval = CurrentState().samplesIntervalMs;
        if (newInterval != interval) {
            interval = newInterval;
            nextSamples = GetTickCount64() + interval;
        }
        DWORD timeout = INFINITE;
        if (interval != 0) {
            const ULONGLONG now = GetTickCount64();
            timeout = now >= nextSamples ? 0 : static_cast<DWORD>(nextSamples - now);
        }
        const DWORD wait = WaitForMultipleObjects(2, events, FALSE, timeout);
        if (wait == WAIT_OBJECT_0) {
            return;
        }
        if (wait == WAIT_FAILED) {
            Sleep(100);
        }
        FreeStatusRecords();
        for (LONG n = TakeRequests(kUpdateConfig); n > 0; --n) {
            for (auto& provider : g_providers) {
                RunCommand(*provider, TPC_UpdateConfig, nullptr, "UpdateConfig", "-");
            }
        }
        for (const Request kind : {kTimeJumped, kTimeJumpedUser}) {
            TpcTimeJumpedArgs args{kind == kTimeJumped ? TJF_Default : TJF_UserRequested};
            for (LONG n = TakeRequests(kind); n > 0; --n) {
                for (auto& provider : g_providers) {
                    RunCommand(*provider, TPC_TimeJumped, &args, "TimeJumped",
                               UDec(static_cast<uint32_t>(args.tjfFlags)));
                }
            }
        }
        // Several alerts before we got round to them ask for the same samples: one round.
        bool collect = TakeRequests(kGetSamples) > 0;
        if (interval != 0 && GetTickCount64() >= nextSamples) {
            collect = true;
            nextSamples = GetTickCount64() + interval;
        }
        if (collect) {
            // Only input providers are asked for samples, as by the real service.
            for (auto& provider : g_providers) {
                if (provider->input) {
                    CollectSamples(*provider);
                }
            }
        }
        FreeStatusRecords();
    }
}

void CloseProviders() {
    FreeStatusRecords();
    for (auto it = g_providers.rbegin(); it != g_providers.rend(); ++it) {
        Provider& provider = **it;
        const Stopwatch watch;
        const HRESULT result = provider.close(provider.handle);
        Log({"Close", Utf8(provider.name), Hex32(static_cast<uint32_t>(result)),
             MsText(watch.Ms())});
    }
    // Status records still pending belong to the providers' modules: free them before unloading.
    FreeStatusRecords();
    g_providers.clear();
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_wakeEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
    if (g_statusHandle == nullptr) {
        return;
    }
    if (!g_stopEvent || !g_wakeEvent) {
        g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        g_status.dwCurrentState = SERVICE_STOPPED;
        g_status.dwWin32ExitCode = ERROR_NOT_ENOUGH_MEMORY;
        SetServiceStatus(g_statusHandle, &g_status);
        return;
    }
    // A slow provider (one that waits for the network while opening) gets time before the
    // service counts as running; callers of `start` therefore find every provider opened.
    ReportStatus(SERVICE_START_PENDING, 30000);
    const Stopwatch starting;
    Log({"Service", "start-pending", UDec(GetCurrentProcessId())});
    ReloadState("start");
    OpenProviders();
    ReportStatus(SERVICE_RUNNING, 0);
    Log({"Service", "running", UDec(g_providers.size()), MsText(starting.Ms())});

    ServeRequests();

    // A provider may take up to 30 s to close (the product's agent waits that long for its
    // thread).
    ReportStatus(SERVICE_STOP_PENDING, 35000);
    const Stopwatch stopping;
    Log({"Service", "stop-pending"});
    CloseProviders();
    Log({"Service", "stopped", MsText(stopping.Ms())});
    ReportStatus(SERVICE_STOPPED, 0);
}

} // namespace

int RunAsService() {
    InitializeCriticalSection(&g_stateLock);
    InitializeCriticalSection(&g_logLock);
    g_logPath = LogPath();
    CreateDirectoryW(g_logPath.substr(0, g_logPath.find_last_of(L'\\')).c_str(), nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        fprintf(stderr, "w32time-standin: not started by the service control manager (%s)\n",
                ErrorText(error).c_str());
        return static_cast<int>(error);
    }
    return 0;
}

} // namespace standin
