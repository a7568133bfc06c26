// The agent inside the stand-in Windows Time service when things go wrong around it: registry
// values of the wrong type or size, a history file held by another program, made read-only,
// deleted or torn by a killed service, the management port taken for good, sources that flood,
// answer late or never, a stop in the middle of a long walk of silent sources, and noise at the
// management port. Each case ends with the agent answering (or stopped where it must stop) and
// the history file still loading.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "history/drift_view_win.h"
#include "responder/responder_test_util_win.h"
#include "responder/responder_win.h"
#include "responder/status_records.h"
#include "responder/status_records_win.h"

using namespace standin;

namespace {

const char kNtpClientKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
const char kW32TimeParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
const char kAgentParameters[] = ""; // the product's own Parameters key
constexpr DWORD kServiceTimeoutMs = kPatienceMs;
constexpr uint32_t kTestInstallationId = 0x5EED4321;
const std::string kAckAnswer("ACK", 4);

std::string FakeServer(const char* name) {
    const char* value = std::getenv((std::string("FAKE_NTP_") + name).c_str());
    return value != nullptr ? value : "";
}

uint32_t Dotted(const char* text) {
    uint32_t value = 0;
    ParseDottedQuad(text, &value);
    return value;
}

// Size in bytes of a value under HKEY_LOCAL_MACHINE; 0 when it is missing.
DWORD ValueSize(const char* key, const char* name) {
    UniqueKey handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key + 2, 0, KEY_QUERY_VALUE, handle.put()) != 0) {
        return 0;
    }
    DWORD size = 0;
    return RegQueryValueExA(handle.get(), name, nullptr, nullptr, nullptr, &size) == 0 ? size : 0;
}

std::string HistoryBytes() {
    return ReadFileBytes(Wide(TestDriftFilePath()));
}

// The history file as the applet loads it.
struct LoadedHistory {
    bool ok = false;
    DWORD error = 0;
    std::vector<DriftRecord> records;
};

LoadedHistory LoadHistory() {
    DriftView view;
    std::snprintf(view.path, sizeof(view.path), "%s", TestDriftFilePath().c_str());
    LoadedHistory loaded;
    loaded.ok = LoadDriftFile(view, nullptr);
    loaded.error = view.lastError;
    if (loaded.ok) {
        loaded.records.assign(view.records.get(), view.records.get() + view.count);
    }
    return loaded;
}

// Until the history holds more than `bytes` bytes.
bool HistoryGrowsPast(size_t bytes) {
    return WaitFor([&] { return TestDriftFileSize() > bytes; }, kPatienceMs);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

void ScriptSync(const char* partner, uint32_t stratum) {
    ASSERT_EQ(ScriptSynchronization(partner, stratum), ERROR_SUCCESS);
}

void Synchronize(const char* partner, uint32_t stratum) {
    ScriptSync(partner, stratum);
    ASSERT_EQ(ControlStandin(kControlReloadState), 0u);
}

bool Answers() {
    return QxClient().Ask(0) == kAckAnswer;
}

class AgentFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    static void TearDownTestSuite() { WSACleanup(); }
    void SetUp() override {
        ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        DeleteSyncState();
        SyncState state;
        state.samplesIntervalMs = 0;
        ASSERT_EQ(SaveSyncState(state), ERROR_SUCCESS);
        ASSERT_EQ(PlaceFile(WindowsPath(KESTREL_PATH), SystemFolder() + L"\\kestrel.cpl"), 0u);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentTestKey + 2);
        ClearValues();
        WriteString(kAgentTestKey, "DllName", "kestrel.cpl");
        WriteNumber(kAgentTestKey, "Enabled", 1);
        WriteNumber(kAgentTestKey, "InputProvider", 1);
        WriteBoolean(kAgentTestKey, "DNS Lookups Enabled", false);
        WriteNumber(kAgentTestKey, "SpecialPollInterval", 0);
        WriteNumber(kNtpClientKey, "Enabled", 1);
        WriteNumber(kNtpClientKey, "InputProvider", 1);
        // A known identifier: no start asks the network whether it is taken.
        WriteNumber(kInstallationIdKey, kInstallationIdValue, kTestInstallationId);
        RemoveHistory();
    }
    void TearDown() override {
        EXPECT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        EXPECT_EQ(RemoveFile(SystemFolder() + L"\\kestrel.cpl"), 0u);
        RemoveHistory();
    }
    static void ClearValues() {
        DeleteValue(kW32TimeParameters, "NTPServer");
        DeleteValue(kW32TimeParameters, "Prohibited QX2 Commands");
        DeleteValue(kAgentParameters, "Server Answer IP");
        DeleteValue(kAgentParameters, "Broadcast Addresses");
        DeleteValue(kAgentParameters, kReplyRateLimitValue);
    }
    static void RemoveHistory() {
        SetFileAttributesA(TestDriftFilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteTestDriftFile();
    }

    void Start() {
        logStart_ = LogSize();
        ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
    }
    // Stops the service and returns how long TimeProvClose took, in milliseconds (-1: not seen).
    double Stop() {
        const uint64_t from = LogSize();
        EXPECT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        double closeMs = -1;
        for (const Record& record : ReadLog(from)) {
            if (record.size() >= 5 && record[1] == "Close" && record[2] == "Horologix") {
                closeMs = std::stod(record[4]);
            }
        }
        EXPECT_EQ(AgentText("Service Running"), "False");
        return closeMs;
    }
    // Log records of one kind written since the last start (or since `from`).
    std::vector<Record> Logged(const char* kind, uint64_t from = UINT64_MAX) const {
        std::vector<Record> found;
        for (Record& record : ReadLog(from == UINT64_MAX ? logStart_ : from)) {
            if (record.size() >= 2 && record[1] == kind) {
                found.push_back(std::move(record));
            }
        }
        return found;
    }
    // The agent's event-log messages of a type that begin with prefix.
    int Events(WORD type, const std::string& prefix, uint64_t from = UINT64_MAX) const {
        int count = 0;
        for (const Record& record : Logged("Event", from)) {
            if (record.size() >= 5 && record[2] == "Horologix" &&
                record[3] == std::to_string(type) && StartsWith(record[4], prefix)) {
                ++count;
            }
        }
        return count;
    }
    // Names of the sources of the samples the service collected: one per completed check.
    std::vector<std::string> SampleSources(uint64_t from = UINT64_MAX) const {
        std::vector<std::string> names;
        for (const Record& record : Logged("Sample", from)) {
            if (record.size() >= 16 && record[2] == "Horologix") {
                names.push_back(record[15]);
            }
        }
        return names;
    }
    bool ChecksContinue(size_t more) const {
        const uint64_t from = LogSize();
        return WaitFor([&] { return SampleSources(from).size() >= more; }, kPatienceMs);
    }
    // Until the service has collected `count` samples since the last start (a check writes its
    // record before it offers the sample).
    bool SamplesCollected(size_t count) const {
        return WaitFor([&] { return SampleSources().size() >= count; }, kPatienceMs);
    }
    // Until `count` checks since the last start have offered their samples, their last step
    // (the service collects alerts that come close together in one round).
    bool SamplesOffered(size_t count) const {
        return WaitFor([&] { return Logged("AlertSamplesAvail").size() >= count; }, kPatienceMs);
    }
    // Whether the agent has taken up a parameter change since the log offset: the stand-in logs
    // the command once the agent's TPC_UpdateConfig has returned.
    bool ConfigUpdated(uint64_t from) const {
        for (const Record& record : Logged("Command", from)) {
            if (record.size() >= 4 && record[2] == "Horologix" && record[3] == "UpdateConfig") {
                return true;
            }
        }
        return false;
    }

    uint64_t logStart_ = 0;
    // Put back as they were after each test (the stand-in is stopped by then).
    SavedRegistryKeys saved_{kAgentProviderKey,          kNtpClientProviderKey,
                             kW32TimeParametersKey,      kProductParametersKey,
                             kInstallationIdRegistryKey, kStandinStateKey};
};

// A check every second against chronyd, the agent's reference clock.
void CheckEverySecond() {
    WriteString(kAgentTestKey, "Reference Clock", "127.0.0.1");
    WriteNumber(kAgentTestKey, "SpecialPollInterval", 1);
}

// A second registration of the stand-in's program, for the service a test kills: Wine's service
// manager never notices that a service process was killed, so W32Time itself would stay
// "running" without a process for the rest of the session. The stand-in hosts the same
// providers and writes the same log under any service name.
class CrashHost {
public:
    CrashHost() : name_(L"HorologixCrashHost" + std::to_wstring(GetCurrentProcessId())) {}
    CrashHost(const CrashHost&) = delete;
    CrashHost& operator=(const CrashHost&) = delete;
    ~CrashHost() {
        if (!service_) {
            return;
        }
        // Left running by a test that failed before its kill: stopped, so that no second agent
        // outlives the test.
        if (Status().dwCurrentState == SERVICE_RUNNING && Control(SERVICE_CONTROL_STOP) == 0) {
            WaitFor([this] { return Status().dwCurrentState == SERVICE_STOPPED; },
                    kServiceTimeoutMs);
        }
        DeleteService(service_.get());
    }
    DWORD Start() {
        ServiceInfo standin;
        DWORD error = QueryStandin(&standin);
        if (error != 0) {
            return error;
        }
        UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) {
            return GetLastError();
        }
        service_.reset(CreateServiceW(
            manager.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
            standin.binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!service_) {
            return GetLastError();
        }
        if (!StartServiceW(service_.get(), 0, nullptr)) {
            return GetLastError();
        }
        return WaitFor([this] { return Status().dwCurrentState == SERVICE_RUNNING; },
                       kServiceTimeoutMs)
                   ? 0
                   : ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    DWORD Control(DWORD code) {
        SERVICE_STATUS status{};
        return ControlService(service_.get(), code, &status) ? 0 : GetLastError();
    }
    // Ends the service's process by its identifier, as a crash would.
    DWORD Kill() {
        const DWORD pid = Status().dwProcessId;
        UniqueKernelHandle process(
            pid != 0 ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid) : nullptr);
        if (!process) {
            return pid != 0 ? GetLastError() : ERROR_SERVICE_NOT_ACTIVE;
        }
        if (!TerminateProcess(process.get(), 9)) {
            return GetLastError();
        }
        return WaitForSingleObject(process.get(), kPatienceMs);
    }

private:
    SERVICE_STATUS_PROCESS Status() {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
        return status;
    }

    std::wstring name_;
    UniqueService service_;
};

} // namespace

TEST_F(AgentFaults, settings_of_the_wrong_type_or_size_fall_back_to_their_defaults) {
    const std::string ahead = FakeServer("AHEAD5");
    ASSERT_FALSE(ahead.empty()) << "run under with-fake-ntp";
    Start();
    ASSERT_EQ(AgentText("Service Running"), "True");
    // The start-up check has no source and says so. Once it has, the ring written below cannot
    // become its source: on a loaded machine the check may otherwise start after that write.
    ASSERT_TRUE(WaitFor(
        [&] {
            return Events(EVENTLOG_WARNING_TYPE, "Unable to verify the system clock time") == 1;
        },
        kPatienceMs));

    // "Enabled" as text; the server list as 64 KB of binary data without a terminating zero; a
    // reference clock too long for its field that, cut short, would name a source five seconds
    // off; a ring of sources cut to 100 bytes.
    WriteString(kAgentTestKey, "Enabled", "1");
    std::string list;
    while (list.size() < 65536) {
        list += "127.0.0.1,";
    }
    list.resize(65536);
    ASSERT_TRUE(WriteBinary(kW32TimeParameters, "NTPServer", list.data(), 65536));
    std::string reference = ahead;
    reference.resize(300, ' ');
    WriteString(kAgentTestKey, "Reference Clock", reference.c_str());
    std::vector<uint8_t> ring(100);
    for (size_t at = 0; at + 8 <= ring.size(); at += 8) {
        const uint32_t entry[2] = {Dotted("127.0.0.1"), static_cast<uint32_t>(time(nullptr))};
        std::memcpy(&ring[at], entry, 8);
    }
    WriteBinary(kAgentTestKey, "Last Used Time Source", ring.data(), 100);
    const uint64_t changed = LogSize();
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    ASSERT_TRUE(WaitFor([&] { return ConfigUpdated(changed); }, kPatienceMs));

    // The next synchronization runs a check: its sources come from the short ring and the list.
    Synchronize("127.0.0.1", 3);
    ASSERT_TRUE(HistoryGrowsPast(0));
    EXPECT_EQ(ValueSize(kAgentTestKey, "Last Used Time Source"), 512u);
    uint8_t stored[512];
    ASSERT_TRUE(ReadBinary(kAgentTestKey, "Last Used Time Source", stored, sizeof(stored)));
    EXPECT_EQ(std::memcmp(stored, ring.data() + 8, 92), 0); // the old entries moved up by one
    EXPECT_EQ(FormatDottedQuad(*reinterpret_cast<const uint32_t*>(stored + 504)), "127.0.0.1");

    // A ring of 2,000 bytes cannot be read: the next partner starts a fresh one.
    ring.assign(2000, 0);
    for (size_t at = 0; at < ring.size(); at += 8) {
        const uint32_t entry[2] = {Dotted("127.0.0.1"), static_cast<uint32_t>(time(nullptr))};
        std::memcpy(&ring[at], entry, 8);
    }
    WriteBinary(kAgentTestKey, "Last Used Time Source", ring.data(), 2000);
    Synchronize("127.0.0.9", 4); // nobody answers there: the check goes on to the list
    ASSERT_TRUE(HistoryGrowsPast(kDriftRecordSize));
    ASSERT_TRUE(ReadBinary(kAgentTestKey, "Last Used Time Source", stored, sizeof(stored)));
    EXPECT_EQ(FormatDottedQuad(*reinterpret_cast<const uint32_t*>(stored + 504)), "127.0.0.9");
    EXPECT_EQ(std::count(stored, stored + 504, 0), 504);

    const LoadedHistory history = LoadHistory();
    ASSERT_TRUE(history.ok) << history.error;
    ASSERT_EQ(history.records.size(), 2u);
    for (const DriftRecord& record : history.records) {
        EXPECT_EQ(FormatDottedQuad(record.sourceAddress), "127.0.0.1");
        EXPECT_LT(std::abs(record.varianceMs), 100);
    }
    EXPECT_TRUE(SamplesCollected(2));
    EXPECT_EQ(SampleSources(), (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(Events(EVENTLOG_ERROR_TYPE, ""), 0);
    EXPECT_TRUE(Answers());
    EXPECT_EQ(AgentText("Service Running"), "True");
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, responder_values_of_the_wrong_size_or_form_leave_it_answering) {
    // Read at start: a filter one byte too long (all zeros: it would open every code), an answer
    // address that is no address, and a broadcast list whose last text has no terminator, for
    // the identifier question of a machine that has no identifier yet.
    const std::vector<uint8_t> filter(257, 0);
    WriteBinary(kW32TimeParameters, "Prohibited QX2 Commands", filter.data(), 257);
    WriteString(kAgentParameters, "Server Answer IP", "256.1.2.3");
    const char list[] = "127.0.0.1\0"
                        "127.0.0.3";
    WriteValue(kAgentParameters, "Broadcast Addresses", kRegMultiString, list, sizeof(list) - 1);
    DeleteValue(kInstallationIdKey, kInstallationIdValue);

    // Hears the question on the management port, then leaves the port at once to the responder,
    // which binds it after the question's half-second wait (and tries for 1.5 s more).
    auto listener = std::make_unique<PortListener>(nullptr, 2);
    ASSERT_TRUE(listener->ok());
    logStart_ = LogSize();
    DWORD started = ERROR_SERVICE_NOT_ACTIVE;
    std::thread start([&started] { started = StartStandin(kServiceTimeoutMs); });
    WaitFor([&] { return listener->Received().size() >= 2; }, kPatienceMs);
    const std::vector<ReceivedQuestion> questions = listener->Received();
    listener.reset();
    start.join();
    ASSERT_EQ(started, 0u);
    ASSERT_TRUE(WaitFor([] { return AgentText("Service Running") == "True"; }, kPatienceMs));

    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].destination, "127.0.0.1");
    EXPECT_EQ(questions[1].destination, "127.0.0.3");
    EXPECT_NE(ReadNumber(kInstallationIdKey, kInstallationIdValue, 0), 0u);

    QxClient client;
    EXPECT_EQ(client.Ask(0), kAckAnswer);
    EXPECT_EQ(client.Ask(200).value_or("").size(), kStatusRecordSize);
    EXPECT_TRUE(client.ExpectDropped(160)); // the default filter holds
    EXPECT_EQ(Events(EVENTLOG_ERROR_TYPE, ""), 0);
    EXPECT_TRUE(LoadHistory().ok);
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, a_management_port_taken_for_good_leaves_the_agent_running_inactive) {
    CheckEverySecond();
    UniqueSocket holder(BindUdp(INADDR_ANY, ManagementPort()));
    ASSERT_TRUE(holder);
    Start();
    EXPECT_EQ(AgentText("Service Running"), "True");
    const auto errors = Logged("Event");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0][3], "1");
    EXPECT_TRUE(StartsWith(errors[0][4], "Could not create listen socket; Error 10048: "))
        << errors[0][4];
    // The ping reaches the holder, not the agent.
    EXPECT_FALSE(QxClient().Ask(0, 0, 500).has_value());

    // Inactive, it still follows the service but runs no checks and keeps no history.
    Synchronize("127.0.0.1", 3);
    EXPECT_TRUE(
        WaitFor([] { return AgentText("Current Inbound Time Partner") == "127.0.0.1 (no name)"; },
                kPatienceMs));
    // Polls that could retry the bind, or check, come and go.
    EXPECT_TRUE(StaysTrueFor(
        [&] {
            return SampleSources().empty() && TestDriftFileSize() == 0 &&
                   Logged("Event").size() == 1;
        },
        3000));
    EXPECT_TRUE(SampleSources().empty());
    EXPECT_EQ(TestDriftFileSize(), 0u);
    EXPECT_TRUE(LoadHistory().ok);
    EXPECT_EQ(Logged("Event").size(), 1u);
    EXPECT_LT(Stop(), 2000.0);
    EXPECT_EQ(AgentText("Current Inbound Time Partner"), "Unknown - Agent stopped");
}

TEST_F(AgentFaults, a_history_file_held_by_another_program_at_start_is_taken_up_once_free) {
    CheckEverySecond();
    Start();
    ASSERT_TRUE(HistoryGrowsPast(2 * kDriftRecordSize));
    Stop();
    const std::string before = HistoryBytes();

    UniqueFile holder(CreateFileA(TestDriftFilePath().c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    Start();
    char folder[MAX_PATH];
    GetSystemDirectoryA(folder, MAX_PATH);
    EXPECT_EQ(Events(EVENTLOG_WARNING_TYPE, std::string("Unable to open ") + folder +
                                                "\\drift.qx to collect drift records; "),
              1);
    EXPECT_TRUE(ChecksContinue(2));
    EXPECT_TRUE(Answers());
    EXPECT_EQ(TestDriftFileSize(), before.size());

    holder.reset();
    ASSERT_TRUE(HistoryGrowsPast(before.size()));
    EXPECT_TRUE(StartsWith(HistoryBytes(), before));
    const LoadedHistory history = LoadHistory();
    EXPECT_TRUE(history.ok) << history.error;
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, a_read_only_history_file_keeps_its_records_and_grows_again_once_writable) {
    CheckEverySecond();
    Start();
    ASSERT_TRUE(HistoryGrowsPast(kDriftRecordSize));
    // Made read-only while in use: the agent's handle keeps writing.
    ASSERT_TRUE(SetFileAttributesA(TestDriftFilePath().c_str(), FILE_ATTRIBUTE_READONLY));
    const size_t marked = TestDriftFileSize();
    EXPECT_TRUE(HistoryGrowsPast(marked + kDriftRecordSize));
    Stop();
    const std::string before = HistoryBytes();

    // Read-only at start. Windows refuses the agent write access: it warns and checks on without
    // history (as with a file held by another program, below). Wine lets its root user write.
    // Either way nothing is lost, and the history grows once the attribute is gone.
    Start();
    EXPECT_TRUE(ChecksContinue(2));
    EXPECT_TRUE(Answers());
    EXPECT_TRUE(StartsWith(HistoryBytes(), before));
    ASSERT_TRUE(SetFileAttributesA(TestDriftFilePath().c_str(), FILE_ATTRIBUTE_NORMAL));
    const size_t writable = TestDriftFileSize();
    ASSERT_TRUE(HistoryGrowsPast(writable));
    EXPECT_TRUE(StartsWith(HistoryBytes(), before));
    EXPECT_TRUE(LoadHistory().ok);
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, a_history_file_in_use_cannot_be_deleted_and_keeps_growing) {
    CheckEverySecond();
    Start();
    ASSERT_TRUE(HistoryGrowsPast(kDriftRecordSize));
    const std::string before = HistoryBytes();
    EXPECT_FALSE(DeleteFileA(TestDriftFilePath().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(HistoryGrowsPast(before.size() + kDriftRecordSize));
    EXPECT_TRUE(StartsWith(HistoryBytes(), before));
    EXPECT_TRUE(LoadHistory().ok);
    EXPECT_TRUE(Answers());
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, a_service_killed_during_a_burst_of_checks_loses_at_most_the_torn_record) {
    CheckEverySecond();
    const unsigned seed = std::random_device{}();
    printf("seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    CrashHost host;
    logStart_ = LogSize();
    ASSERT_EQ(host.Start(), 0u);
    ASSERT_TRUE(HistoryGrowsPast(0));
    // Each new partner adds a check to the scheduled one a second. The burst lasts its random
    // time, and on until the history holds two whole records however slow the machine.
    const DWORD burstMs = 2000 + random() % 3000;
    const ULONGLONG burstStart = GetTickCount64();
    for (int n = 0; GetTickCount64() < burstStart + burstMs ||
                    (TestDriftFileSize() < 2 * kDriftRecordSize &&
                     GetTickCount64() < burstStart + burstMs + kPatienceMs);
         ++n) {
        ScriptSync(n % 2 == 0 ? "127.0.0.1" : "127.0.0.9", 3);
        ASSERT_EQ(host.Control(kControlReloadState), 0u);
        Sleep(150);
    }
    ASSERT_EQ(host.Kill(), WAIT_OBJECT_0);

    std::string killed = HistoryBytes();
    const size_t whole = killed.size() / kDriftRecordSize * kDriftRecordSize;
    printf("%zu records after a burst of %lu ms, %zu bytes torn\n", whole / kDriftRecordSize,
           static_cast<unsigned long>(burstMs), killed.size() - whole);
    ASSERT_GE(whole, 2 * kDriftRecordSize);
    if (killed.size() == whole) {
        // The kill fell between two appends: tear the tail the way a write cut short would.
        UniqueFile file(CreateFileA(TestDriftFilePath().c_str(), FILE_APPEND_DATA, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), killed.data(), 9, &written, nullptr));
        file.reset();
        killed = HistoryBytes();
    }
    const LoadedHistory torn = LoadHistory();
    EXPECT_FALSE(torn.ok);
    EXPECT_EQ(torn.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // The first append after the restart drops the torn part and nothing else. Only the
    // start-up check runs now: no schedule, no synchronization to follow.
    WriteNumber(kAgentTestKey, "SpecialPollInterval", 0);
    SyncState unsynced;
    unsynced.samplesIntervalMs = 0;
    ASSERT_EQ(SaveSyncState(unsynced), ERROR_SUCCESS);
    Start();
    ASSERT_TRUE(
        WaitFor([&] { return TestDriftFileSize() == whole + kDriftRecordSize; }, kPatienceMs));
    EXPECT_EQ(HistoryBytes().substr(0, whole), killed.substr(0, whole));
    const LoadedHistory history = LoadHistory();
    ASSERT_TRUE(history.ok) << history.error;
    EXPECT_EQ(history.records.size(), whole / kDriftRecordSize + 1);
    EXPECT_EQ(history.records.back().reason, kReasonStartup);
    EXPECT_TRUE(Answers());
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, sources_that_flood_answer_late_or_never_fail_the_check_with_a_warning) {
    const std::string flood = FakeServer("FLOOD");
    const std::string late = FakeServer("LATE");
    const std::string silent = FakeServer("SILENT");
    ASSERT_FALSE(flood.empty() || late.empty() || silent.empty()) << "run under with-fake-ntp";
    const std::string bad = flood + " " + late + " " + silent;
    WriteString(kW32TimeParameters, "NTPServer", bad.c_str());
    Start();
    // Three sources of two seconds each.
    EXPECT_TRUE(WaitFor(
        [&] {
            return Events(EVENTLOG_WARNING_TYPE,
                          "Unable to verify the system clock time; all specified or "
                          "auto-discovered time sources failed.\r\n") == 1;
        },
        kPatienceMs));
    EXPECT_TRUE(Answers());
    EXPECT_EQ(TestDriftFileSize(), 0u);

    // Behind them, chronyd: the scheduled checks walk past the three and verify the clock.
    const uint64_t from = LogSize();
    WriteString(kW32TimeParameters, "NTPServer", (bad + " 127.0.0.1").c_str());
    WriteNumber(kAgentTestKey, "SpecialPollInterval", 1);
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    ASSERT_TRUE(HistoryGrowsPast(0));
    // The check's sample follows its record; each later walk takes six seconds at least.
    EXPECT_TRUE(WaitFor([&] { return !SampleSources(from).empty(); }, kPatienceMs));
    EXPECT_EQ(SampleSources(from), std::vector<std::string>{"127.0.0.1"});
    const LoadedHistory history = LoadHistory();
    ASSERT_TRUE(history.ok) << history.error;
    EXPECT_EQ(FormatDottedQuad(history.records[0].sourceAddress), "127.0.0.1");
    EXPECT_LT(std::abs(history.records[0].varianceMs), 100);
    EXPECT_EQ(Events(EVENTLOG_ERROR_TYPE, ""), 0);
    EXPECT_TRUE(Answers());
    // Probably in the middle of the next walk now.
    EXPECT_LT(Stop(), 2000.0);
}

TEST_F(AgentFaults, a_stop_during_a_walk_of_71_silent_sources_returns_within_seconds) {
    const std::string silent = FakeServer("SILENT");
    ASSERT_FALSE(silent.empty()) << "run under with-fake-ntp";
    // The most a check asks: a reference clock, 64 recent partners and six servers, none of
    // which answers (nothing listens on the partners' NTP port).
    WriteString(kAgentTestKey, "Reference Clock", silent.c_str());
    std::string servers;
    for (int i = 0; i < 6; ++i) {
        servers += silent + " ";
    }
    WriteString(kW32TimeParameters, "NTPServer", servers.c_str());
    uint8_t ring[512];
    for (uint32_t i = 0; i < 64; ++i) {
        const uint32_t entry[2] = {Dotted(("127.0.0." + std::to_string(10 + i)).c_str()),
                                   static_cast<uint32_t>(time(nullptr)) - 64 + i};
        std::memcpy(ring + 8 * i, entry, 8);
    }
    double longest = 0;
    for (const DWORD waitMs : {300u, 2100u, 4900u}) {
        WriteBinary(kAgentTestKey, "Last Used Time Source", ring, sizeof(ring));
        Start();
        Sleep(waitMs);
        EXPECT_TRUE(Logged("Event").empty()); // still walking: nothing to warn about yet
        const double closeMs = Stop();
        printf("TimeProvClose %lu ms into the walk took %.1f ms\n",
               static_cast<unsigned long>(waitMs), closeMs);
        EXPECT_GE(closeMs, 0.0);
        EXPECT_LT(closeMs, 3000.0);
        longest = std::max(longest, closeMs);
        // A stopped walk warns about nothing.
        EXPECT_TRUE(Logged("Event").empty());
    }
    printf("longest TimeProvClose: %.1f ms\n", longest);
    EXPECT_EQ(TestDriftFileSize(), 0u);
    EXPECT_TRUE(LoadHistory().ok);
}

TEST_F(AgentFaults, thousands_of_random_datagrams_change_nothing_but_the_counters) {
    // Limited, the probes that pace the noise would soon exceed one address's allowance.
    WriteNumber(kAgentParameters, kReplyRateLimitValue, 0);
    WriteString(kAgentTestKey, "Reference Clock", "127.0.0.1");
    Start();
    Synchronize("127.0.0.1", 3);
    // The start-up check and the synchronization's: done once both offered their samples.
    ASSERT_TRUE(SamplesOffered(2));
    const std::string history = HistoryBytes();
    uint8_t ring[512];
    ASSERT_TRUE(ReadBinary(kAgentTestKey, "Last Used Time Source", ring, sizeof(ring)));
    QxClient client;
    const auto before = client.Ask(128);
    ASSERT_EQ(before.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus first;
    DecodeAgentStatusBlock(reinterpret_cast<const uint8_t*>(before->data()), &first);
    const uint64_t from = LogSize();

    const unsigned seed = std::random_device{}();
    printf("seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int oversized = 0;
    for (int i = 0; i < 5000; ++i) {
        std::string datagram(random() % 601, '\0');
        for (char& c : datagram) {
            c = static_cast<char>(random());
        }
        // Demand syncs, the statistics reset and the identifier probe below are requests with
        // effects of their own, not noise.
        if (datagram.size() > 4) {
            const uint8_t code = static_cast<uint8_t>(datagram[4]);
            if (code == 3 || code == 129 || code == 201 || code == 204) {
                datagram[4] = 0;
            }
        }
        oversized += datagram.size() > kMaxRequestSize ? 1 : 0;
        client.SendRawNoWait(datagram);
        // A short receive queue: the system drops nothing of it.
        if (i % 10 == 9 || datagram.size() > kMaxRequestSize) {
            ASSERT_TRUE(client.Sync(201, kTestInstallationId, kStatusRecordSize)) << i;
        }
    }
    ASSERT_TRUE(client.Sync(201, kTestInstallationId, kStatusRecordSize));
    Sleep(200);
    client.Drain();

    const auto after = client.Ask(128);
    ASSERT_EQ(after.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus last;
    DecodeAgentStatusBlock(reinterpret_cast<const uint8_t*>(after->data()), &last);
    EXPECT_EQ(last.role, first.role);
    EXPECT_EQ(last.agentStartTime, first.agentStartTime);
    EXPECT_EQ(last.statisticsResetTime, first.statisticsResetTime);
    EXPECT_EQ(last.lastSyncTime, first.lastSyncTime);
    EXPECT_EQ(last.lastOffsetMs, first.lastOffsetMs);
    EXPECT_EQ(last.offsetSumMs, first.offsetSumMs);
    EXPECT_EQ(last.syncEvents, first.syncEvents);
    EXPECT_STREQ(last.partnerName, first.partnerName);
    EXPECT_STREQ(last.versionText, first.versionText);
    EXPECT_EQ(last.statusFlags, first.statusFlags);
    EXPECT_EQ(last.protocol, first.protocol);
    EXPECT_GT(last.bytesReceived, first.bytesReceived);
    EXPECT_GT(last.repliesSent[0], first.repliesSent[0]);
    EXPECT_EQ(last.receiveErrors[0] - first.receiveErrors[0], static_cast<uint64_t>(oversized));
    printf("%llu replies, %d datagrams over 512 bytes\n",
           static_cast<unsigned long long>(last.repliesSent[0] - first.repliesSent[0]), oversized);
    // Nothing reached the service, the log, the ring or the history.
    EXPECT_TRUE(Logged("SyncNow", from).empty());
    EXPECT_TRUE(Logged("Event", from).empty());
    uint8_t ringAfter[512];
    ASSERT_TRUE(ReadBinary(kAgentTestKey, "Last Used Time Source", ringAfter, sizeof(ringAfter)));
    EXPECT_EQ(std::memcmp(ring, ringAfter, sizeof(ring)), 0);
    EXPECT_EQ(HistoryBytes(), history);
    EXPECT_TRUE(LoadHistory().ok);
    EXPECT_EQ(client.Ask(0), kAckAnswer);
    EXPECT_EQ(AgentText("Service Running"), "True");
    EXPECT_LT(Stop(), 2000.0);
}
