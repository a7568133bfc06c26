// The responder of an agent running in this process (the service's callbacks faked), asked over
// real loopback sockets on the prefix's "quorvexnet" port: exact answers, the filter, the repeat
// test, the rate limit, the answer address, the bind retries and hostile datagrams.
#include "responder/responder_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_state_win.h"
#include "agent/agent_test_util_win.h"
#include "agent/sync_follower.h"
#include "bench/fake_service/fake_service_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "bench/test_waits_win.h"
#include "bench/w32time_standin/standin_client_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/settings_platform.h"
#include "history/drift_file_win.h"
#include "responder/byte_order.h"
#include "responder/management_protocol.h"
#include "responder/status_records_win.h"
#include "responder/responder_test_util_win.h"
#include "timesrc/time_zone_win.h"

namespace {

const char kAgentPath[] = "System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";
const char kW32TimeParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr uint32_t kTestInstallationId = 0x5EED1234;

int EventsStartingWith(const wchar_t* text) {
    return fake_service::EventsStartingWith(text);
}

uint32_t NowSeconds() {
    return static_cast<uint32_t>(time(nullptr));
}

std::string Bytes(const char* text, size_t size) {
    return std::string(text, size);
}

const uint8_t* Data(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

// Seconds of the day of a calendar time.
int DaySeconds(int hour, int minute, int second) {
    return hour * 3600 + minute * 60 + second;
}

class AgentResponder : public ::testing::Test {
protected:
    void SetUp() override {
        // The agent in this process binds the management port: no agent in the stand-in
        // service may hold it, whatever an earlier test left running.
        standin::StopStandin(kPatienceMs);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentPath);
        // No product of the family installed beside the agent.
        for (const char* product :
             {"Quorvex Server", "Quorvex Set", "Quorvex II Manager", "Quorvex II Monitor",
              "Quorvex II Update Server", "Quorvex II Audit Server", "Quorvex Client"}) {
            DeleteRegistryTree(HKEY_LOCAL_MACHINE,
                               (std::string("Software\\Tessaric\\") + product).c_str());
        }
        ClearResponderValues();
        WriteNumber(kInstallationIdKey, kInstallationIdValue, kTestInstallationId);
        fake_service::Reset();
        // The system is identified once per process, by whoever loads settings first: here, not
        // by the agent's thread after a test has set the family it plays, which would undo it.
        IdentifyLocalSystemOnce();
        savedOs_ = LocalSystemIdentity().os;
    }
    void TearDown() override {
        Stop();
        if (savedOs_ != 0) {
            SetProcessOsFamily(savedOs_);
        }
    }
    static void ClearResponderValues() {
        DeleteValue(kW32TimeParameters, "Prohibited QX2 Commands");
        DeleteValue("", "Server Answer IP");
        DeleteValue("", "Broadcast Addresses");
        DeleteValue("", kReplyRateLimitValue);
    }
    void Start() {
        startedAt_ = NowSeconds();
        HRESULT result = E_FAIL;
        handle_ = fake_service::OpenAgent(&result);
        ASSERT_EQ(result, S_OK);
        ASSERT_NE(handle_, nullptr);
    }
    void Stop() {
        if (handle_ != nullptr) {
            TimeProvClose(handle_);
            handle_ = nullptr;
        }
    }
    void Restart() {
        Stop();
        Start();
    }

    TimeProvHandle handle_ = nullptr;
    OsFamily savedOs_ = 0;
    uint32_t startedAt_ = 0; // seconds since 1970 before the last start
    // Put back as they were after each test.
    SavedRegistryKeys saved_{kAgentProviderKey,
                             kW32TimeParametersKey,
                             kProductParametersKey,
                             kInstallationIdRegistryKey,
                             kStandinStateKey,
                             "Software\\Tessaric\\Quorvex Server",
                             "Software\\Tessaric\\Quorvex Set",
                             "Software\\Tessaric\\Quorvex II Manager",
                             "Software\\Tessaric\\Quorvex II Monitor",
                             "Software\\Tessaric\\Quorvex II Update Server",
                             "Software\\Tessaric\\Quorvex II Audit Server",
                             kFamilyClientKey};
};

// The block the agent should send, built from what the test knows, with the moments the agent
// took copied from the answer after they were checked against the clock.
AgentStatus ExpectedBlock(const AgentStatus& sent, uint64_t bytesReceived, uint64_t bytesSent,
                          uint64_t replies) {
    AgentStatus expected;
    char zone[kZoneNameField];
    CurrentTimeZoneName(zone);
    InitAgentStatus(&expected, kAgentRole, sent.agentStartTime, zone);
    expected.statisticsResetTime = sent.statisticsResetTime;
    expected.snapshotTime = sent.snapshotTime;
    expected.statusFlags = kStatusPending; // the fake service never synchronizes
    expected.timeServiceType = static_cast<uint8_t>(AgentSettingsCopy().syncType);
    expected.protocol = kProtocolNone;
    expected.lastReplyTime[0] = sent.lastReplyTime[0];
    expected.repliesSent[0] = replies;
    expected.bytesReceived = bytesReceived;
    expected.bytesSent = bytesSent;
    return expected;
}

} // namespace

TEST_F(AgentResponder, answers_time_version_zone_and_limits_with_their_exact_bytes) {
    Start();
    QxClient client;
    EXPECT_EQ(client.Ask(0), Bytes("ACK", 4));
    EXPECT_EQ(client.Ask(0x00000100), Bytes("ACK", 4)); // only the low byte counts
    EXPECT_EQ(client.Ask(5), Bytes("NAK", 4));
    EXPECT_EQ(client.Ask(132), Bytes("NAK", 4));

    SYSTEMTIME before, after;
    GetSystemTime(&before);
    const auto utc = client.Ask(2);
    GetSystemTime(&after);
    ASSERT_TRUE(utc.has_value());
    ASSERT_EQ(utc->size(), 16u);
    CalendarRecord time;
    DecodeCalendarRecord(Data(*utc), &time);
    EXPECT_EQ(time.year, before.wYear);
    EXPECT_EQ(time.month, before.wMonth);
    EXPECT_EQ(time.day, before.wDay);
    EXPECT_EQ(time.dayOfWeek, before.wDayOfWeek);
    // Read between the question and the answer (a second's leeway for the precise clock).
    const int answered = DaySeconds(time.hour, time.minute, time.second);
    EXPECT_GE(answered + 1, DaySeconds(before.wHour, before.wMinute, before.wSecond));
    EXPECT_LE(answered, DaySeconds(after.wHour, after.wMinute, after.wSecond) + 1);
    EXPECT_LT(time.milliseconds, 1000);
    SYSTEMTIME local;
    GetLocalTime(&local);
    const auto localAnswer = client.Ask(7);
    ASSERT_EQ(localAnswer.value_or("").size(), 16u);
    DecodeCalendarRecord(Data(*localAnswer), &time);
    EXPECT_EQ(time.hour, local.wHour);

    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof(computer);
    GetComputerNameA(computer, &size);
    const uint32_t installed =
        ReadNumber(("\\\\" + std::string(kAgentPath)).c_str(), "Ephemerides", 0);
    // A fresh machine: written at this start.
    EXPECT_GE(installed + 1, startedAt_);
    EXPECT_LE(installed, NowSeconds() + 1);
    uint8_t version[kVersionRecordSize];
    EncodeVersionRecord(MakeVersionRecord(kAgentRole, installed, true, computer), version);
    EXPECT_EQ(client.Ask(4), std::string(reinterpret_cast<char*>(version), sizeof(version)));

    HKEY zoneKey;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "System\\CurrentControlSet\\Control\\TimeZoneInformation", 0, KEY_READ,
                            &zoneKey),
              0);
    DWORD disable = 0, disableSize = sizeof(disable);
    if (RegQueryValueExA(zoneKey, "DisableAutoDaylightTimeSet", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&disable), &disableSize) != 0) {
        disable = 0;
    }
    char standard[256] = "";
    DWORD standardSize = sizeof(standard) - 1;
    if (RegQueryValueExA(zoneKey, "StandardName", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(standard), &standardSize) != 0) {
        standard[0] = '\0';
    }
    RegCloseKey(zoneKey);
    uint8_t zone[kTimeZoneFactsSize];
    EncodeTimeZoneFacts(disable, standard, zone);
    EXPECT_EQ(client.Ask(6), std::string(reinterpret_cast<char*>(zone), sizeof(zone)));

    uint8_t limits[kPhaseLimitsSize];
    EncodePhaseLimits(AgentSettingsCopy().maxPhaseOffset, limits);
    EXPECT_EQ(client.Ask(151), std::string(reinterpret_cast<char*>(limits), sizeof(limits)));
}

TEST_F(AgentResponder, status_block_counts_every_request_and_reply_byte_for_byte) {
    Start();
    QxClient client;
    const uint32_t asked = NowSeconds();
    ASSERT_EQ(client.Ask(0), Bytes("ACK", 4));
    ASSERT_EQ(client.Ask(5), Bytes("NAK", 4));
    const uint32_t before = NowSeconds();
    const auto answer = client.Ask(128);
    const uint32_t after = NowSeconds();
    ASSERT_EQ(answer.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus sent;
    DecodeAgentStatusBlock(Data(*answer), &sent);
    // Each moment lies between the test's readings around it (a second's leeway for the
    // precise clock).
    EXPECT_GE(sent.snapshotTime + 1, before);
    EXPECT_LE(sent.snapshotTime, after + 1);
    EXPECT_GE(sent.agentStartTime + 1, startedAt_);
    EXPECT_LE(sent.agentStartTime, asked + 1);
    EXPECT_EQ(sent.statisticsResetTime, sent.agentStartTime);
    EXPECT_GE(sent.lastReplyTime[0] + 1, asked);
    EXPECT_LE(sent.lastReplyTime[0], sent.snapshotTime);
    // Three requests of 12 bytes received; two answers of 4 bytes sent before this one.
    uint8_t expected[kAgentStatusBlockSize];
    EncodeAgentStatusBlock(ExpectedBlock(sent, 36, 8, 2), expected);
    EXPECT_EQ(*answer, std::string(reinterpret_cast<char*>(expected), sizeof(expected)));

    const auto next = client.Ask(128);
    ASSERT_EQ(next.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus again;
    DecodeAgentStatusBlock(Data(*next), &again);
    EXPECT_EQ(again.bytesReceived, 48u);
    EXPECT_EQ(again.bytesSent, 8u + 355u);
    EXPECT_EQ(again.repliesSent[0], 3u);
}

TEST_F(AgentResponder, clear_resets_the_statistics_empties_history_and_forgets_sources) {
    Start();
    const std::string agentKey = "\\\\" + std::string(kAgentPath);
    uint8_t ring[512] = {1, 2, 3, 4};
    WriteBinary(agentKey.c_str(), "Last Used Time Source", ring, sizeof(ring));
    AppendDriftRecord(-12, NowSeconds() - 100, 0, kReasonScheduled, "127.0.0.1", kRoleHorologix);
    QxClient client;
    ASSERT_EQ(client.Ask(0), Bytes("ACK", 4));
    const uint32_t before = NowSeconds();
    const auto answer = client.Ask(129);
    const uint32_t after = NowSeconds();
    ASSERT_EQ(answer.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus sent;
    DecodeAgentStatusBlock(Data(*answer), &sent);
    EXPECT_EQ(sent.repliesSent[0], 0u);
    EXPECT_EQ(sent.bytesReceived, 0u);
    EXPECT_EQ(sent.bytesSent, 0u);
    EXPECT_GE(sent.statisticsResetTime + 1, before);
    EXPECT_LE(sent.statisticsResetTime, after + 1);
    EXPECT_EQ(AgentText("Last Used Time Source"), "<missing>");
    DriftRecord record;
    EXPECT_FALSE(FindDriftRecordAfter(0, &record));
}

TEST_F(AgentResponder, status_record_on_xp_flags_the_release_and_the_installed_products) {
    Start();
    SetProcessOsFamily(kOsWinXP);
    QxClient client;
    char zone[kZoneNameField];
    const uint32_t zoneState = CurrentTimeZoneName(zone);
    const uint32_t before = NowSeconds();
    const auto record = client.Ask(200);
    const uint32_t after = NowSeconds();
    ASSERT_EQ(record.value_or("").size(), kStatusRecordSize);
    StatusRecord r;
    DecodeStatusRecord(Data(*record), &r);
    EXPECT_EQ(r.installationId, kTestInstallationId);
    EXPECT_EQ(r.flags & 0xF, 7u);
    EXPECT_EQ(r.flags, 7u | 1u << 4 | 1u << 5 | 1u << 19 | 1u << 25 | zoneState << 30);
    EXPECT_EQ(r.products, 0x8000);
    EXPECT_EQ(r.protocol, kProtocolNone);
    EXPECT_EQ(r.marker, 0x24);
    EXPECT_STREQ(r.timeZoneName, zone);
    EXPECT_STREQ(r.versionText, "4.1.b.20070418R");
    EXPECT_STREQ(r.partnerName, "(none since startup)");
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof(computer);
    GetComputerNameA(computer, &size);
    EXPECT_STREQ(r.computerName, computer);
    EXPECT_GE(r.now + 1, before);
    EXPECT_LE(r.now, after + 1);
    EXPECT_EQ(r.agentStartTime, AgentStatusBlock().agentStartTime);
    EXPECT_EQ(r.utcTime.year, r.localTime.year);
    // Nothing but the tabled fields: the bytes after the computer name are zero.
    EXPECT_EQ(record->substr(258, 42), std::string(42, '\0'));

    WriteBoolean(("\\\\" + std::string(kAgentPath)).c_str(), "Service Installed", true);
    // The word is read from the registry at most once a second.
    std::optional<std::string> installed;
    EXPECT_TRUE(WaitFor(
        [&] {
            installed = client.Ask(200);
            return installed.value_or("").size() == kStatusRecordSize &&
                   LoadLe16(Data(*installed) + 300) == 0x8200;
        },
        kPatienceMs));
    ASSERT_EQ(installed.value_or("").size(), kStatusRecordSize);
    EXPECT_EQ(LoadLe16(Data(*installed) + 300), 0x8200);
}

TEST_F(AgentResponder, status_record_201_only_for_our_identifier) {
    Start();
    QxClient client;
    EXPECT_TRUE(client.ExpectDropped(201, kTestInstallationId + 1));
    const auto ours = client.Ask(201, kTestInstallationId);
    ASSERT_EQ(ours.value_or("").size(), kStatusRecordSize);
    EXPECT_EQ(LoadLe32(Data(*ours)), kTestInstallationId);
}

TEST_F(AgentResponder, history_request_is_prohibited_until_the_filter_allows_it) {
    Start();
    ClearDriftFile();
    const uint32_t checked = NowSeconds() - 60;
    AppendDriftRecord(-1500, checked, 1, kReasonSyncCheck, "127.0.0.1", kRoleHorologix);
    QxClient client;
    EXPECT_TRUE(client.ExpectDropped(160, checked - 1));
    EXPECT_TRUE(client.ExpectDropped(50));
    EXPECT_TRUE(client.ExpectDropped(150));

    uint8_t filter[161] = {};
    filter[50] = 0;
    WriteBinary(kW32TimeParameters, "Prohibited QX2 Commands", filter, sizeof(filter));
    Restart(); // the filter is loaded once per start
    const auto found = client.Ask(160, checked - 1);
    ASSERT_EQ(found.value_or("").size(), 20u);
    DriftRecord record;
    DecodeDriftRecord(Data(*found), &record);
    EXPECT_EQ(record.checkTime, checked);
    EXPECT_EQ(record.varianceMs, -1500);
    EXPECT_EQ(record.flags, 0x0F);
    EXPECT_EQ(client.Ask(160, checked), std::string(20, '\0'));
    EXPECT_EQ(client.Ask(150), std::string(4, '\0')); // also prohibited without the value
    // A code outside the implemented set stays shut whatever its byte says.
    EXPECT_TRUE(client.ExpectDropped(50));
    ClearDriftFile();
}

TEST_F(AgentResponder, an_exact_repeat_is_answered_once_a_new_sequence_number_again) {
    Start();
    QxClient client;
    uint8_t datagram[kMaxRequestSize];
    const size_t length = EncodeManagementRequest(4242, 4, nullptr, 0, datagram);
    const std::string request(reinterpret_cast<char*>(datagram), length);
    ASSERT_EQ(client.SendRaw(request).value_or("").size(), 64u);
    // The repeat is dropped: the next answer to arrive is the ping's.
    client.SendRawNoWait(request);
    EXPECT_EQ(client.Ask(0), Bytes("ACK", 4));
    datagram[0] = 43; // a new sequence number
    EXPECT_EQ(
        client.SendRaw(std::string(reinterpret_cast<char*>(datagram), length)).value_or("").size(),
        64u);
}

TEST_F(AgentResponder, activity_slots_show_accepted_requests_replies_and_the_flash_codes) {
    Start();
    ActivityView activity;
    ASSERT_TRUE(activity.Open());
    QxClient client;
    activity.Clear();
    EXPECT_TRUE(client.ExpectDropped(50)); // the ping that proves the drop marks 8 and 7
    activity.Clear();
    client.SendRawNoWait(client.Request(81));
    EXPECT_EQ(client.Ask(0), Bytes("ACK", 4));
    EXPECT_EQ(activity.MarkedOnceSettled({7, 8, 28}), (std::vector<int>{7, 8, 28}));
    activity.Clear();
    client.SendRawNoWait(client.Request(100));
    client.SendRawNoWait(client.Request(101));
    client.SendRawNoWait(client.Request(82));
    client.SendRawNoWait(client.Request(83));
    EXPECT_EQ(client.Ask(0), Bytes("ACK", 4));
    EXPECT_EQ(activity.MarkedOnceSettled({7, 8, 20, 22, 26, 30}),
              (std::vector<int>{7, 8, 20, 22, 26, 30}));
}

TEST_F(AgentResponder, demand_sync_is_refused_on_windows_2000_and_passed_on_elsewhere) {
    // Whatever runs beside this test, the bench's w32time.dll refuses the agent's demand sync
    // (as a machine without one does): every request that reaches it is reported.
    ASSERT_TRUE(ScriptDemandSyncRefusal(ERROR_SERVICE_NOT_ACTIVE));
    Start();
    QxClient client;
    SetProcessOsFamily(kOsWin2000);
    EXPECT_EQ(client.Ask(3), Bytes("NAK", 4));
    EXPECT_EQ(client.Ask(204), Bytes("NAK", 4));
    // Nothing was asked of the service: its refusal would have been logged.
    EXPECT_TRUE(StaysTrueFor(
        [] { return EventsStartingWith(L"Attempt to trigger a demand clock sync failed") == 0; },
        1200));

    SetProcessOsFamily(kOsWinXP);
    EXPECT_EQ(client.Ask(3), Bytes("ACK", 4));
    EXPECT_TRUE(WaitFor(
        [] { return EventsStartingWith(L"Attempt to trigger a demand clock sync failed") == 1; },
        kPatienceMs));
}

// Watches this program's binds of one port: while it lives, the program's import of ws2_32's
// bind leads here first. Each bind of the port is counted and timed; after the bind numbered
// releaseAfter, the socket given is closed (on the binding thread, before it tries again).
class BindWatch {
public:
    BindWatch(uint16_t port, int releaseAfter, SOCKET release) {
        Watch().port = port;
        Watch().releaseAfter = releaseAfter;
        Watch().release = release;
        Watch().binds = 0;
        slots_ = ImportSlots("ws2_32.dll", "bind");
        for (void** slot : slots_) {
            Watch().real = reinterpret_cast<BindFunction>(*slot);
            Patch(slot, reinterpret_cast<void*>(&WatchedBind));
        }
    }
    ~BindWatch() {
        for (void** slot : slots_) {
            Patch(slot, reinterpret_cast<void*>(Watch().real));
        }
        if (Watch().release != INVALID_SOCKET) {
            closesocket(Watch().release);
        }
    }
    BindWatch(const BindWatch&) = delete;
    BindWatch& operator=(const BindWatch&) = delete;

    bool ok() const { return !slots_.empty(); }
    int Binds() const { return Watch().binds; }
    // Milliseconds between the beginnings of consecutive binds of the port.
    std::vector<ULONGLONG> Gaps() const {
        std::vector<ULONGLONG> gaps;
        for (int i = 1; i < Binds() && i < kMaxBinds; ++i) {
            gaps.push_back(Watch().times[i] - Watch().times[i - 1]);
        }
        return gaps;
    }

private:
    using BindFunction = int(WINAPI*)(SOCKET, const sockaddr*, int);
    static constexpr int kMaxBinds = 16;
    struct State {
        BindFunction real = nullptr;
        uint16_t port = 0;
        int releaseAfter = 0;
        SOCKET release = INVALID_SOCKET;
        std::atomic<int> binds{0};
        ULONGLONG times[kMaxBinds] = {};
    };
    static State& Watch() {
        static State state;
        return state;
    }

    static int WINAPI WatchedBind(SOCKET socket, const sockaddr* name, int length) {
        State& watch = Watch();
        const bool watched =
            name != nullptr && length >= static_cast<int>(sizeof(sockaddr_in)) &&
            name->sa_family == AF_INET &&
            ntohs(reinterpret_cast<const sockaddr_in*>(name)->sin_port) == watch.port;
        int number = 0;
        if (watched) {
            number = ++watch.binds;
            if (number <= kMaxBinds) {
                watch.times[number - 1] = GetTickCount64();
            }
        }
        const int result = watch.real(socket, name, length);
        const int error = WSAGetLastError();
        if (watched && number == watch.releaseAfter && watch.release != INVALID_SOCKET) {
            closesocket(watch.release);
            watch.release = INVALID_SOCKET;
        }
        WSASetLastError(error);
        return result;
    }

    // The entries of this program's import table for a function of a library.
    static std::vector<void**> ImportSlots(const char* library, const char* function) {
        std::vector<void**> found;
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress == 0) {
            return found;
        }
        for (auto* entry =
                 reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             entry->Name != 0; ++entry) {
            if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), library) != 0 ||
                entry->OriginalFirstThunk == 0) {
                continue;
            }
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                    continue;
                }
                const auto* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    found.push_back(reinterpret_cast<void**>(&slots->u1.Function));
                }
            }
        }
        return found;
    }

    static void Patch(void** slot, void* target) {
        DWORD old = 0;
        if (VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old)) {
            InterlockedExchangePointer(slot, target);
            VirtualProtect(slot, sizeof(*slot), old, &old);
        }
    }

    std::vector<void**> slots_;
};

// The address the responder asked for (Wine binds a socket aimed at a loopback address to the
// whole loopback interface, but reports the address it was given).
std::string ResponderAddress() {
    sockaddr_in bound{};
    int size = sizeof(bound);
    if (getsockname(Agent().responderSocket, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
        return "<none>";
    }
    return inet_ntoa(bound.sin_addr);
}

TEST_F(AgentResponder, an_answer_address_not_of_this_machine_binds_to_any_address) {
    WriteValue("", "Server Answer IP", kRegMultiString, "127.0.0.2\0", 11);
    Start();
    EXPECT_EQ(ResponderAddress(), "0.0.0.0");
    EXPECT_EQ(QxClient("127.0.0.1").Ask(0), Bytes("ACK", 4));
    WriteValue("", "Server Answer IP", kRegMultiString, "no-such-host.invalid\0", 22);
    Restart();
    EXPECT_EQ(ResponderAddress(), "0.0.0.0");
    // This machine's own address and name are honoured.
    WriteValue("", "Server Answer IP", kRegMultiString, "127.0.0.1\0", 11);
    Restart();
    EXPECT_EQ(ResponderAddress(), "127.0.0.1");
    EXPECT_EQ(QxClient("127.0.0.1").Ask(0), Bytes("ACK", 4));
    EXPECT_TRUE(IsLocalAddress(inet_addr("127.0.0.1"), nullptr));
    EXPECT_FALSE(IsLocalAddress(inet_addr("127.0.0.2"), nullptr));
    EXPECT_TRUE(IsLocalAddress(inet_addr("127.0.0.1"), "localhost"));
}

TEST_F(AgentResponder, a_port_in_use_three_times_is_bound_on_the_fourth_try_1_5_s_later) {
    UniqueSocket blocker(BindUdp(INADDR_ANY, ManagementPort()));
    ASSERT_TRUE(blocker);
    // The port is held until the agent's third bind of it has failed.
    BindWatch watch(ManagementPort(), 3, blocker.release());
    ASSERT_TRUE(watch.ok()) << "no import of bind to watch";
    const auto started = std::chrono::steady_clock::now();
    Start();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    printf("start with the port held for three binds took %.0f ms\n", ms);
    EXPECT_EQ(watch.Binds(), 4);
    // Half a second between the tries (the clock's tick may round one down a little).
    for (const ULONGLONG gap : watch.Gaps()) {
        EXPECT_GE(gap, 490u);
    }
    EXPECT_GE(ms, 1400.0);
    EXPECT_EQ(Agent().active, 1);
    EXPECT_EQ(QxClient().Ask(0), Bytes("ACK", 4));
    EXPECT_EQ(EventsStartingWith(L"Could not create listen socket"), 0);
}

TEST_F(AgentResponder, a_port_held_for_good_leaves_the_agent_inactive_with_the_error_logged) {
    UniqueSocket blocker(BindUdp(INADDR_ANY, ManagementPort()));
    ASSERT_TRUE(blocker);
    Start();
    EXPECT_EQ(Agent().active, 0);
    const auto events = fake_service::Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].message.rfind(L"Could not create listen socket; Error 10048: ", 0), 0u)
        << std::string(events[0].message.begin(), events[0].message.end());
}

TEST_F(AgentResponder, a_flood_from_one_address_is_cut_to_its_allowance_and_logged_once) {
    WriteNumber("", kReplyRateLimitValue, 1280); // 64-byte pings: 40 at once, then 20 a second
    Start();
    QxClient client;
    constexpr int kSent = 120;
    // Sends the flood; the number answered once the responder has answered or dropped each.
    const auto flood = [&client] {
        const uint64_t droppedBefore = RateLimitedRequests();
        const ULONGLONG start = GetTickCount64();
        for (int i = 0; i < kSent; ++i) {
            client.SendRawNoWait(client.Request(0));
        }
        int answered = 0;
        EXPECT_TRUE(WaitFor(
            [&] {
                while (client.Receive(0).has_value()) {
                    ++answered;
                }
                return answered + static_cast<int>(RateLimitedRequests() - droppedBefore) >= kSent;
            },
            kPatienceMs));
        const ULONGLONG tookMs = GetTickCount64() - start;
        printf("%d of %d pings answered in %llu ms\n", answered, kSent,
               static_cast<unsigned long long>(tookMs));
        return std::make_pair(answered, tookMs);
    };
    const auto [answered, tookMs] = flood();
    printf("%llu dropped by the limit\n", static_cast<unsigned long long>(RateLimitedRequests()));
    // The 40 of the allowance, then 20 a second for as long as the flood took to serve.
    EXPECT_GE(answered, 40);
    EXPECT_LE(answered, 40 + static_cast<int>(20 * tookMs / 1000) + 1);
    EXPECT_EQ(answered + static_cast<int>(RateLimitedRequests()), kSent);
    EXPECT_TRUE(WaitFor(
        [] {
            return EventsStartingWith(L"Dropped 1 management requests from addresses that "
                                      L"exceeded the reply limit of 1280 bytes per second") == 1;
        },
        kPatienceMs));
    // A second later the address has its allowance again, and a second flood is not logged
    // again this hour.
    Sleep(1000);
    EXPECT_EQ(client.Ask(0), Bytes("ACK", 4));
    flood();
    EXPECT_EQ(EventsStartingWith(L"Dropped "), 1);
}

TEST_F(AgentResponder, random_and_oversized_datagrams_change_nothing_but_the_counters) {
    // The probes that pace the noise would soon exceed the default allowance of one address.
    WriteNumber("", kReplyRateLimitValue, 0);
    Start();
    QxClient client;
    const auto before = client.Ask(128);
    ASSERT_EQ(before.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus first;
    DecodeAgentStatusBlock(Data(*before), &first);

    const unsigned seed = std::random_device{}();
    printf("seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int oversized = 0;
    for (int i = 0; i < 1200; ++i) {
        const size_t length = i <= 512 ? i : 513 + random() % 3000;
        std::string datagram(length, '\0');
        for (char& c : datagram) {
            c = static_cast<char>(random());
        }
        // Requests with lasting effects are valid requests, not noise; 201 is the probe below.
        if (length > 4 && (datagram[4] == 3 || datagram[4] == char(129) ||
                           datagram[4] == char(204) || datagram[4] == char(201))) {
            datagram[4] = 0;
        }
        if (length > kMaxRequestSize) {
            ++oversized;
        }
        client.SendRawNoWait(datagram);
        // Keep the agent's receive queue short, so that the kernel drops none of it (a few
        // large datagrams fill a socket's receive buffer).
        if (i % 10 == 9 || length > kMaxRequestSize) {
            ASSERT_TRUE(client.Sync(201, kTestInstallationId, kStatusRecordSize));
        }
    }
    ASSERT_TRUE(client.Sync(201, kTestInstallationId, kStatusRecordSize));
    Sleep(200);

    const auto after = client.Ask(128);
    ASSERT_EQ(after.value_or("").size(), kAgentStatusBlockSize);
    AgentStatus last;
    DecodeAgentStatusBlock(Data(*after), &last);
    EXPECT_EQ(last.role, first.role);
    EXPECT_EQ(last.agentStartTime, first.agentStartTime);
    EXPECT_EQ(last.statisticsResetTime, first.statisticsResetTime);
    EXPECT_EQ(last.lastSyncTime, first.lastSyncTime);
    EXPECT_EQ(last.lastOffsetMs, first.lastOffsetMs);
    EXPECT_EQ(last.offsetSumMs, first.offsetSumMs);
    EXPECT_STREQ(last.partnerName, first.partnerName);
    EXPECT_STREQ(last.versionText, first.versionText);
    EXPECT_EQ(last.statusFlags, first.statusFlags);
    EXPECT_EQ(last.protocol, first.protocol);
    EXPECT_GT(last.bytesReceived, first.bytesReceived);
    // Every datagram over 512 bytes is a failed receive, nothing else is.
    EXPECT_EQ(last.receiveErrors[0], static_cast<uint64_t>(oversized));
    EXPECT_EQ(Agent().active, 1);
    EXPECT_EQ(client.Ask(0), Bytes("ACK", 4));
}

TEST_F(AgentResponder, follows_the_service_once_a_second_while_requests_keep_coming) {
    Start();
    QxClient client;
    ASSERT_EQ(client.Ask(0), Bytes("ACK", 4));
    // A request every millisecond or so: the socket's event is signalled at every wait.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) {
            client.SendRawNoWait(client.Request(0));
            Sleep(1);
        }
    });
    // The service synchronizes with a new partner; the poll sees it and records the partner.
    fake_service::Answers answers;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    answers.lastSyncTime = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    answers.stratum = 3;
    const uint32_t partner = LoopbackAddress("127.0.0.7");
    answers.refId = partner;
    fake_service::SetAnswers(answers);
    const bool followed = WaitFor(
        [&] {
            uint8_t ring[kSourceRingSize] = {};
            ReadBinary(kAgentKey, "Last Used Time Source", ring, sizeof(ring));
            uint32_t newest;
            std::memcpy(&newest, ring + kSourceRingSize - 8, 4);
            return newest == partner;
        },
        kPatienceMs);
    flooding = false;
    flood.join();
    EXPECT_TRUE(followed);
    EXPECT_EQ(Agent().active, 1);
}
