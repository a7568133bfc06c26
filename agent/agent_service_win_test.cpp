// kestrel.cpl as the Windows Time service loads it: placed in the system folder, named under
// TimeProviders, opened by the stand-in service, following scripted synchronizations.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "bench/remote_registry/bench_remote_registry_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_protocol.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "agent/agent_test_util_win.h"
#include "config/registry.h"
#include "responder/status_records_win.h"

using namespace standin;

namespace {

const char kAgentKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";
const char kNtpClientKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
constexpr DWORD kServiceTimeoutMs = kPatienceMs;

bool PartnerBecomes(const std::string& text) {
    // A check after each synchronization may first wait out a silent source (2 s).
    std::string seen;
    if (WaitFor(
            [&] {
                seen = AgentText("Current Inbound Time Partner");
                return seen == text;
            },
            kPatienceMs)) {
        return true;
    }
    ADD_FAILURE() << "the partner stayed \"" << seen << "\"";
    return false;
}

void Synchronize(const char* partner, uint32_t stratum) {
    ASSERT_EQ(ScriptSynchronization(partner, stratum), ERROR_SUCCESS);
    ASSERT_EQ(ControlStandin(kControlReloadState), 0u);
}

class AgentInService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        DeleteSyncState();
        SyncState state;
        state.samplesIntervalMs = 0;
        ASSERT_EQ(SaveSyncState(state), ERROR_SUCCESS);
        ASSERT_EQ(PlaceFile(WindowsPath(KESTREL_PATH), SystemFolder() + L"\\kestrel.cpl"), 0u);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentKey + 2);
        WriteString(kAgentKey, "DllName", "kestrel.cpl");
        WriteNumber(kAgentKey, "Enabled", 1);
        WriteNumber(kAgentKey, "InputProvider", 1);
        WriteBoolean(kAgentKey, "DNS Lookups Enabled", false);
        // Windows Time manages the clock through its NTP client, whatever an earlier test left.
        WriteString("\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters", "Type", "NTP");
        WriteNumber(kNtpClientKey, "Enabled", 1);
        WriteNumber(kNtpClientKey, "InputProvider", 1);
        // A known identifier: no start asks the network whether it is taken.
        WriteNumber(kInstallationIdKey, kInstallationIdValue, 0x5EED2468);
        logStart_ = LogSize();
        ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
    }
    void TearDown() override {
        EXPECT_EQ(StopStandin(kServiceTimeoutMs), 0u);
        EXPECT_EQ(RemoveFile(SystemFolder() + L"\\kestrel.cpl"), 0u);
        DeleteTestDriftFile();
    }
    std::vector<Record> Log() const { return ReadLog(logStart_); }

    uint64_t logStart_ = 0;
    // Put back as they were after each test (the stand-in is stopped by then).
    SavedRegistryKeys saved_{kAgentProviderKey, kNtpClientProviderKey, kW32TimeParametersKey,
                             kInstallationIdRegistryKey, kStandinStateKey};
};

} // namespace

TEST_F(AgentInService, is_opened_as_horologix_follows_partners_and_stops_cleanly) {
    bool opened = false;
    for (const Record& record : Log()) {
        if (record.size() >= 5 && record[1] == "Open" && record[2] == "Horologix") {
            EXPECT_EQ(record[3], "0x00000000");
            EXPECT_EQ(record[4], "0x1");
            opened = true;
        }
    }
    EXPECT_TRUE(opened);
    EXPECT_EQ(AgentText("Service Running"), "True");
    EXPECT_TRUE(PartnerBecomes("Unknown - Windows Time service initializing"));

    Synchronize("127.0.0.1", 3);
    EXPECT_TRUE(PartnerBecomes("127.0.0.1 (no name)"));
    Synchronize("127.0.0.9", 4);
    EXPECT_TRUE(PartnerBecomes("127.0.0.9 (no name)"));
    uint8_t ring[512];
    ASSERT_TRUE(ReadBinary(kAgentKey, "Last Used Time Source", ring, sizeof(ring)));
    EXPECT_EQ(FormatDottedQuad(*reinterpret_cast<const uint32_t*>(ring + 512 - 16)), "127.0.0.1");
    EXPECT_EQ(FormatDottedQuad(*reinterpret_cast<const uint32_t*>(ring + 512 - 8)), "127.0.0.9");

    ASSERT_EQ(ControlStandin(kControlTimeJumped), 0u);
    // The jump shows "checking" until the agent's next poll finds the service synchronized and
    // takes that as a new synchronization: the source is then used once more. (The text may be
    // back before a look catches "checking"; the list of sources cannot be.)
    EXPECT_TRUE(WaitFor(
        [] {
            uint8_t now[512];
            return ReadBinary(kAgentKey, "Last Used Time Source", now, sizeof(now)) &&
                   FormatDottedQuad(*reinterpret_cast<const uint32_t*>(now + 512 - 16)) ==
                       "127.0.0.9";
        },
        kPatienceMs));
    EXPECT_TRUE(PartnerBecomes("127.0.0.9 (no name)"));

    SyncState lost = LoadSyncState();
    lost.lastSyncTime = 0;
    ASSERT_EQ(SaveSyncState(lost), ERROR_SUCCESS);
    ASSERT_EQ(ControlStandin(kControlReloadState), 0u);
    EXPECT_TRUE(PartnerBecomes("Unknown - Windows Time lost synchronization"));

    const uint64_t stopLog = LogSize();
    ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
    double closeMs = -1;
    for (const Record& record : ReadLog(stopLog)) {
        if (record.size() >= 5 && record[1] == "Close" && record[2] == "Horologix") {
            closeMs = std::stod(record[4]);
        }
    }
    printf("TimeProvClose took %.1f ms\n", closeMs);
    EXPECT_GE(closeMs, 0.0);
    EXPECT_LT(closeMs, 2000.0);
    EXPECT_EQ(AgentText("Service Running"), "False");
    EXPECT_EQ(AgentText("Current Inbound Time Partner"), "Unknown - Agent stopped");
}

TEST_F(AgentInService, a_parameter_change_reloads_the_settings) {
    // With the clock left to nobody (NoSync), the texts that describe the service say so.
    WriteString("\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters", "Type", "NoSync");
    ASSERT_EQ(ControlStandin(SERVICE_CONTROL_PARAMCHANGE), 0u);
    ASSERT_EQ(ControlStandin(kControlTimeJumped), 0u);
    EXPECT_TRUE(PartnerBecomes("N/A - Windows Time not managing the clock"));
}
