// The agent in the stand-in Windows Time service telling what the service's own status hides: a
// service that follows its local clock while the agent measures it 3 s off (one warning, one
// recovery when chronyd becomes its partner), and a source whose lead grows steadily (the
// prediction comes before the threshold alert, names the crossing within 20 % of the truth, and
// the management client's analysis agrees with it).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "history/drift_view_win.h"
#include "responder/status_records.h"
#include "responder/status_records_win.h"

using namespace standin;

namespace {

const char kNtpClientKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
const char kW32TimeParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr DWORD kServiceTimeoutMs = kPatienceMs;
constexpr uint32_t kTestInstallationId = 0x5EED4323;
// The source's lead grows by this much every second (servers file), against a 2 s threshold.
constexpr double kDriftMsPerSecond = 40;
constexpr double kThresholdMs = 2000;

constexpr WORD kError = 1, kWarning = 2, kInformation = 4;
const char kSelfSyncLocal[] = "Windows Time is set to follow network time servers, but its "
                              "source is Local CMOS Clock. The agent measured the clock ";
const char kRecovered[] = "Windows Time follows a network time source again (partner 127.0.0.1).";
const char kPrediction[] = "At its present drift of +";
const char kThresholdAlert[] = "According to ";

std::string FakeServer(const char* name) {
    const char* value = std::getenv((std::string("FAKE_NTP_") + name).c_str());
    return value != nullptr ? value : "";
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Seconds since 1970 of "YYYY-MM-DD HH:MM:SS" (UTC).
int64_t UnixOf(int year, int month, int day, int hour, int minute, int second) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = int64_t{era} * 146097 + doe - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

// The crossing a prediction names, "(around 2026-12-09 13:40:12 UTC)"; -1 when absent.
int64_t NamedCrossing(const std::string& text) {
    const size_t at = text.find("(around ");
    int y, mo, d, h, mi, s;
    if (at == std::string::npos || std::sscanf(text.c_str() + at, "(around %d-%d-%d %d:%d:%d UTC)",
                                               &y, &mo, &d, &h, &mi, &s) != 6) {
        return -1;
    }
    return UnixOf(y, mo, d, h, mi, s);
}

// The number after `key` in a line of JSON; NAN when absent.
double JsonNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? NAN : std::atof(json.c_str() + at + key.size() + 3);
}

// Runs a program and returns what it wrote to its standard output.
std::string RunCapture(const std::string& commandLine) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueKernelHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) {
        return "";
    }
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return "";
    }
    UniqueKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writeEnd.reset();
    std::string out;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        out.append(buffer, got);
    }
    WaitForSingleObject(processHandle.get(), kPatienceMs);
    return out;
}

class AgentWatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        DeleteSyncState();
        SyncState state;
        state.samplesIntervalMs = 0;
        ASSERT_EQ(SaveSyncState(state), ERROR_SUCCESS);
        ASSERT_EQ(PlaceFile(WindowsPath(KESTREL_PATH), SystemFolder() + L"\\kestrel.cpl"), 0u);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentTestKey + 2);
        WriteString(kAgentTestKey, "DllName", "kestrel.cpl");
        WriteNumber(kAgentTestKey, "Enabled", 1);
        WriteNumber(kAgentTestKey, "InputProvider", 0);
        WriteBoolean(kAgentTestKey, "DNS Lookups Enabled", false);
        // A check every second.
        WriteNumber(kAgentTestKey, "SpecialPollInterval", 1);
        WriteNumber(kNtpClientKey, "Enabled", 1);
        WriteNumber(kNtpClientKey, "InputProvider", 1);
        WriteString(kW32TimeParameters, "Type", "NTP");
        DeleteValue(kW32TimeParameters, "NTPServer");
        WriteNumber(kInstallationIdKey, kInstallationIdValue, kTestInstallationId);
        DeleteTestDriftFile();
    }
    void TearDown() override {
        EXPECT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        EXPECT_EQ(RemoveFile(SystemFolder() + L"\\kestrel.cpl"), 0u);
        DeleteTestDriftFile();
    }

    void Start() {
        logStart_ = LogSize();
        ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
    }
    // The agent's event texts of a type that begin with prefix, since the start.
    std::vector<std::string> Events(WORD type, const std::string& prefix) const {
        std::vector<std::string> found;
        for (const Record& record : ReadLog(logStart_)) {
            if (record.size() >= 5 && record[1] == "Event" && record[2] == "Horologix" &&
                record[3] == std::to_string(type) && StartsWith(record[4], prefix)) {
                found.push_back(record[4]);
            }
        }
        return found;
    }
    // Until `more` further checks have been recorded.
    bool ChecksContinue(unsigned long more) const {
        const unsigned long size = TestDriftFileSize();
        return WaitFor([&] { return TestDriftFileSize() >= size + more * kDriftRecordSize; },
                       kPatienceMs);
    }

    uint64_t logStart_ = 0;
    SavedRegistryKeys saved_{kAgentProviderKey,          kNtpClientProviderKey,
                             kW32TimeParametersKey,      kProductParametersKey,
                             kInstallationIdRegistryKey, kStandinStateKey};
};

} // namespace

TEST_F(AgentWatch, a_service_on_its_local_clock_is_reported_once_and_its_recovery_once) {
    const std::string ahead = FakeServer("AHEAD3");
    ASSERT_FALSE(ahead.empty()) << "run under with-fake-ntp";
    WriteString(kAgentTestKey, "Reference Clock", ahead.c_str());
    // The service's own status: its local clock, stratum 1, synchronized just now.
    ASSERT_EQ(ScriptSynchronization("76.79.67.76", 1), ERROR_SUCCESS);
    Start();

    ASSERT_TRUE(WaitFor([&] { return Events(kWarning, kSelfSyncLocal).size() == 1; }, kPatienceMs));
    const std::string warning = Events(kWarning, kSelfSyncLocal)[0];
    EXPECT_NE(warning.find("slow against " + ahead +
                           ", more than the alert threshold. "
                           "(Horologix event 2301)"),
              std::string::npos)
        << warning;
    // Further checks, each 3 s off: the episode is reported once.
    ASSERT_TRUE(ChecksContinue(3));
    EXPECT_EQ(Events(kWarning, kSelfSyncLocal).size(), 1u);
    EXPECT_GE(Events(kError, kThresholdAlert).size(), 3u);
    EXPECT_TRUE(Events(kInformation, kRecovered).empty());

    // chronyd becomes the partner: one recovery, and the source still 3 s off warns no more.
    ASSERT_EQ(ScriptSynchronization("127.0.0.1", 3), ERROR_SUCCESS);
    ASSERT_EQ(ControlStandin(kControlReloadState), 0u);
    ASSERT_TRUE(WaitFor([&] { return Events(kInformation, kRecovered).size() == 1; }, kPatienceMs));
    ASSERT_TRUE(ChecksContinue(3));
    EXPECT_EQ(Events(kInformation, kRecovered).size(), 1u);
    EXPECT_EQ(Events(kWarning, kSelfSyncLocal).size(), 1u);
}

TEST_F(AgentWatch, a_steady_drift_is_predicted_before_the_alert_and_the_client_agrees) {
    const std::string drift = FakeServer("DRIFT");
    ASSERT_FALSE(drift.empty()) << "run under with-fake-ntp";
    WriteString(kAgentTestKey, "Reference Clock", drift.c_str());
    // The management client may walk the history (code 160 allowed).
    const std::vector<uint8_t> open(161, 0);
    WriteBinary(kW32TimeParameters, "Prohibited QX2 Commands", open.data(),
                static_cast<uint32_t>(open.size()));
    ASSERT_EQ(ScriptSynchronization("127.0.0.1", 3), ERROR_SUCCESS);
    Start();

    // The source's lead starts at its first request, the start-up check, and reaches the
    // threshold kThresholdMs / kDriftMsPerSecond seconds later.
    ASSERT_TRUE(WaitFor([] { return TestDriftFileSize() >= kDriftRecordSize; }, kPatienceMs));
    DriftView view;
    std::snprintf(view.path, sizeof(view.path), "%s", TestDriftFilePath().c_str());
    ASSERT_TRUE(LoadDriftFile(view, nullptr));
    const double truth = view.records[0].checkTime + kThresholdMs / kDriftMsPerSecond;

    ASSERT_TRUE(WaitFor([&] { return !Events(kWarning, kPrediction).empty(); }, kPatienceMs));
    const double seen = static_cast<double>(time(nullptr));
    const std::string prediction = Events(kWarning, kPrediction)[0];
    EXPECT_TRUE(Events(kError, kThresholdAlert).empty()) << "the alert came first";
    const int64_t named = NamedCrossing(prediction);
    ASSERT_GT(named, 0) << prediction;
    const double lead = truth - seen;
    ASSERT_GT(lead, 0) << prediction;
    EXPECT_LE(std::fabs(named - truth), 0.2 * lead) << prediction << " truth " << truth;
    EXPECT_NE(prediction.find("last verified against " + drift + ". (Horologix event 2303)"),
              std::string::npos)
        << prediction;
    const double agentMsPerDay = std::atof(prediction.c_str() + std::strlen(kPrediction));
    std::printf(
        "prediction %.0f s before the truth's crossing, named %+.0f s off it (%.1f %% of the "
        "lead); rate %.0f ms/day against %.0f\n",
        lead, named - truth, 100 * std::fabs(named - truth) / lead, agentMsPerDay,
        kDriftMsPerSecond * 86400);
    EXPECT_NEAR(agentMsPerDay, kDriftMsPerSecond * 86400, 0.1 * kDriftMsPerSecond * 86400);

    // The client's analysis from the records of request 160 names the same rate and crossing.
    const std::string json =
        RunCapture("\"" + std::string(QXCTL_EXE) + "\" --json history --analyze 127.0.0.1");
    const double clientMsPerDay = JsonNumber(json, "trend_ms_per_day");
    const double clientCrossing = JsonNumber(json, "crossing_unix");
    ASSERT_FALSE(std::isnan(clientMsPerDay)) << json;
    EXPECT_NEAR(clientMsPerDay, agentMsPerDay, 0.1 * agentMsPerDay) << json;
    EXPECT_LE(std::fabs(clientCrossing - truth), 0.2 * lead) << json;

    // Then the threshold alert, and no second prediction: the same crossing is not news.
    ASSERT_TRUE(WaitFor([&] { return !Events(kError, kThresholdAlert).empty(); }, 2 * kPatienceMs));
    EXPECT_EQ(Events(kWarning, kPrediction).size(), 1u);
}
