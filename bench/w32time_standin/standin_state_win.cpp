#include "bench/w32time_standin/standin_state_win.h"

#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_text.h"
#include "common/unique_handle_win.h"

#include <string>

namespace standin {

namespace {

template <typename T> void ReadDword(HKEY key, const wchar_t* name, T* value) {
    DWORD data = 0;
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof data) {
        *value = static_cast<T>(data);
    }
}

template <typename T> void ReadQword(HKEY key, const wchar_t* name, T* value) {
    uint64_t data = 0;
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) ==
            ERROR_SUCCESS &&
        type == REG_QWORD && size == sizeof data) {
        *value = static_cast<T>(data);
    }
}

LONG WriteDword(HKEY key, const wchar_t* name, uint32_t value) {
    const DWORD data = value;
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data);
}

LONG WriteQword(HKEY key, const wchar_t* name, uint64_t value) {
    return RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

} // namespace

SyncState LoadSyncState() {
    SyncState state;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
        return state;
    }
    ReadQword(key.get(), L"LastSyncTime", &state.lastSyncTime);
    ReadDword(key.get(), L"Stratum", &state.stratum);
    ReadDword(key.get(), L"ReferenceIdentifier", &state.refId);
    ReadDword(key.get(), L"TSFlags", &state.tsFlags);
    ReadQword(key.get(), L"OffsetMs", &state.offsetMs);
    ReadDword(key.get(), L"LeapFlags", &state.leapFlags);
    ReadQword(key.get(), L"PhaseOffset", &state.phaseOffset);
    ReadDword(key.get(), L"PollInterval", &state.pollInterval);
    ReadQword(key.get(), L"ClockTickSize", &state.clockTickSize);
    ReadDword(key.get(), L"ClockPrecision", &state.clockPrecision);
    ReadQword(key.get(), L"RootDelay", &state.rootDelay);
    ReadQword(key.get(), L"RootDispersion", &state.rootDispersion);
    ReadDword(key.get(), L"SamplesIntervalMs", &state.samplesIntervalMs);
    ReadDword(key.get(), L"SyncOnSyncNow", &state.syncOnSyncNow);
    ReadDword(key.get(), L"SyncNowReferenceIdentifier", &state.syncNowRefId);
    ReadDword(key.get(), L"SyncNowStratum", &state.syncNowStratum);
    ReadDword(key.get(), L"SyncNowTSFlags", &state.syncNowTsFlags);
    ReadDword(key.get(), L"SyncNowRefuse", &state.syncNowRefuse);
    return state;
}

LONG SaveSyncState(const SyncState& state) {
    UniqueKey key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const LONG results[] = {
        WriteQword(key.get(), L"LastSyncTime", state.lastSyncTime),
        WriteDword(key.get(), L"Stratum", state.stratum),
        WriteDword(key.get(), L"ReferenceIdentifier", state.refId),
        WriteDword(key.get(), L"TSFlags", state.tsFlags),
        WriteQword(key.get(), L"OffsetMs", static_cast<uint64_t>(state.offsetMs)),
        WriteDword(key.get(), L"LeapFlags", state.leapFlags),
        WriteQword(key.get(), L"PhaseOffset", static_cast<uint64_t>(state.phaseOffset)),
        WriteDword(key.get(), L"PollInterval", static_cast<uint32_t>(state.pollInterval)),
        WriteQword(key.get(), L"ClockTickSize", state.clockTickSize),
        WriteDword(key.get(), L"ClockPrecision", static_cast<uint32_t>(state.clockPrecision)),
        WriteQword(key.get(), L"RootDelay", static_cast<uint64_t>(state.rootDelay)),
        WriteQword(key.get(), L"RootDispersion", state.rootDispersion),
        WriteDword(key.get(), L"SamplesIntervalMs", state.samplesIntervalMs),
        WriteDword(key.get(), L"SyncOnSyncNow", state.syncOnSyncNow),
        WriteDword(key.get(), L"SyncNowReferenceIdentifier", state.syncNowRefId),
        WriteDword(key.get(), L"SyncNowStratum", state.syncNowStratum),
        WriteDword(key.get(), L"SyncNowTSFlags", state.syncNowTsFlags),
        WriteDword(key.get(), L"SyncNowRefuse", state.syncNowRefuse),
    };
    for (const LONG result : results) {
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}

LONG DeleteSyncState() {
    const LONG status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kStateKey, KEY_WOW64_64KEY, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return status;
    }
    // The bench's parent key goes too once nothing else of the bench lives under it.
    const std::wstring state = kStateKey;
    const std::wstring parent = state.substr(0, state.find_last_of(L'\\'));
    DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, parent.c_str(), KEY_WOW64_64KEY);
    return ERROR_SUCCESS;
}

LONG ScriptSynchronization(const char* partner, uint32_t stratum) {
    SyncState state = LoadSyncState();
    if (!ParseDottedQuad(partner, &state.refId)) {
        return ERROR_INVALID_PARAMETER;
    }
    state.stratum = stratum;
    state.lastSyncTime = OffsetFileTimeNow(0);
    return SaveSyncState(state);
}

void DeleteKeyIfEmpty(HKEY root, const wchar_t* path, REGSAM view) {
    UniqueKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 0, values = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0) {
        key.reset();
        RegDeleteKeyExW(root, path, view, 0);
    }
}

uint64_t OffsetFileTimeNow(int64_t offsetMs) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t value =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    // About 300 years either way keeps the product far from overflow and covers any test.
    constexpr int64_t kLimitMs = 10'000'000'000'000;
    const int64_t clamped = offsetMs > kLimitMs    ? kLimitMs
                            : offsetMs < -kLimitMs ? -kLimitMs
                                                   : offsetMs;
    const int64_t shifted = value + clamped * 10000;
    return shifted < 0 ? 0 : static_cast<uint64_t>(shifted);
}

} // namespace standin
