// testprov.dll: a time provider for the bench's tests. It records into a file everything its
// host does to it, and at open drives every callback once: all GetTimeSysInfo queries,
// LogTimeProvEvent, SetProviderStatus and AlertSamplesAvail; TPC_GetSamples answers one fixed
// sample.
//
// Settings, under HKLM\System\CurrentControlSet\Services\W32Time\TimeProviders\<name>:
//   "RecordFile"   (REG_SZ)    where the records go; default C:\windows\temp\testprov-<name>.rec
//   "CloseDelayMs" (REG_DWORD) how long TimeProvClose takes; default 0
//
// Records, one per line in the stand-in's escaped tab-separated form (standin_text.h):
//   Open    <name> <callbacks dwSize> <handle>       (handle "0x0" when refused)
//   Info    <when> <info name, or 13 for one past the last> <result> <bytes written> <value>
//           when: open, UpdateConfig or TimeJumped; the value read as the interface's type
//   Event   <result of LogTimeProvEvent>
//   Status  <result of SetProviderStatus>
//   Freed   <*pHr> <*pdwSysStratum>                  when the host frees the status record
//   Alert   <result of AlertSamplesAvail>
//   Command <handle> <command> <detail>               TimeJumped: flags; GetSamples: buffer size
//   Close   <handle>
#include <windows.h>
#include <timeprov.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "bench/w32time_standin/standin_text.h"
#include "common/unique_handle_win.h"

namespace {

constexpr const wchar_t* kProvidersKey =
    L"System\\CurrentControlSet\\Services\\W32Time\\TimeProviders";
constexpr size_t kMaxInstances = 4;
constexpr size_t kNameLimit = 64;

// The fixed sample that TPC_GetSamples hands out; tests compare these exact values.
constexpr DWORD kSampleRefId = 0x0900007F; // 127.0.0.9 in network byte order
constexpr int64_t kSampleOffset = -123456; // 100 ns units
constexpr int64_t kSampleDelay = 250000;
constexpr uint64_t kSampleDispersion = 10000;
constexpr BYTE kSampleStratum = 2;
constexpr DWORD kSampleFlags = TSF_Authenticated;
constexpr DWORD kStatusStratum = 5;

struct Instance {
    bool used = false;
    wchar_t name[kNameLimit] = {};
    wchar_t recordFile[MAX_PATH] = {};
    DWORD closeDelayMs = 0;
    TimeProvSysCallbacks callbacks{};
};

// Room for several providers sharing this DLL under different names.
Instance g_instances[kMaxInstances];
CRITICAL_SECTION g_lock;

struct StatusBlock {
    SetProviderStatusInfo info; // first, so the host's pointer is the block's
    Instance* owner;
    HRESULT hr;
    DWORD sysStratum;
    wchar_t name[kNameLimit];
};

struct InfoQuery {
    TimeSysInfo info;
    const char* name;
    size_t size;
    bool isSigned;
};

constexpr InfoQuery kQueries[] = {
    {TSI_LastSyncTime, "LastSyncTime", 8, false},
    {TSI_ClockTickSize, "ClockTickSize", 8, false},
    {TSI_ClockPrecision, "ClockPrecision", 4, true},
    {TSI_CurrentTime, "CurrentTime", 8, false},
    {TSI_PhaseOffset, "PhaseOffset", 8, true},
    {TSI_TickCount, "TickCount", 8, false},
    {TSI_LeapFlags, "LeapFlags", 1, false},
    {TSI_Stratum, "Stratum", 1, false},
    {TSI_ReferenceIdentifier, "ReferenceIdentifier", 4, false},
    {TSI_PollInterval, "PollInterval", 4, true},
    {TSI_RootDelay, "RootDelay", 8, true},
    {TSI_RootDispersion, "RootDispersion", 8, false},
    {TSI_TSFlags, "TSFlags", 4, false},
};

std::string Narrow(const wchar_t* text) {
    char buffer[4 * MAX_PATH];
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length - 1)) : std::string();
}

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Number(int64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
}

std::string Unsigned(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

std::string HandleText(const void* handle) {
    return Hex(reinterpret_cast<uintptr_t>(handle));
}

void Record(const Instance& instance, const standin::Record& fields) {
    const std::string line = standin::FormatRecord(fields);
    EnterCriticalSection(&g_lock);
    UniqueFile file(CreateFileW(instance.recordFile, FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    LeaveCriticalSection(&g_lock);
}

void ReadSettings(Instance* instance) {
    std::wstring key = std::wstring(kProvidersKey) + L"\\" + instance->name;
    DWORD size = sizeof instance->recordFile;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"RecordFile", RRF_RT_REG_SZ, nullptr,
                     instance->recordFile, &size) != ERROR_SUCCESS) {
        wchar_t windows[MAX_PATH];
        const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
        snwprintf(instance->recordFile, MAX_PATH, L"%ls\\temp\\testprov-%ls.rec",
                  length > 0 && length < MAX_PATH ? windows : L"C:\\windows", instance->name);
        instance->recordFile[MAX_PATH - 1] = L'\0';
    }
    DWORD delay = 0;
    size = sizeof delay;
    instance->closeDelayMs = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"CloseDelayMs",
                                          RRF_RT_REG_DWORD, nullptr, &delay, &size) == ERROR_SUCCESS
                                 ? delay
                                 : 0;
}

// Asks once with the buffer filled with one pattern and once with another: a byte that differs
// from its pattern in either answer was written, so the count is the answer's size.
void QueryInfo(const Instance& instance, const char* when, TimeSysInfo info, const char* name,
               size_t size, bool isSigned) {
    unsigned char first[32], second[32];
    memset(first, 0xA5, sizeof first);
    memset(second, 0x5A, sizeof second);
    const HRESULT result = instance.callbacks.pfnGetTimeSysInfo(info, first);
    instance.callbacks.pfnGetTimeSysInfo(info, second);
    size_t written = 0;
    for (size_t i = 0; i < sizeof first; ++i) {
        if (first[i] != 0xA5 || second[i] != 0x5A) {
            written = i + 1;
        }
    }
    std::string value = "-";
    if (SUCCEEDED(result) && size > 0) {
        uint64_t raw = 0;
        memcpy(&raw, second, size);
        if (isSigned && size < 8 && (raw >> (8 * size - 1)) != 0) {
            raw |= ~uint64_t{0} << (8 * size);
        }
        value = isSigned ? Number(static_cast<int64_t>(raw)) : Unsigned(raw);
    }
    Record(instance,
           {"Info", when, name, Hex(static_cast<uint32_t>(result)), Unsigned(written), value});
}

void QueryAllInfo(const Instance& instance, const char* when) {
    for (const InfoQuery& query : kQueries) {
        QueryInfo(instance, when, query.info, query.name, query.size, query.isSigned);
    }
    // One past the interface's last value: the host must refuse it.
    QueryInfo(instance, when, static_cast<TimeSysInfo>(13), "13", 0, false);
}

void WINAPI FreeStatus(SetProviderStatusInfo* info) {
    StatusBlock* block = reinterpret_cast<StatusBlock*>(info);
    Record(*block->owner,
           {"Freed", Hex(static_cast<uint32_t>(block->hr)), Unsigned(block->sysStratum)});
    HeapFree(GetProcessHeap(), 0, block);
}

void ReportStatus(Instance* instance) {
    auto* block = static_cast<StatusBlock*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(StatusBlock)));
    if (block == nullptr) {
        return;
    }
    block->owner = instance;
    // Markers: the Freed record shows whether the host filled them in.
    block->hr = static_cast<HRESULT>(0xDEADBEEF);
    block->sysStratum = 0xDEADBEEF;
    wcsncpy(block->name, instance->name, kNameLimit - 1);
    block->info.tpsCurrentState = TPS_Running;
    block->info.dwStratum = kStatusStratum;
    block->info.wszProvName = block->name;
    block->info.hWaitEvent = nullptr;
    block->info.pfnFree = FreeStatus;
    block->info.pHr = &block->hr;
    block->info.pdwSysStratum = &block->sysStratum;
    const HRESULT result = instance->callbacks.pfnSetProviderStatus(&block->info);
    Record(*instance, {"Status", Hex(static_cast<uint32_t>(result))});
}

Instance* FindInstance(TimeProvHandle handle) {
    for (Instance& instance : g_instances) {
        if (instance.used && &instance == handle) {
            return &instance;
        }
    }
    return nullptr;
}

HRESULT AnswerSamples(const Instance& instance, TpcGetSamplesArgs* args) {
    if (args == nullptr) {
        return E_INVALIDARG;
    }
    if (args->pbSampleBuf == nullptr || args->cbSampleBuf < sizeof(TimeSample)) {
        args->dwSamplesReturned = 0;
        args->dwSamplesAvailable = 1;
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    TimeSample sample{};
    sample.dwSize = sizeof sample;
    sample.dwRefid = kSampleRefId;
    sample.toOffset = kSampleOffset;
    sample.toDelay = kSampleDelay;
    sample.tpDispersion = kSampleDispersion;
    instance.callbacks.pfnGetTimeSysInfo(TSI_TickCount, &sample.nSysTickCount);
    instance.callbacks.pfnGetTimeSysInfo(TSI_PhaseOffset, &sample.nSysPhaseOffset);
    sample.nLeapFlags = 0;
    sample.nStratum = kSampleStratum;
    sample.dwTSFlags = kSampleFlags;
    snwprintf(sample.wszUniqueName, 256, L"testprov:%ls", instance.name);
    sample.wszUniqueName[255] = L'\0';
    memcpy(args->pbSampleBuf, &sample, sizeof sample);
    args->dwSamplesReturned = 1;
    args->dwSamplesAvailable = 1;
    return S_OK;
}

} // namespace

extern "C" {

HRESULT WINAPI TimeProvOpen(WCHAR* name, TimeProvSysCallbacks* callbacks, TimeProvHandle* handle) {
    if (name == nullptr || callbacks == nullptr || handle == nullptr) {
        return E_INVALIDARG;
    }
    *handle = nullptr;
    EnterCriticalSection(&g_lock);
    Instance* instance = nullptr;
    for (Instance& candidate : g_instances) {
        if (!candidate.used) {
            candidate = Instance{};
            candidate.used = true;
            instance = &candidate;
            break;
        }
    }
    LeaveCriticalSection(&g_lock);
    if (instance == nullptr) {
        return E_OUTOFMEMORY;
    }
    wcsncpy(instance->name, name, kNameLimit - 1);
    ReadSettings(instance);
    const DWORD size = callbacks->dwSize;
    if (size < sizeof(TimeProvSysCallbacks)) {
        Record(*instance, {"Open", Narrow(instance->name), Unsigned(size), "0x0"});
        instance->used = false;
        return E_INVALIDARG;
    }
    memcpy(&instance->callbacks, callbacks, sizeof instance->callbacks);
    *handle = instance;
    Record(*instance, {"Open", Narrow(instance->name), Unsigned(size), HandleText(instance)});

    QueryAllInfo(*instance, "open");
    wchar_t message[128];
    snwprintf(message, sizeof message / sizeof message[0], L"%ls opened\r\n", instance->name);
    message[127] = L'\0';
    const HRESULT logged =
        instance->callbacks.pfnLogTimeProvEvent(EVENTLOG_WARNING_TYPE, instance->name, message);
    Record(*instance, {"Event", Hex(static_cast<uint32_t>(logged))});
    ReportStatus(instance);
    const HRESULT alerted = instance->callbacks.pfnAlertSamplesAvail();
    Record(*instance, {"Alert", Hex(static_cast<uint32_t>(alerted))});
    return S_OK;
}

HRESULT WINAPI TimeProvCommand(TimeProvHandle handle, TimeProvCmd command, TimeProvArgs args) {
    Instance* instance = FindInstance(handle);
    if (instance == nullptr) {
        return E_INVALIDARG;
    }
    const std::string handleText = HandleText(handle);
    switch (command) {
    case TPC_TimeJumped: {
        const auto* jump = static_cast<const TpcTimeJumpedArgs*>(args);
        Record(*instance,
               {"Command", handleText, "TimeJumped",
                jump != nullptr ? Unsigned(static_cast<uint32_t>(jump->tjfFlags)) : "null"});
        QueryAllInfo(*instance, "TimeJumped");
        return S_OK;
    }
    case TPC_UpdateConfig:
        Record(*instance, {"Command", handleText, "UpdateConfig", "-"});
        ReadSettings(instance);
        QueryAllInfo(*instance, "UpdateConfig");
        return S_OK;
    case TPC_GetSamples: {
        auto* samples = static_cast<TpcGetSamplesArgs*>(args);
        Record(*instance, {"Command", handleText, "GetSamples",
                           samples != nullptr ? Unsigned(samples->cbSampleBuf) : "null"});
        return AnswerSamples(*instance, samples);
    }
    case TPC_PollIntervalChanged:
        Record(*instance, {"Command", handleText, "PollIntervalChanged", "-"});
        return S_OK;
    case TPC_NetTopoChange:
        Record(*instance, {"Command", handleText, "NetTopoChange", "-"});
        return S_OK;
    case TPC_Query:
        Record(*instance, {"Command", handleText, "Query", "-"});
        return S_OK;
    case TPC_Shutdown:
        Record(*instance, {"Command", handleText, "Shutdown", "-"});
        return S_OK;
    }
    Record(*instance, {"Command", handleText, Number(command), "unknown"});
    return E_INVALIDARG;
}

HRESULT WINAPI TimeProvClose(TimeProvHandle handle) {
    Instance* instance = FindInstance(handle);
    if (instance == nullptr) {
        return E_INVALIDARG;
    }
    if (instance->closeDelayMs != 0) {
        Sleep(instance->closeDelayMs);
    }
    Record(*instance, {"Close", HandleText(handle)});
    instance->used = false;
    return S_OK;
}

} // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
