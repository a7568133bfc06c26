// The W32Time stand-in under Wine's service manager, driving the bench's test provider: what a
// time provider sees of it is what the product's agent will see.
#include <windows.h>
#include <timeprov.h>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"

namespace standin {
namespace {

constexpr DWORD kServiceTimeoutMs = winbench::kPatienceMs;
constexpr DWORD kWaitMs = winbench::kPatienceMs;
constexpr DWORD kCloseDelayMs = 150;
constexpr const wchar_t* kProvider = L"BenchProv";
constexpr const wchar_t* kDisabledProvider = L"BenchProvOff";
constexpr const wchar_t* kProviderDll = L"horologix-benchprov.dll";

// The scripted state every test starts from.
constexpr uint64_t kLastSync = 133000000000000000; // 2022-06-18, in file time
constexpr uint32_t kRefId = 0x0700007F;            // 127.0.0.7
constexpr int64_t kOffsetMs = 1500;

std::wstring BinFolder() {
    return WindowsPath(BENCH_BIN_DIR);
}
std::wstring TempFolder() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\temp";
}
std::wstring RecordPath(const wchar_t* provider) {
    return TempFolder() + L"\\bench-" + provider + L".rec";
}

uint64_t FileTimeNow() {
    return OffsetFileTimeNow(0);
}

int RunTool(std::initializer_list<const char*> args) {
    std::wstring command = L"\"" + BinFolder() + L"\\w32time-standin.exe\"";
    for (const char* arg : args) {
        command += L" " + Wide(arg);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle threadHandle(process.hThread);
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, kWaitMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code)) {
        return -1;
    }
    return static_cast<int>(code);
}

LONG WriteProviderKey(const wchar_t* name, DWORD enabled) {
    const std::wstring path = std::wstring(kProvidersKey) + L"\\" + name;
    UniqueKey key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const DWORD input = 1;
    const DWORD delay = kCloseDelayMs;
    const std::wstring record = RecordPath(name);
    const auto bytes = [](const std::wstring& text) {
        return static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    };
    const std::wstring dll = kProviderDll;
    for (const LONG result : {
             RegSetValueExW(key.get(), L"DllName", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(dll.c_str()), bytes(dll)),
             RegSetValueExW(key.get(), L"Enabled", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&enabled), sizeof enabled),
             RegSetValueExW(key.get(), L"InputProvider", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&input), sizeof input),
             RegSetValueExW(key.get(), L"RecordFile", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(record.c_str()), bytes(record)),
             RegSetValueExW(key.get(), L"CloseDelayMs", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&delay), sizeof delay),
         }) {
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}

void DeleteProviderKey(const wchar_t* name) {
    const std::wstring path = std::wstring(kProvidersKey) + L"\\" + name;
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// Records whose leading fields are the given ones (after skipping `skip` fields).
std::vector<Record> Matching(const std::vector<Record>& records,
                             std::initializer_list<const char*> prefix, size_t skip) {
    std::vector<Record> found;
    for (const Record& record : records) {
        if (record.size() < skip + prefix.size()) {
            continue;
        }
        size_t i = skip;
        bool match = true;
        for (const char* field : prefix) {
            match = match && record[i++] == field;
        }
        if (match) {
            found.push_back(record);
        }
    }
    return found;
}

uint64_t ToUnsigned(const std::string& text) {
    return std::stoull(text);
}

using InfoRound = std::map<std::string, Record>;

// The provider's GetTimeSysInfo answers, one round of queries per open or command, by name.
std::vector<InfoRound> InfoRounds(const std::vector<Record>& recorded, const char* when) {
    std::vector<InfoRound> rounds;
    for (const Record& record : Matching(recorded, {"Info", when}, 0)) {
        if (record.size() < 6) {
            continue;
        }
        if (record[2] == "LastSyncTime" || rounds.empty()) {
            rounds.emplace_back();
        }
        rounds.back()[record[2]] = record;
    }
    return rounds;
}

// One answer: result, size written, value.
void ExpectInfo(const InfoRound& round, const char* name, size_t size, const std::string& value) {
    auto it = round.find(name);
    ASSERT_NE(it, round.end()) << name;
    EXPECT_EQ(it->second[3], "0x0") << name;
    EXPECT_EQ(it->second[4], std::to_string(size)) << name;
    EXPECT_EQ(it->second[5], value) << name;
}

void ExpectInfoWithin(const InfoRound& round, const char* name, uint64_t low, uint64_t high) {
    auto it = round.find(name);
    ASSERT_NE(it, round.end()) << name;
    EXPECT_EQ(it->second[4], "8") << name;
    const uint64_t value = ToUnsigned(it->second[5]);
    EXPECT_GE(value, low) << name;
    EXPECT_LE(value, high) << name;
}

class StandinService : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceInfo info;
        const DWORD query = QueryStandin(&info);
        const std::wstring exe = BinFolder() + L"\\w32time-standin.exe";
        if (query != ERROR_SUCCESS || info.binaryPath.find(exe) == std::wstring::npos) {
            ASSERT_EQ(RunTool({"install"}), 0);
        }
        ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);

        SyncState state;
        state.lastSyncTime = kLastSync;
        state.stratum = 3;
        state.refId = kRefId;
        state.tsFlags = TSF_Authenticated;
        state.offsetMs = kOffsetMs;
        state.leapFlags = 1;
        state.phaseOffset = -777;
        state.pollInterval = 6;
        state.clockTickSize = 156250;
        state.clockPrecision = -7;
        state.rootDelay = 1234;
        state.rootDispersion = 5678;
        state.samplesIntervalMs = 0; // periodic sampling only where a test asks for it
        ASSERT_EQ(SaveSyncState(state), ERROR_SUCCESS);

        ASSERT_EQ(PlaceFile(BinFolder() + L"\\testprov.dll", SystemFolder() + L"\\" + kProviderDll),
                  0u);
        DeleteFileW(RecordPath(kProvider).c_str());
        DeleteFileW(RecordPath(kDisabledProvider).c_str());
        UniqueKey providers;
        providersKeyExisted_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ,
                                             providers.put()) == ERROR_SUCCESS;
        ASSERT_EQ(WriteProviderKey(kProvider, 1), ERROR_SUCCESS);
        ASSERT_EQ(WriteProviderKey(kDisabledProvider, 0), ERROR_SUCCESS);

        logStart_ = LogSize();
        startTime_ = FileTimeNow();
        startTicks_ = GetTickCount64();
        ASSERT_EQ(StartStandin(kServiceTimeoutMs, &startMs_), 0u);
        startedTime_ = FileTimeNow();
        startedTicks_ = GetTickCount64();
        ASSERT_TRUE(WaitFor([&] { return !Matching(Recorded(), {"Alert"}, 0).empty(); }));
    }

    void TearDown() override {
        EXPECT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        DeleteProviderKey(kProvider);
        DeleteProviderKey(kDisabledProvider);
        if (!providersKeyExisted_) {
            DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kProvidersKey, 0);
        }
        EXPECT_EQ(RemoveFile(SystemFolder() + L"\\" + kProviderDll), 0u);
        DeleteFileW(RecordPath(kProvider).c_str());
        DeleteFileW(RecordPath(kDisabledProvider).c_str());
        DeleteSyncState();
    }

    std::vector<Record> Log() const { return ReadLog(logStart_); }
    static std::vector<Record> Recorded() {
        return ParseRecords(ReadFileBytes(RecordPath(kProvider)));
    }
    static std::string ProviderHandle() {
        const auto opens = Matching(Recorded(), {"Open"}, 0);
        return opens.empty() || opens[0].size() < 4 ? "" : opens[0][3];
    }
    bool LogHas(std::initializer_list<const char*> prefix) const {
        return !Matching(Log(), prefix, 1).empty();
    }

    uint64_t logStart_ = 0;
    bool providersKeyExisted_ = false;
    uint64_t startTime_ = 0, startedTime_ = 0;
    ULONGLONG startTicks_ = 0, startedTicks_ = 0;
    DWORD startMs_ = 0;
};

TEST_F(StandinService, runs_under_the_service_manager_and_times_provider_close) {
    ServiceInfo info;
    ASSERT_EQ(QueryStandin(&info), 0u);
    EXPECT_EQ(info.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(info.pid, 0u);
    EXPECT_TRUE(LogHas({"Service", "running"}));
    printf("start took %lu ms\n", static_cast<unsigned long>(startMs_));

    const uint64_t stopLog = LogSize();
    DWORD stopMs = 0;
    ASSERT_EQ(StopStandin(kServiceTimeoutMs, &stopMs), 0u);
    ASSERT_EQ(QueryStandin(&info), 0u);
    EXPECT_EQ(info.state, static_cast<DWORD>(SERVICE_STOPPED));
    printf("stop took %lu ms\n", static_cast<unsigned long>(stopMs));

    const auto closes = Matching(ReadLog(stopLog), {"Close", "BenchProv"}, 1);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0][3], "0x00000000");
    const double closeMs = std::stod(closes[0][4]);
    printf("TimeProvClose took %s ms\n", closes[0][4].c_str());
    EXPECT_GE(closeMs, kCloseDelayMs - 1.0);
    EXPECT_LT(closeMs, kCloseDelayMs + 2000.0);
    EXPECT_FALSE(Matching(ReadLog(stopLog), {"Service", "stopped"}, 1).empty());

    const auto recordedCloses = Matching(Recorded(), {"Close"}, 0);
    ASSERT_EQ(recordedCloses.size(), 1u);
    EXPECT_EQ(recordedCloses[0][1], ProviderHandle());
}

TEST_F(StandinService, opens_enabled_providers_by_name_with_full_callbacks_and_skips_disabled) {
    const auto opens = Matching(Recorded(), {"Open", "BenchProv"}, 0);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0][2], std::to_string(sizeof(TimeProvSysCallbacks)));
    EXPECT_NE(opens[0][3], "0x0");

    const std::string dll = Utf8(SystemFolder() + L"\\" + kProviderDll);
    EXPECT_TRUE(LogHas({"Provider", "BenchProv", "loaded", dll.c_str(), "input"}));
    EXPECT_TRUE(LogHas({"Open", "BenchProv", "0x00000000", opens[0][3].c_str()}));
    EXPECT_TRUE(LogHas({"Provider", "BenchProvOff", "skipped", "Enabled=0"}));
    EXPECT_EQ(GetFileAttributesW(RecordPath(kDisabledProvider).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StandinService, answers_time_info_from_the_scripted_state) {
    const auto open = InfoRounds(Recorded(), "open");
    ASSERT_EQ(open.size(), 1u);
    const InfoRound& first = open[0];
    ExpectInfo(first, "LastSyncTime", 8, std::to_string(kLastSync));
    ExpectInfo(first, "ClockTickSize", 8, "156250");
    ExpectInfo(first, "ClockPrecision", 4, "-7");
    ExpectInfo(first, "PhaseOffset", 8, "-777");
    ExpectInfo(first, "LeapFlags", 1, "1");
    ExpectInfo(first, "Stratum", 1, "3");
    ExpectInfo(first, "ReferenceIdentifier", 4, std::to_string(kRefId));
    ExpectInfo(first, "PollInterval", 4, "6");
    ExpectInfo(first, "RootDelay", 8, "1234");
    ExpectInfo(first, "RootDispersion", 8, "5678");
    ExpectInfo(first, "TSFlags", 4, "2");
    const uint64_t offset = static_cast<uint64_t>(kOffsetMs) * 10000;
    ExpectInfoWithin(first, "CurrentTime", startTime_ + offset, startedTime_ + offset);
    ExpectInfoWithin(first, "TickCount", startTicks_, startedTicks_);
    ASSERT_EQ(first.count("13"), 1u);
    EXPECT_EQ(first.at("13")[3], "0x80070057"); // E_INVALIDARG
    EXPECT_EQ(first.at("13")[4], "0");

    // Losing synchronization and moving the clock, as a script does it.
    ASSERT_EQ(RunTool({"unsync"}), 0);
    ASSERT_EQ(RunTool({"offset", "--ms", "-250"}), 0);
    uint64_t before = FileTimeNow() - 2500000;
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    std::vector<InfoRound> rounds;
    ASSERT_TRUE(WaitFor([&] {
        rounds = InfoRounds(Recorded(), "UpdateConfig");
        return rounds.size() == 1 && rounds[0].count("13") == 1;
    }));
    uint64_t after = FileTimeNow() - 2500000;
    ExpectInfo(rounds[0], "LastSyncTime", 8, "0");
    ExpectInfo(rounds[0], "Stratum", 1, "0");
    ExpectInfoWithin(rounds[0], "CurrentTime", before, after);

    ASSERT_EQ(RunTool({"sync", "--refid", "127.0.0.3", "--stratum", "2", "--flags", "1"}), 0);
    after = FileTimeNow() - 2500000;
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    ASSERT_TRUE(WaitFor([&] {
        rounds = InfoRounds(Recorded(), "UpdateConfig");
        return rounds.size() == 2 && rounds[1].count("13") == 1;
    }));
    ExpectInfoWithin(rounds[1], "LastSyncTime", before, after);
    ExpectInfo(rounds[1], "Stratum", 1, "2");
    ExpectInfo(rounds[1], "ReferenceIdentifier", 4, std::to_string(0x0300007Fu));
    ExpectInfo(rounds[1], "TSFlags", 4, "1");
}

TEST_F(StandinService, parameter_change_reaches_providers_as_update_config) {
    const std::string handle = ProviderHandle();
    EXPECT_TRUE(Matching(Recorded(), {"Command", handle.c_str(), "UpdateConfig"}, 0).empty());
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    ASSERT_TRUE(WaitFor([&] {
        return !Matching(Recorded(), {"Command", handle.c_str(), "UpdateConfig"}, 0).empty();
    }));
    ASSERT_TRUE(WaitFor([&] { return LogHas({"Command", "BenchProv", "UpdateConfig"}); }));
    EXPECT_EQ(Matching(Log(), {"Command", "BenchProv", "UpdateConfig"}, 1)[0][5], "0x00000000");
}

TEST_F(StandinService, jump_reaches_providers_as_time_jumped_with_its_flags) {
    const std::string handle = ProviderHandle();
    ASSERT_EQ(RunTool({"jump"}), 0);
    ASSERT_TRUE(WaitFor([&] {
        return !Matching(Recorded(), {"Command", handle.c_str(), "TimeJumped", "0"}, 0).empty();
    }));
    ASSERT_EQ(RunTool({"jump", "--user"}), 0);
    ASSERT_TRUE(WaitFor([&] {
        return !Matching(Recorded(), {"Command", handle.c_str(), "TimeJumped", "1"}, 0).empty();
    }));
    ASSERT_TRUE(WaitFor([&] {
        return LogHas({"Command", "BenchProv", "TimeJumped", "1", "0x00000000"});
    }));
    EXPECT_TRUE(LogHas({"Command", "BenchProv", "TimeJumped", "0", "0x00000000"}));
}

TEST_F(StandinService, logs_provider_events_and_status_and_frees_the_status_record) {
    const auto events = Matching(Log(), {"Event", "BenchProv"}, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0][3], "2");
    EXPECT_EQ(events[0][4], "BenchProv opened\r\n");
    EXPECT_TRUE(LogHas({"Status", "BenchProv", "0", "5", "-"}));

    // Freed with the results filled in: success and the service's own stratum.
    ASSERT_TRUE(WaitFor([&] { return !Matching(Recorded(), {"Freed"}, 0).empty(); }));
    EXPECT_EQ(Matching(Recorded(), {"Freed"}, 0)[0], (Record{"Freed", "0x0", "3"}));
    EXPECT_TRUE(LogHas({"StatusFreed", "BenchProv", "freed"}));
    EXPECT_EQ(Matching(Recorded(), {"Event"}, 0)[0], (Record{"Event", "0x0"}));
    EXPECT_EQ(Matching(Recorded(), {"Status"}, 0)[0], (Record{"Status", "0x0"}));
}

TEST_F(StandinService, collects_samples_after_alert_on_request_and_periodically) {
    EXPECT_TRUE(LogHas({"AlertSamplesAvail"}));
    ASSERT_TRUE(WaitFor([&] { return LogHas({"Sample", "BenchProv"}); }));
    const Record sample = Matching(Log(), {"Sample", "BenchProv"}, 1)[0];
    ASSERT_EQ(sample.size(), 16u);
    const Record expected = {"0", "568", "0x0900007F", "127.0.0.9", "-123456", "250000", "10000"};
    EXPECT_EQ(Record(sample.begin() + 3, sample.begin() + 10), expected);
    EXPECT_GT(ToUnsigned(sample[10]), 0u); // tick count, from TSI_TickCount
    EXPECT_EQ(Record(sample.begin() + 11, sample.end()),
              (Record{"-777", "0", "2", "0x2", "testprov:BenchProv"}));
    EXPECT_TRUE(LogHas({"Samples", "BenchProv", "0x00000000", "1", "1"}));
    const auto asks = Matching(Recorded(), {"Command", ProviderHandle().c_str(), "GetSamples"}, 0);
    ASSERT_FALSE(asks.empty());
    EXPECT_GE(ToUnsigned(asks[0][3]), sizeof(TimeSample));

    const auto rounds = [&] { return Matching(Log(), {"Samples", "BenchProv"}, 1).size(); };
    const size_t afterAlert = rounds();
    ASSERT_EQ(RunTool({"samples-now"}), 0);
    ASSERT_TRUE(WaitFor([&] { return rounds() == afterAlert + 1; }));

    // Periodic: three more rounds come with no request at all.
    ASSERT_EQ(RunTool({"set", "--samples-ms", "200"}), 0);
    ASSERT_TRUE(WaitFor([&] { return rounds() >= afterAlert + 4; }));
}

using SyncNowFunction = DWORD(WINAPI*)(LPCWSTR, ULONG, ULONG);

SyncNowFunction LoadSyncNow(UniqueLibrary* library) {
    library->reset(LoadLibraryW((SystemFolder() + L"\\w32time.dll").c_str()));
    if (!*library) {
        return nullptr;
    }
    return reinterpret_cast<SyncNowFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(library->get(), "W32TimeSyncNow")));
}

TEST_F(StandinService, sync_now_export_is_logged_and_can_synchronize_the_service) {
    UniqueLibrary library;
    const SyncNowFunction syncNow = LoadSyncNow(&library);
    ASSERT_NE(syncNow, nullptr);
    EXPECT_EQ(syncNow(nullptr, 0, 1), 0u);
    EXPECT_TRUE(LogHas({"SyncNow", "0", "0x1", "logged"}));

    ASSERT_EQ(RunTool({"on-syncnow", "--sync", "--refid", "127.0.0.5", "--stratum", "4"}), 0);
    const uint64_t offset = static_cast<uint64_t>(kOffsetMs) * 10000;
    const uint64_t before = FileTimeNow() + offset;
    EXPECT_EQ(syncNow(L"", 1, 0), 0u);
    const uint64_t after = FileTimeNow() + offset;
    EXPECT_TRUE(LogHas({"SyncNow", "1", "0x0", "synced", "127.0.0.5", "4"}));
    const SyncState state = LoadSyncState();
    EXPECT_GE(state.lastSyncTime, before);
    EXPECT_LE(state.lastSyncTime, after);
    EXPECT_EQ(state.refId, 0x0500007Fu);

    // And the service itself answers with the new partner.
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    std::vector<InfoRound> rounds;
    ASSERT_TRUE(WaitFor([&] {
        rounds = InfoRounds(Recorded(), "UpdateConfig");
        return rounds.size() == 1 && rounds[0].count("13") == 1;
    }));
    ExpectInfo(rounds[0], "Stratum", 1, "4");
    ExpectInfo(rounds[0], "ReferenceIdentifier", 4, std::to_string(0x0500007Fu));
}

TEST_F(StandinService, sync_now_export_fails_for_other_machines_refusals_and_a_stopped_service) {
    UniqueLibrary library;
    const SyncNowFunction syncNow = LoadSyncNow(&library);
    ASSERT_NE(syncNow, nullptr);
    EXPECT_EQ(syncNow(L"\\\\ELSEWHERE", 0, 1), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

    ASSERT_EQ(RunTool({"on-syncnow", "--refuse", "1115"}), 0);
    EXPECT_EQ(syncNow(nullptr, 0, 1), 1115u);
    ASSERT_EQ(RunTool({"on-syncnow", "--log-only"}), 0);
    EXPECT_EQ(syncNow(nullptr, 0, 1), 0u);
    EXPECT_EQ(Matching(Log(), {"SyncNow"}, 1).size(), 1u);

    ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
    EXPECT_EQ(syncNow(nullptr, 0, 1), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

} // namespace
} // namespace standin
