// The agent driven in this process the way the Windows Time service drives it: through the
// three entry points and a set of callbacks of our own, against the prefix's real registry.
#include "agent/agent_state_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/fake_service/fake_service_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "agent/agent_test_util_win.h"
#include "config/registry.h"
#include "responder/status_records_win.h"

namespace {

const char kAgentPath[] = "System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";
const char kFamilyClientPath[] = "Software\\Tessaric\\Quorvex Client";
const char kNtpClientKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
constexpr uint64_t kFileTime1970 = 116444736000000000ull;
constexpr uint32_t kTestInstallationId = 0x5EED5678;

uint64_t FileTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

uint32_t UnixNow() {
    return static_cast<uint32_t>((FileTimeNow() - kFileTime1970) / 10000000);
}

// The agent's queries on their way to the fake service. Each poll of the agent begins with
// TSI_CurrentTime (nothing else asks for it), so those count the polls; the poll numbered
// gatePoll stops at its beginning until the test opens the gate.
struct PollWatch {
    GetTimeSysInfoFunc* service = nullptr;
    volatile LONG polls = 0;
    LONG gatePoll = 0;
    HANDLE reached = nullptr; // set when the gated poll begins
    HANDLE gate = nullptr;    // the gated poll goes on once set
};
PollWatch g_watch;

HRESULT WINAPI WatchedQuery(TimeSysInfo info, void* out) {
    if (info == TSI_CurrentTime) {
        const LONG poll = InterlockedIncrement(&g_watch.polls);
        if (poll == g_watch.gatePoll) {
            SetEvent(g_watch.reached);
            // Opened by the test, at the latest in its TearDown.
            WaitForSingleObject(g_watch.gate, 4 * kPatienceMs);
        }
    }
    return g_watch.service(info, out);
}

class AgentInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        fake_service::Reset();
        // A known identifier: no start asks the network whether it is taken.
        WriteNumber(kInstallationIdKey, kInstallationIdValue, kTestInstallationId);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentPath);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kFamilyClientPath);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, "Software\\Tessaric\\Quorvex Server");
        // The service disciplines the clock through its NTP client, as out of the box.
        WriteNumber(kNtpClientKey, "Enabled", 1);
        WriteNumber(kNtpClientKey, "InputProvider", 1);
        WriteString(("\\\\" + std::string(kW32TimeParametersKey)).c_str(), "Type", "NTP");
        // No sources are configured here: keep the check's "unable to verify" warning out of the
        // events these tests look at.
        WriteNumber(("\\\\" + std::string(kAgentPath)).c_str(), "Alert if Unverified", 0);
        // Deterministic partner texts: no reverse lookups.
        WriteBoolean(("\\\\" + std::string(kAgentPath)).c_str(), "DNS Lookups Enabled", false);
        callbacks_ = fake_service::Callbacks();
        g_watch.service = callbacks_.pfnGetTimeSysInfo;
        g_watch.polls = 0;
        g_watch.gatePoll = 0;
        g_watch.reached = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_watch.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        callbacks_.pfnGetTimeSysInfo = WatchedQuery;
    }
    void TearDown() override {
        SetEvent(g_watch.gate);
        if (handle_ != nullptr) {
            TimeProvClose(handle_);
        }
        CloseHandle(g_watch.reached);
        CloseHandle(g_watch.gate);
        if (standinStarted_) {
            EXPECT_EQ(standin::StopStandin(kPatienceMs), 0u);
        }
        DeleteTestDriftFile();
    }
    HRESULT Open(const wchar_t* name) {
        std::wstring copy(name);
        return TimeProvOpen(copy.data(), &callbacks_, &handle_);
    }
    void Synchronize(uint32_t refId, uint8_t stratum = 3) {
        fake_service::Answers answers;
        answers.lastSyncTime = FileTimeNow();
        answers.stratum = stratum;
        answers.refId = refId;
        fake_service::SetAnswers(answers);
    }
    // Milliseconds TimeProvClose took.
    double Close() {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TimeProvClose(handle_), S_OK);
        handle_ = nullptr;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    }

    TimeProvSysCallbacks callbacks_{};
    TimeProvHandle handle_ = nullptr;
    bool standinStarted_ = false;
    // Put back as they were after each test.
    SavedRegistryKeys saved_{kAgentProviderKey, kNtpClientProviderKey, kW32TimeParametersKey,
                             kFamilyClientKey,  kFamilyServerKey,      kInstallationIdRegistryKey,
                             kStandinStateKey};
};

} // namespace

TEST_F(AgentInProcess, opens_with_the_name_in_any_case_runs_and_stops_on_close) {
    ASSERT_EQ(Open(L"hOROLOGIX"), S_OK);
    ASSERT_EQ(handle_, reinterpret_cast<TimeProvHandle>(1));
    EXPECT_EQ(AgentText("Service Running"), "True");
    EXPECT_EQ(AgentText("Current Version"), "4.1.b.20070418R");
    EXPECT_TRUE(WaitFor(
        [] {
            return AgentText("Current Inbound Time Partner") ==
                   "Unknown - Windows Time service initializing";
        },
        kPatienceMs));
    const double closeMs = Close();
    EXPECT_LT(closeMs, 2500.0);
    EXPECT_EQ(AgentText("Service Running"), "False");
    EXPECT_EQ(AgentText("Current Inbound Time Partner"), "Unknown - Agent stopped");
    for (HANDLE event : Agent().events) {
        EXPECT_EQ(event, nullptr);
    }
    EXPECT_EQ(Agent().agentThread, nullptr);
}

TEST_F(AgentInProcess, another_provider_name_creates_nothing) {
    EXPECT_EQ(Open(L"NtpClient"), S_OK);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(AgentText("Service Running"), "<missing>");
    for (HANDLE event : Agent().events) {
        EXPECT_EQ(event, nullptr);
    }
    EXPECT_EQ(TimeProvClose(reinterpret_cast<TimeProvHandle>(2)), S_OK);
}

TEST_F(AgentInProcess, force_disable_by_the_family_refuses_the_start_after_writing_the_version) {
    WriteBoolean("\\\\Software\\Tessaric\\Quorvex Client\\Parameters", "Force Horologix Disable",
                 true);
    EXPECT_EQ(Open(L"Horologix"), S_OK);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(AgentText("Service Running"), "False");
    EXPECT_EQ(AgentText("Current Version"), "4.1.b.20070418R");
    EXPECT_TRUE(fake_service::Events().empty());
}

TEST_F(AgentInProcess, commands_answer_as_documented_and_no_sample_before_a_check) {
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    EXPECT_EQ(TimeProvCommand(handle_, static_cast<TimeProvCmd>(7), nullptr),
              static_cast<HRESULT>(ERROR_INVALID_PARAMETER));
    for (TimeProvCmd command : {TPC_PollIntervalChanged, TPC_NetTopoChange, TPC_Query, TPC_Shutdown,
                                TPC_UpdateConfig, TPC_TimeJumped}) {
        EXPECT_EQ(TimeProvCommand(handle_, command, nullptr), S_OK) << command;
    }
    TimeSample sample{};
    TpcGetSamplesArgs args{reinterpret_cast<BYTE*>(&sample), sizeof(sample), 9, 9};
    EXPECT_EQ(TimeProvCommand(handle_, TPC_GetSamples, &args), S_OK);
    EXPECT_EQ(args.dwSamplesReturned, 0u);
    EXPECT_EQ(args.dwSamplesAvailable, 0u);
}

TEST_F(AgentInProcess, follows_new_partners_into_the_text_and_the_ring) {
    WriteNumber("\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix",
                "InputProvider", 1);
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    Synchronize(Address(127, 0, 0, 1));
    EXPECT_TRUE(
        WaitFor([] { return AgentText("Current Inbound Time Partner") == "127.0.0.1 (no name)"; },
                kPatienceMs));
    const uint32_t synchronized = UnixNow();
    Synchronize(Address(127, 0, 0, 2));
    EXPECT_TRUE(
        WaitFor([] { return AgentText("Current Inbound Time Partner") == "127.0.0.2 (no name)"; },
                kPatienceMs));
    uint8_t ring[512];
    ASSERT_TRUE(
        ReadBinary("\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix",
                   "Last Used Time Source", ring, sizeof(ring)));
    uint32_t lastId, lastTime, previousId;
    std::memcpy(&previousId, ring + 512 - 16, 4);
    std::memcpy(&lastId, ring + 512 - 8, 4);
    std::memcpy(&lastTime, ring + 512 - 4, 4);
    EXPECT_EQ(previousId, Address(127, 0, 0, 1));
    EXPECT_EQ(lastId, Address(127, 0, 0, 2));
    // Noted when the agent saw the new partner (the clock's second may have turned meanwhile).
    EXPECT_GE(lastTime + 1, synchronized);
    EXPECT_LE(lastTime, UnixNow() + 1);
    // The thread announced itself as a running input provider of stratum 4.
    EXPECT_EQ(fake_service::StatusCalls(), 1);
    EXPECT_EQ(fake_service::LastStatusStratum(), 4u);
}

TEST_F(AgentInProcess, long_messages_reach_the_log_cut_to_509_characters_and_cr_lf) {
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    const std::string longText(600, 'x');
    LogProviderEvent("Horologix", EVENTLOG_WARNING_TYPE, "%s", longText.c_str());
    const auto events = fake_service::Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events.back().message, std::wstring(509, L'x') + L"\r\n");
}

TEST_F(AgentInProcess, a_refused_demand_sync_is_reported) {
    // The bench's W32TimeSyncNow refuses as told, whether or not the stand-in service runs, and
    // a machine without w32time.dll refuses too: either way the agent reports it.
    ASSERT_TRUE(ScriptDemandSyncRefusal(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    SetEvent(Agent().events[kSyncEvent]);
    EXPECT_TRUE(WaitFor(
        [] {
            return fake_service::EventsStartingWith(
                       L"Attempt to trigger a demand clock sync failed\r\n", EVENTLOG_ERROR_TYPE) >=
                   1;
        },
        kPatienceMs));
}

TEST_F(AgentInProcess, stop_while_the_thread_is_busy_waits_for_it_and_then_releases) {
    g_watch.gatePoll = 1;
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    // The first poll is held at its beginning; let it go on into a query that takes 2.5 s.
    ASSERT_EQ(WaitForSingleObject(g_watch.reached, kPatienceMs), WAIT_OBJECT_0);
    fake_service::DelayNextQuery(2500);
    SetEvent(g_watch.gate);
    const double closeMs = Close();
    EXPECT_LT(closeMs, 5000.0);
    EXPECT_FALSE(Agent().threadAbandoned);
    EXPECT_EQ(Agent().events[kShutdownEvent], nullptr);
}

TEST_F(AgentInProcess, unsynchronized_from_the_start_fails_once_at_the_19th_poll) {
    g_watch.gatePoll = 19;
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    // Held at the beginning of the 19th poll (19 s after the start at the earliest): the 18
    // polls before it left the service initializing.
    ASSERT_EQ(WaitForSingleObject(g_watch.reached, 19000 + kPatienceMs), WAIT_OBJECT_0);
    EXPECT_EQ(AgentText("Current Inbound Time Partner"),
              "Unknown - Windows Time service initializing");
    SetEvent(g_watch.gate);
    EXPECT_TRUE(WaitFor(
        [] {
            return AgentText("Current Inbound Time Partner") ==
                   "Unknown - Windows Time synchronization failed";
        },
        kPatienceMs));
}

TEST_F(AgentInProcess, every_failing_start_step_is_reported_and_leaves_nothing_behind) {
    const struct {
        AgentStartFault fault;
        const wchar_t* message;
    } kSteps[] = {
        {AgentStartFault::kWinsock, L"Could not initialize winsock subsystem; Error 10091: "
                                    L"network subsystem not available\r\n"},
        {AgentStartFault::kShutdownEvent, L"Could not create shutdown event; "},
        {AgentStartFault::kSyncEvent, L"Could not create sync event; "},
        {AgentStartFault::kTimeJumpEvent, L"Could not create timejump notification event; "},
        {AgentStartFault::kClientEvent, L"Could not create client event; "},
        {AgentStartFault::kThread, L"Could not create client thread; "},
    };
    for (const auto& step : kSteps) {
        fake_service::ClearEvents();
        SetAgentStartFault(step.fault);
        EXPECT_EQ(Open(L"Horologix"), S_OK);
        SetAgentStartFault(AgentStartFault::kNone);
        EXPECT_EQ(handle_, nullptr);
        const auto events = fake_service::Events();
        ASSERT_EQ(events.size(), 1u) << static_cast<int>(step.fault);
        EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(events[0].message.rfind(step.message, 0), 0u)
            << std::string(events[0].message.begin(), events[0].message.end());
        EXPECT_EQ(events[0].message.substr(events[0].message.size() - 2), L"\r\n");
        EXPECT_EQ(AgentText("Service Running"), "False");
        for (HANDLE event : Agent().events) {
            EXPECT_EQ(event, nullptr);
        }
        EXPECT_EQ(Agent().agentThread, nullptr);
        EXPECT_FALSE(Agent().winsockStarted);
    }
    // After all that the agent still starts.
    EXPECT_EQ(Open(L"Horologix"), S_OK);
    EXPECT_NE(handle_, nullptr);
}

TEST_F(AgentInProcess, an_accepted_demand_sync_reaches_the_service) {
    ASSERT_TRUE(ScriptDemandSyncRefusal(0));
    standinStarted_ = true;
    ASSERT_EQ(standin::StartStandin(kPatienceMs), 0u);
    const uint64_t logStart = standin::LogSize();
    ASSERT_EQ(Open(L"Horologix"), S_OK);
    SetEvent(Agent().events[kSyncEvent]);
    const bool asked = WaitFor(
        [logStart] {
            for (const auto& record : standin::ReadLog(logStart)) {
                // time, "SyncNow", wait flag, flags
                if (record.size() >= 4 && record[1] == "SyncNow") {
                    return record[2] == "0" && record[3] == "0x1";
                }
            }
            return false;
        },
        kPatienceMs);
    EXPECT_TRUE(asked);
    EXPECT_TRUE(fake_service::Events().empty());
}
