// The client against agents of its own on loopback: the portable request handler behind a
// socket, some made to lose or delay answers. Sockets are opened only inside the bench.
#include "responder/client/client_session.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/drift_record.h"
#include "responder/byte_order.h"
#include "responder/client/client_output.h"
#include "responder/request_handler.h"

namespace {

bool InsideBench() {
    const char* netns = std::getenv("HOROLOGIX_NETNS");
    return netns != nullptr && std::strcmp(netns, "1") == 0;
}

#define REQUIRE_BENCH()                                                                            \
    if (!InsideBench()) {                                                                          \
        GTEST_SKIP() << "opens sockets: run inside bench/session";                                 \
    }

// What a fake agent answers: a few history records, and a fixed identity.
class FakeAgentHost final : public ResponderHost {
public:
    void ShowActivity(uint32_t) override {}
    CalendarRecord UtcTime() override { return {2024, 2, 4, 29, 12, 0, 0, 250}; }
    CalendarRecord LocalTime() override { return {2024, 2, 4, 29, 13, 0, 0, 250}; }
    uint32_t UnixNow() override { return now; }
    uint64_t MonotonicMs() override { return 0; }
    bool IsWindows2000() override { return false; }
    void RequestDemandSync() override {}
    void VersionRecordBytes(uint8_t out[kVersionRecordSize]) override {
        EncodeVersionRecord(MakeVersionRecord(kAgentRole, 1600000000, true, "FAKE"), out);
    }
    void TimeZoneFactsBytes(uint8_t out[kTimeZoneFactsSize]) override {
        EncodeTimeZoneFacts(0, "Fake Standard Time", out);
    }
    void CurrentZoneName(char field[kZoneNameField]) override {
        std::memset(field, 0, kZoneNameField);
        std::strcpy(field, "Fake Standard Time");
    }
    uint8_t TimeServiceType() override { return 4; }
    uint32_t MaxPhaseOffset() override { return 300; }
    void DriftRecordAfter(uint32_t after, uint8_t out[kDriftAnswerSize]) override {
        std::memset(out, 0, kDriftAnswerSize);
        for (uint32_t checked : records) {
            if (checked > after) {
                const DriftRecord r = MakeDriftRecord(-5, checked, 1, kReasonScheduled, 0x0100007F,
                                                      kRoleHorologix, 0);
                EncodeDriftRecord(r, out);
                return;
            }
        }
    }
    void ClearHistory() override { records.clear(); }
    void StatusRecordBytes(uint8_t out[kStatusRecordSize]) override {
        StatusRecord r{};
        r.installationId = 0xC0FFEE;
        std::strcpy(r.computerName, "FAKE");
        EncodeStatusRecord(r, out);
    }
    uint32_t InstallationId() override { return 0xC0FFEE; }
    void ReportRateLimited(uint64_t, uint32_t) override {}

    uint32_t now = 1700003600;
    std::vector<uint32_t> records{1700000000, 1700001800, 1700003000};
};

// A responder on 127.0.0.1 and a port of its own, on a thread.
class FakeAgent {
public:
    FakeAgent() {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        socklen_t size = sizeof(local);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size);
        port_ = ntohs(local.sin_port);
        uint8_t filter[kCommandFilterSize];
        const uint8_t open[kCommandFilterSize] = {};
        BuildCommandFilter(open, sizeof(open), true, filter);
        core_ = new ResponderCore();
        ResetResponderCore(core_, filter, 0);
        InitAgentStatus(&status_, kAgentRole, 1700000000, "Fake Standard Time");
        status_.lastOffsetMs = lastOffsetMs;
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeAgent() {
        stop_ = true;
        thread_.join();
        close(socket_);
        delete core_;
    }
    uint16_t port() const { return port_; }
    Endpoint endpoint() const { return Endpoint{htonl(INADDR_LOOPBACK), port_}; }
    // The sequence numbers received, in order.
    std::vector<uint32_t> Sequences() {
        std::lock_guard<std::mutex> hold(lock_);
        return sequences_;
    }
    void SetLastOffset(int64_t ms) {
        std::lock_guard<std::mutex> hold(lock_);
        status_.lastOffsetMs = ms;
    }
    void Prohibit(uint8_t code) {
        std::lock_guard<std::mutex> hold(lock_);
        core_->filter[code] = 1;
    }

    std::atomic<int> dropFirst{0}; // this many datagrams go unanswered
    std::atomic<int> delayMs{0};   // each answer waits this long
    int64_t lastOffsetMs = 0;

private:
    void Run() {
        while (!stop_) {
            pollfd ready{socket_, POLLIN, 0};
            if (poll(&ready, 1, 20) != 1) {
                continue;
            }
            uint8_t datagram[2048];
            sockaddr_in from{};
            socklen_t size = sizeof(from);
            const ssize_t got = recvfrom(socket_, datagram, sizeof(datagram), 0,
                                         reinterpret_cast<sockaddr*>(&from), &size);
            if (got < 0) {
                continue;
            }
            Reply reply;
            RequestOutcome outcome;
            {
                std::lock_guard<std::mutex> hold(lock_);
                sequences_.push_back(LoadLe32(datagram));
                if (dropFirst > 0) {
                    --dropFirst;
                    continue;
                }
                outcome = HandleDatagram(core_, &status_, host_, datagram, static_cast<size_t>(got),
                                         from.sin_addr.s_addr, &reply);
            }
            if (outcome != RequestOutcome::kAnswer) {
                continue;
            }
            if (delayMs > 0) {
                usleep(static_cast<useconds_t>(delayMs) * 1000);
            }
            sendto(socket_, reply.bytes, reply.length, 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    }

    int socket_ = -1;
    uint16_t port_ = 0;
    ResponderCore* core_ = nullptr;
    AgentStatus status_{};
    FakeAgentHost host_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<uint32_t> sequences_;
};

// A loopback port with nobody behind it.
uint16_t SilentPort() {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    socklen_t size = sizeof(local);
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &size);
    close(s);
    return ntohs(local.sin_port);
}

struct ToolRun {
    int status;
    std::string out;
};

// Runs the built client with the arguments; its exit status and standard output.
ToolRun Qxctl(const std::string& arguments, const char* input = nullptr) {
    std::string command = std::string(QXCTL_PATH) + " " + arguments + " 2>/dev/null";
    if (input != nullptr) {
        command = std::string("printf '") + input + "' | " + command;
    }
    FILE* pipe = popen(command.c_str(), "r");
    ToolRun run{-1, ""};
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        run.out.append(buffer, got);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string At(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

} // namespace

TEST(ClientSession, asks_several_hosts_at_once_and_reports_the_silent_one) {
    REQUIRE_BENCH();
    FakeAgent a, b;
    UdpSocket socket;
    ASSERT_TRUE(socket.Open());
    ManagementSession session(socket, 200, 1);
    const std::vector<Endpoint> targets = {
        a.endpoint(), Endpoint{htonl(INADDR_LOOPBACK), SilentPort()}, b.endpoint()};
    const auto answers = session.AskAll(targets, kRequestPing, nullptr, 0, AnswerOfLength(4));
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_TRUE(answers[0].answered);
    EXPECT_FALSE(answers[1].answered);
    EXPECT_EQ(answers[1].tries, 2);
    EXPECT_TRUE(answers[2].answered);
    EXPECT_EQ(answers[2].bytes, std::string("ACK", 4));
    EXPECT_EQ(answers[0].tries, 1);
}

TEST(ClientSession, every_try_carries_a_new_sequence_number_so_a_retry_is_answered) {
    REQUIRE_BENCH();
    FakeAgent agent;
    agent.dropFirst = 2;
    UdpSocket socket;
    ASSERT_TRUE(socket.Open());
    ManagementSession session(socket, 150, 2);
    const Answer answer = session.Ask(agent.endpoint(), kRequestVersion, nullptr, 0,
                                      AnswerOfLength(kVersionRecordSize));
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.tries, 3);
    const auto sequences = agent.Sequences();
    ASSERT_EQ(sequences.size(), 3u);
    EXPECT_NE(sequences[0], sequences[1]);
    EXPECT_NE(sequences[1], sequences[2]);

    // With one number for every try the agent takes the retry for a repeat.
    session.FixSequence(77);
    EXPECT_TRUE(session.Ask(agent.endpoint(), 0, nullptr, 0, AnswerOfLength(4)).answered);
    const Answer repeat = session.Ask(agent.endpoint(), 0, nullptr, 0, AnswerOfLength(4));
    EXPECT_FALSE(repeat.answered);
}

TEST(ClientSession, a_late_answer_to_an_earlier_request_is_not_taken_for_the_next) {
    REQUIRE_BENCH();
    FakeAgent agent;
    agent.delayMs = 300;
    UdpSocket socket;
    ASSERT_TRUE(socket.Open());
    ManagementSession session(socket, 100, 0);
    EXPECT_FALSE(session
                     .Ask(agent.endpoint(), kRequestAgentStatus, nullptr, 0,
                          AnswerOfLength(kAgentStatusBlockSize))
                     .answered);
    agent.delayMs = 0;
    usleep(400 * 1000); // the block arrives now, unasked for
    const Answer ping = session.Ask(agent.endpoint(), 0, nullptr, 0, AnswerOfLength(4));
    ASSERT_TRUE(ping.answered);
    EXPECT_EQ(ping.bytes, std::string("ACK", 4));
}

TEST(Qxctl, prints_records_readably_as_json_and_one_line_per_host) {
    REQUIRE_BENCH();
    FakeAgent agent, other;
    const ToolRun version = Qxctl("version " + At(agent.port()));
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("  computer:  FAKE\n"), std::string::npos) << version.out;
    EXPECT_NE(version.out.find("  installed: 2020-09-13T12:26:40Z\n"), std::string::npos);

    const ToolRun json = Qxctl("--json status " + At(agent.port()));
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\"host\":\"" + At(agent.port()) +
                                 "\",\"command\":\"status\",\"answered\":true,"
                                 "\"installation_id\":\"0x00C0FFEE\",\"computer\":\"FAKE\"",
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find(",\"follows_no_network_source\":false,\"claimed_source\":\"a "
                            "network source\"}"),
              std::string::npos)
        << json.out;

    const ToolRun several = Qxctl("--timeout 200 --retries 0 ping " + At(agent.port()) + " " +
                                  At(SilentPort()) + " " + At(other.port()));
    EXPECT_EQ(several.status, 1);
    int lines = 0;
    for (char c : several.out) {
        lines += c == '\n';
    }
    EXPECT_EQ(lines, 3) << several.out;
    EXPECT_NE(several.out.find(At(agent.port()) + ": answer=ACK round_trip_ms="),
              std::string::npos);
    EXPECT_NE(several.out.find(": no answer after 1 tries"), std::string::npos);

    const ToolRun agentTime = Qxctl("--json time " + At(agent.port()));
    EXPECT_NE(
        agentTime.out.find("\"utc\":\"2024-02-29T12:00:00.250Z\",\"local\":\"2024-02-29T13:00:"
                           "00.250\",\"offset_s\":"),
        std::string::npos)
        << agentTime.out;
}

TEST(Qxctl, history_walks_from_a_moment_to_the_newest_record_as_csv_or_drift_file) {
    REQUIRE_BENCH();
    FakeAgent agent;
    const ToolRun csv = Qxctl("history --from 1700001800 " + At(agent.port()));
    EXPECT_EQ(csv.status, 0);
    EXPECT_EQ(csv.out,
              DriftCsvHeader() +
                  "2023-11-14T22:43:20Z,1700001800,-5,127.0.0.1,Scheduled,Horologix,1,0\n"
                  "2023-11-14T23:03:20Z,1700003000,-5,127.0.0.1,Scheduled,Horologix,1,0\n");

    char path[] = "/tmp/qxctl-drift-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(
        Qxctl("history --format drift --out " + std::string(path) + " " + At(agent.port())).status,
        0);
    FILE* file = std::fopen(path, "rb");
    ASSERT_NE(file, nullptr);
    uint8_t bytes[64];
    const size_t size = std::fread(bytes, 1, sizeof(bytes), file);
    std::fclose(file);
    std::remove(path);
    ASSERT_EQ(size, 60u);
    DriftRecord last;
    DecodeDriftRecord(bytes + 40, &last);
    EXPECT_EQ(last.checkTime, 1700003000u);
    EXPECT_EQ(bytes[0], 41);

    // Every record of the fake follows a correction: the newest one alone is no trend.
    const ToolRun analysis = Qxctl("--json history --analyze " + At(agent.port()));
    EXPECT_EQ(analysis.status, 0);
    EXPECT_NE(analysis.out.find("\"trend\":false,\"note\":\"fewer than 2 records in the "
                                "window\",\"points\":1,\"span_s\":0,\"crossing\":false}"),
              std::string::npos)
        << analysis.out;
    EXPECT_EQ(Qxctl("history --analyze --format drift --out x " + At(agent.port())).status, 2);

    agent.Prohibit(kRequestDriftRecord);
    EXPECT_EQ(Qxctl("--timeout 100 --retries 0 history " + At(agent.port())).status, 1);
}

TEST(Qxctl, check_exits_with_the_plugin_codes) {
    REQUIRE_BENCH();
    FakeAgent agent;
    const std::string host = " " + At(agent.port());
    agent.SetLastOffset(40);
    ToolRun run = Qxctl("check --warn 100 --crit 500 --max-age 3600" + host);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "QX OK - 127.0.0.1:" + std::to_string(agent.port()) +
                           ": variance 40 ms, last verification 2023-11-14T23:03:20Z | "
                           "variance=40ms;100;500;; age=600s;;3600;0;\n");
    agent.SetLastOffset(-200);
    EXPECT_EQ(Qxctl("check --warn 100 --crit 500" + host).status, 1);
    agent.SetLastOffset(900);
    EXPECT_EQ(Qxctl("check --warn 100 --crit 500" + host).status, 2);
    agent.SetLastOffset(0);
    // The newest verification is 600 s old: outside a 300 s window.
    EXPECT_EQ(Qxctl("check --warn 100 --crit 500 --max-age 300" + host).status, 2);
    EXPECT_EQ(Qxctl("--timeout 100 --retries 0 check --warn 1 --crit 2 " + At(SilentPort())).status,
              3);
    EXPECT_EQ(Qxctl("check --warn 100" + host).status, 3);
}

TEST(Qxctl, clear_asks_first_and_raw_shows_any_answer_in_hex) {
    REQUIRE_BENCH();
    FakeAgent agent;
    EXPECT_EQ(Qxctl("clear " + At(agent.port()), "n\\n").status, 1);
    EXPECT_NE(Qxctl("history " + At(agent.port())).out, DriftCsvHeader());
    EXPECT_EQ(Qxctl("clear " + At(agent.port()), "y\\n").status, 0);
    EXPECT_EQ(Qxctl("history " + At(agent.port())).out, DriftCsvHeader());

    const ToolRun ack = Qxctl("--json raw 0x100 " + At(agent.port()));
    EXPECT_NE(ack.out.find("\"length\":4,\"hex\":\"41434b00\""), std::string::npos) << ack.out;
    EXPECT_EQ(Qxctl("--retries 0 --seq 5 raw 4 " + At(agent.port())).status, 0);
    EXPECT_EQ(Qxctl("--timeout 200 --retries 0 --seq 5 raw 4 " + At(agent.port())).status, 1);
    EXPECT_EQ(Qxctl("bogus " + At(agent.port())).status, 2);
    EXPECT_EQ(Qxctl("ping").status, 2);
}
