// The sync check in an agent running in this process with a fake service, against chronyd and
// the bench's fake NTP servers: records, samples, alerts and the "unable to verify" warnings.
#include "agent/agent_state_win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "bench/fake_service/fake_service_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "common/shared_blocks.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "history/drift_record.h"
#include "responder/status_records_win.h"

namespace {

const char kNtpClientKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
const char kW32TimeParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";

std::string FakeServer(const char* name) {
    const char* value = std::getenv((std::string("FAKE_NTP_") + name).c_str());
    return value != nullptr ? value : "";
}

std::vector<DriftRecord> DriftRecords() {
    char path[MAX_PATH];
    GetSystemDirectoryA(path, MAX_PATH - 10);
    lstrcatA(path, "\\drift.qx");
    std::vector<DriftRecord> records;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return records;
    }
    uint8_t bytes[kDriftRecordSize];
    DWORD read = 0;
    while (ReadFile(file, bytes, sizeof(bytes), &read, nullptr) && read == sizeof(bytes)) {
        DriftRecord record;
        DecodeDriftRecord(bytes, &record);
        records.push_back(record);
    }
    CloseHandle(file);
    return records;
}

using fake_service::Events;

bool EventStartingWith(WORD type, const std::wstring& prefix) {
    return fake_service::EventsStartingWith(prefix, type) > 0;
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Whether the agent has marked "an NTP request is about to be sent" in its activity block.
bool NtpRequestMarked() {
    UniqueMapping mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\quorvex-activity"));
    if (!mapping) {
        mapping.reset(OpenFileMappingA(FILE_MAP_READ, FALSE, kActivityMappingName));
    }
    UniqueView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, kActivityBlockSize)
                            : nullptr);
    return view && static_cast<const volatile LONG*>(view.get())[kActivityNtpRequest] != 0;
}

class SyncCheck : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentTestKey + 2);
        DeleteTestDriftFile();
        fake_service::Reset();
        // A known identifier: no start asks the network whether it is taken.
        WriteNumber(kInstallationIdKey, kInstallationIdValue, 0x5EEDDEF0);
        // The sources are the test's: none left behind in the prefix by an earlier run.
        DeleteValue(kW32TimeParameters, "NTPServer");
        WriteNumber(kNtpClientKey, "Enabled", 1);
        WriteNumber(kNtpClientKey, "InputProvider", 1);
        WriteNumber(kAgentTestKey, "InputProvider", 1);
        WriteBoolean(kAgentTestKey, "DNS Lookups Enabled", false);
        // No scheduled check during a test: only the start-up check runs.
        WriteNumber(kAgentTestKey, "SpecialPollInterval", 0);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            TimeProvClose(handle_);
        }
        DeleteTestDriftFile();
    }
    void Start() {
        HRESULT result = E_FAIL;
        handle_ = fake_service::OpenAgent(&result);
        ASSERT_EQ(result, S_OK);
        ASSERT_NE(handle_, nullptr);
    }
    // The start-up check has run once it left a record or a message.
    bool WaitForCheck() {
        return WaitFor([] { return !DriftRecords().empty() || !Events().empty(); }, kPatienceMs);
    }

    TimeProvHandle handle_ = nullptr;
    // Put back as they were after each test.
    SavedRegistryKeys saved_{kAgentProviderKey, kNtpClientProviderKey, kW32TimeParametersKey,
                             kInstallationIdRegistryKey};
};

} // namespace

TEST_F(SyncCheck, a_reachable_reference_clock_is_recorded_and_offered_as_a_sample) {
    WriteString(kAgentTestKey, "Reference Clock", "localhost");
    Start();
    // The check records, then offers the sample and tells the service: done once told.
    ASSERT_TRUE(WaitFor([] { return fake_service::SampleAlerts() >= 1; }, kPatienceMs));
    const auto records = DriftRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].marker, 41);
    EXPECT_EQ(records[0].reason, kReasonStartup);
    EXPECT_FALSE(IsCorrected(records[0]));
    EXPECT_EQ(records[0].flags, 0x0E); // role 7 above the corrected bit, which is clear
    EXPECT_LE(std::abs(records[0].varianceMs), 50);
    EXPECT_TRUE(Events().empty());

    // A named source: the sample's reference identifier has all bits set.
    TimeSample sample{};
    TpcGetSamplesArgs args{reinterpret_cast<BYTE*>(&sample), sizeof(sample), 0, 0};
    ASSERT_EQ(TimeProvCommand(handle_, TPC_GetSamples, &args), S_OK);
    ASSERT_EQ(args.dwSamplesReturned, 1u);
    EXPECT_EQ(sample.dwSize, 568u);
    EXPECT_EQ(sample.dwRefid, 0xFFFFFFFFu);
    EXPECT_EQ(std::wstring(sample.wszUniqueName), L"localhost");
    EXPECT_EQ(sample.nStratum, 2);
    EXPECT_EQ(sample.dwTSFlags, 2u);
    EXPECT_EQ(sample.nSysTickCount, 4242u);
    EXPECT_LE(std::llabs(sample.toOffset), 500000);
    // The same sample again until a newer one replaces it; the service was told it is there.
    TimeSample again{};
    TpcGetSamplesArgs second{reinterpret_cast<BYTE*>(&again), sizeof(again), 0, 0};
    TimeProvCommand(handle_, TPC_GetSamples, &second);
    EXPECT_EQ(second.dwSamplesAvailable, 1u);
    EXPECT_EQ(again.toOffset, sample.toOffset);
    EXPECT_GE(fake_service::SampleAlerts(), 1);
}

TEST_F(SyncCheck, a_clock_five_seconds_off_raises_the_alert_unless_the_threshold_is_zero) {
    const std::string ahead = FakeServer("AHEAD5");
    ASSERT_FALSE(ahead.empty()) << "run under with-fake-ntp";
    WriteString(kAgentTestKey, "Reference Clock", ahead.c_str());
    Start();
    // The alert is the check's last step, after the record.
    EXPECT_TRUE(WaitFor(
        [&ahead] {
            return EventStartingWith(EVENTLOG_ERROR_TYPE,
                                     L"According to " + Wide(ahead) +
                                         L", the system clock is wrong by 4 seconds, ") ||
                   EventStartingWith(EVENTLOG_ERROR_TYPE,
                                     L"According to " + Wide(ahead) +
                                         L", the system clock is wrong by 5 seconds, ");
        },
        kPatienceMs));
    const auto records = DriftRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NEAR(records[0].varianceMs, 5000, 50);
    TimeProvClose(handle_);
    handle_ = nullptr;

    DeleteTestDriftFile();
    fake_service::ClearEvents();
    WriteNumber(kAgentTestKey, "Alert Threshhold (seconds)", 0);
    const int alerts = fake_service::SampleAlerts();
    Start();
    ASSERT_TRUE(WaitFor([alerts] { return fake_service::SampleAlerts() > alerts; }, kPatienceMs));
    EXPECT_EQ(DriftRecords().size(), 1u);
    // No alert follows the sample.
    EXPECT_TRUE(StaysTrueFor([] { return Events().empty(); }, 1000));
}

TEST_F(SyncCheck, no_sources_and_failing_sources_are_told_apart) {
    Start();
    ASSERT_TRUE(WaitForCheck());
    EXPECT_TRUE(EventStartingWith(
        EVENTLOG_WARNING_TYPE,
        L"Unable to verify the system clock time; no time sources specified in the Windows "
        L"Time Control Panel applet, and none discovered by the Windows Time Service.\r\n"));
    TimeProvClose(handle_);
    handle_ = nullptr;

    fake_service::ClearEvents();
    const std::string silent = FakeServer("SILENT");
    ASSERT_FALSE(silent.empty()) << "run under with-fake-ntp";
    WriteString(kW32TimeParameters, "NTPServer", (silent + ",0x9").c_str());
    Start();
    ASSERT_TRUE(WaitForCheck());
    EXPECT_TRUE(EventStartingWith(EVENTLOG_WARNING_TYPE,
                                  L"Unable to verify the system clock time; all specified or "
                                  L"auto-discovered time sources failed.\r\n"));
    EXPECT_TRUE(DriftRecords().empty());
}

TEST_F(SyncCheck, stopping_during_a_walk_of_silent_sources_does_not_wait_for_it) {
    const std::string silent = FakeServer("SILENT");
    ASSERT_FALSE(silent.empty()) << "run under with-fake-ntp";
    std::string list;
    for (int i = 0; i < 6; ++i) {
        list += silent + " ";
    }
    WriteString(kW32TimeParameters, "NTPServer", list.c_str());
    Start();
    // The check has sent its request to the first silent source and waits for the answer.
    ASSERT_TRUE(WaitFor(NtpRequestMarked, kPatienceMs));
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(TimeProvClose(handle_), S_OK);
    handle_ = nullptr;
    const ULONGLONG tookMs = GetTickCount64() - before;
    printf("TimeProvClose during a check took %llu ms\n", static_cast<unsigned long long>(tookMs));
    EXPECT_LT(tookMs, 1500u);
    EXPECT_FALSE(Agent().threadAbandoned);
    EXPECT_TRUE(Events().empty()); // a stopped check warns about nothing
}
