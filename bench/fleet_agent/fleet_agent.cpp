// fleet-agent: many simulated agents on loopback addresses, for the exporter, the survey and
// the fleet benchmark. Each address answers the management protocol through the product's own
// request handler and record encoders, with its own clock offset, age of its last
// verification, version and computer name; an address not listed stays silent.
//
// Addresses: one UDP socket bound to 0.0.0.0:PORT receives for every address, because all of
// 127.0.0.0/8 is local on Linux's loopback; IP_PKTINFO tells which address a request was sent
// to, and the answer goes out from that address (ipi_spec_dst). Nothing needs adding to lo and
// no IP_FREEBIND: any number of addresses costs one socket.
//
// usage: fleet-agent [--port N] [--range FIRST COUNT] [--agents FILE] [--prohibit-history]
//   --port N            UDP port (0, the default: any free one); "ready PORT" is printed once
//                       the agents answer
//   --range FIRST COUNT COUNT agents from address FIRST on, with made-up values: offset
//                       (i * 37 mod 2001) - 1000 ms, last verification 60 + (i mod 1700) s
//                       ago, computer SIM-<i>
//   --agents FILE       lines "ADDRESS OFFSET_MS AGE_S [VERSION [COMPUTER]]" ('#' comments);
//                       they override the range's values for their addresses
//   --prohibit-history  every agent drops history requests (160), as an agent does whose
//                       "Prohibited QX2 Commands" value is absent
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/drift_record.h"
#include "responder/management_protocol.h"
#include "responder/request_handler.h"
#include "responder/status_records.h"

namespace {

struct Profile {
    int64_t offsetMs; // reference minus this agent's clock: positive when it is behind
    uint32_t ageSeconds;
    std::string version;
    std::string computer;
};

// The true time: this machine's clock, which the bench keeps right.
double TrueSeconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

CalendarRecord Calendar(double seconds) {
    const time_t whole = static_cast<time_t>(seconds);
    tm parts;
    gmtime_r(&whole, &parts);
    CalendarRecord r{};
    r.year = static_cast<uint16_t>(parts.tm_year + 1900);
    r.month = static_cast<uint16_t>(parts.tm_mon + 1);
    r.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    r.day = static_cast<uint16_t>(parts.tm_mday);
    r.hour = static_cast<uint16_t>(parts.tm_hour);
    r.minute = static_cast<uint16_t>(parts.tm_min);
    r.second = static_cast<uint16_t>(parts.tm_sec);
    r.milliseconds = static_cast<uint16_t>((seconds - static_cast<double>(whole)) * 1000);
    return r;
}

void CopyText(char* field, size_t size, const std::string& text) {
    std::snprintf(field, size, "%s", text.c_str());
}

// One simulated agent: its records as its own clock sees them.
class SimulatedAgent final : public ResponderHost {
public:
    SimulatedAgent(uint32_t address, const Profile& profile, uint32_t startedTrue,
                   bool prohibitHistory)
        : address_(address), profile_(profile) {
        const uint32_t now = UnixNow();
        started_ = startedTrue - static_cast<uint32_t>(profile.offsetMs / 1000);
        InitAgentStatus(&status_, kAgentRole, started_, "Coordinated Universal Time");
        status_.lastOffsetMs = profile.offsetMs;
        status_.offsetSumMs = profile.offsetMs;
        status_.protocol = kProtocolNtp;
        status_.timeServiceType = 4;
        status_.lastSyncTime = now - profile.ageSeconds;
        status_.syncSuccesses = 1 + address % 50;
        status_.syncEvents = status_.syncSuccesses + address % 3;
        status_.syncFailures = address % 3;
        CopyText(status_.versionText, sizeof(status_.versionText), profile.version);
        SetPartnerName(&status_, "127.0.0.1");
        uint8_t filter[kCommandFilterSize];
        const uint8_t open[kCommandFilterSize] = {};
        // An unreadable filter value prohibits the history request, as on a fresh machine.
        BuildCommandFilter(open, sizeof(open), !prohibitHistory, filter);
        ResetResponderCore(&core_, filter, 0);
    }

    RequestOutcome Handle(const uint8_t* bytes, size_t length, uint32_t from, Reply* reply) {
        return HandleDatagram(&core_, &status_, *this, bytes, length, from, reply);
    }
    void Sent(int64_t bytes) { NoteReplySent(&status_, bytes, UnixNow()); }

    void ShowActivity(uint32_t) override {}
    CalendarRecord UtcTime() override { return Calendar(AgentSeconds()); }
    CalendarRecord LocalTime() override { return Calendar(AgentSeconds()); }
    uint32_t UnixNow() override { return static_cast<uint32_t>(AgentSeconds()); }
    uint64_t MonotonicMs() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    bool IsWindows2000() override { return false; }
    void RequestDemandSync() override {}
    void VersionRecordBytes(uint8_t out[kVersionRecordSize]) override {
        VersionRecord r =
            MakeVersionRecord(kAgentRole, started_ - 86400, true, profile_.computer.c_str());
        CopyText(r.versionText, sizeof(r.versionText), profile_.version);
        EncodeVersionRecord(r, out);
    }
    void TimeZoneFactsBytes(uint8_t out[kTimeZoneFactsSize]) override {
        EncodeTimeZoneFacts(0, "Coordinated Universal Time", out);
    }
    void CurrentZoneName(char field[kZoneNameField]) override {
        std::memset(field, 0, kZoneNameField);
        CopyText(field, kZoneNameField, "Coordinated Universal Time");
    }
    uint8_t TimeServiceType() override { return 4; }
    uint32_t MaxPhaseOffset() override { return 300; }
    void DriftRecordAfter(uint32_t after, uint8_t out[kDriftAnswerSize]) override {
        std::memset(out, 0, kDriftAnswerSize);
        const uint32_t checked = UnixNow() - profile_.ageSeconds;
        if (checked > after) {
            EncodeDriftRecord(MakeDriftRecord(profile_.offsetMs, checked, 1, kReasonScheduled,
                                              htonl(INADDR_LOOPBACK), kRoleHorologix, 0),
                              out);
        }
    }
    void ClearHistory() override {}
    void StatusRecordBytes(uint8_t out[kStatusRecordSize]) override {
        StatusRecord r{};
        r.installationId = address_;
        // Windows XP, NT, in standard time.
        r.flags = kAgentRole | kFlagVersionBit | kFlagNT | (1u << 19) | kFlagAlways |
                  (2u << kFlagZoneShift);
        r.protocol = status_.protocol;
        r.marker = kStatusRecordMarker;
        r.localTime = LocalTime();
        r.utcTime = UtcTime();
        r.lastOffsetMs = status_.lastOffsetMs;
        r.syncSuccesses = status_.syncSuccesses;
        r.syncEvents = status_.syncEvents;
        r.syncFailures = status_.syncFailures;
        r.installTime = started_ - 86400;
        r.now = UnixNow();
        r.lastSyncTime = status_.lastSyncTime;
        r.agentStartTime = started_;
        CopyText(r.timeZoneName, sizeof(r.timeZoneName), "Coordinated Universal Time");
        CopyText(r.versionText, sizeof(r.versionText), profile_.version);
        CopyText(r.partnerName, sizeof(r.partnerName), status_.partnerName);
        CopyText(r.computerName, sizeof(r.computerName), profile_.computer);
        r.products = 0x8200;
        EncodeStatusRecord(r, out);
    }
    uint32_t InstallationId() override { return address_; }
    void ReportRateLimited(uint64_t, uint32_t) override {}

private:
    double AgentSeconds() const {
        return TrueSeconds() - static_cast<double>(profile_.offsetMs) / 1000.0;
    }

    uint32_t address_;
    Profile profile_;
    uint32_t started_;
    AgentStatus status_;
    ResponderCore core_;
};

bool ParseAddress(const char* text, uint32_t* network) {
    in_addr parsed;
    if (inet_pton(AF_INET, text, &parsed) != 1) {
        return false;
    }
    *network = parsed.s_addr;
    return true;
}

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "fleet-agent: %s\nusage: fleet-agent [--port N] [--range FIRST COUNT] "
                 "[--agents FILE]\n",
                 problem);
    return 2;
}

bool ReadAgentsFile(const char* path, std::unordered_map<uint32_t, Profile>* profiles) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "fleet-agent: cannot read %s\n", path);
        return false;
    }
    char line[512];
    int number = 0;
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        ++number;
        char address[64] = "", version[64] = "4.1.b.20070418R", computer[64] = "";
        long long offset = 0;
        unsigned long age = 0;
        if (line[0] == '#' || line[0] == '\n') {
            continue;
        }
        const int got =
            std::sscanf(line, "%63s %lld %lu %63s %63s", address, &offset, &age, version, computer);
        uint32_t network = 0;
        if (got < 3 || !ParseAddress(address, &network)) {
            std::fprintf(stderr,
                         "fleet-agent: %s:%d: want ADDRESS OFFSET_MS AGE_S [VERSION "
                         "[COMPUTER]]\n",
                         path, number);
            std::fclose(file);
            return false;
        }
        if (got < 5) {
            std::snprintf(computer, sizeof(computer), "SIM-%s", address);
        }
        (*profiles)[network] = Profile{offset, static_cast<uint32_t>(age), version, computer};
    }
    std::fclose(file);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    bool prohibitHistory = false;
    std::unordered_map<uint32_t, Profile> profiles;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
            if (port < 0 || port > 65535) {
                return Usage("--port wants 0 to 65535");
            }
        } else if (arg == "--range" && i + 2 < argc) {
            uint32_t first = 0;
            if (!ParseAddress(argv[i + 1], &first)) {
                return Usage("--range wants a dotted address");
            }
            const long count = std::atol(argv[i + 2]);
            if (count < 1 || count > 1 << 20) {
                return Usage("--range wants a count from 1 to 1048576");
            }
            i += 2;
            for (long n = 0; n < count; ++n) {
                const uint32_t address = htonl(ntohl(first) + static_cast<uint32_t>(n));
                char computer[32];
                std::snprintf(computer, sizeof(computer), "SIM-%05ld", n);
                profiles[address] =
                    Profile{(n * 37) % 2001 - 1000, static_cast<uint32_t>(60 + n % 1700),
                            "4.1.b.20070418R", computer};
            }
        } else if (arg == "--prohibit-history") {
            prohibitHistory = true;
        } else if (arg == "--agents" && i + 1 < argc) {
            if (!ReadAgentsFile(argv[++i], &profiles)) {
                return 1;
            }
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    if (profiles.empty()) {
        return Usage("no agents: give --range or --agents");
    }

    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
    const int buffer = 8 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        std::fprintf(stderr, "fleet-agent: cannot bind port %d: %s\n", port, std::strerror(errno));
        return 1;
    }
    socklen_t size = sizeof(local);
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &size);

    const uint32_t started = static_cast<uint32_t>(TrueSeconds());
    std::unordered_map<uint32_t, std::unique_ptr<SimulatedAgent>> agents;
    agents.reserve(profiles.size());
    for (const auto& entry : profiles) {
        agents.emplace(entry.first, std::make_unique<SimulatedAgent>(entry.first, entry.second,
                                                                     started, prohibitHistory));
    }
    std::printf("ready %u\n", static_cast<unsigned>(ntohs(local.sin_port)));
    std::fflush(stdout);

    uint8_t datagram[kMaxRequestSize];
    Reply reply;
    for (;;) {
        sockaddr_in sender{};
        iovec data{datagram, sizeof(datagram)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof(sender);
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t got = recvmsg(s, &message, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "fleet-agent: receive failed: %s\n", std::strerror(errno));
            return 1;
        }
        in_pktinfo info{};
        bool haveInfo = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                std::memcpy(&info, CMSG_DATA(c), sizeof(info));
                haveInfo = true;
            }
        }
        if (!haveInfo) {
            continue;
        }
        const auto agent = agents.find(info.ipi_addr.s_addr);
        if (agent == agents.end()) {
            continue; // no agent at that address: silence
        }
        if (agent->second->Handle(datagram, static_cast<size_t>(got), sender.sin_addr.s_addr,
                                  &reply) != RequestOutcome::kAnswer) {
            continue;
        }
        // Answer from the address that was asked.
        alignas(cmsghdr) char answerControl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        iovec answer{reply.bytes, reply.length};
        msghdr out{};
        out.msg_name = &sender;
        out.msg_namelen = sizeof(sender);
        out.msg_iov = &answer;
        out.msg_iovlen = 1;
        out.msg_control = answerControl;
        out.msg_controllen = sizeof(answerControl);
        cmsghdr* c = CMSG_FIRSTHDR(&out);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo from{};
        from.ipi_spec_dst = info.ipi_addr;
        std::memcpy(CMSG_DATA(c), &from, sizeof(from));
        const ssize_t sent = sendmsg(s, &out, 0);
        agent->second->Sent(sent);
    }
}
