// qx-load: a native load generator for the bench. Sends distinct requests at a fixed rate to a
// management responder (codes 0, 128 and 200 in turn) or to an NTP server (client-mode packets),
// for a few seconds per rate, and reports the share answered and the latency percentiles.
// Loopback only: it refuses any other target.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "responder/byte_order.h"
#include "responder/management_protocol.h"
#include "responder/status_records.h"

namespace {

const char kUsage[] =
    "usage: qx-load --kind qx|ntp --target 127.0.0.1:PORT --rates R1,R2,... [--seconds S]\n"
    "               [--warmup S] [--sockets N] [--codes 0,128,200]\n"
    "prints one line per rate: rate sent answered share%% p50_ms p99_ms max_ms dropped\n";

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Sleeps until the moment without spinning: on a small machine a spinning sender would take the
// processor from the program it measures. Requests that fell due meanwhile go out together.
void SleepUntil(double when) {
    const double left = when - Now();
    if (left > 0) {
        timespec pause{static_cast<time_t>(left),
                       static_cast<long>((left - static_cast<time_t>(left)) * 1e9)};
        nanosleep(&pause, nullptr);
    }
}

// One request at a time per socket, so that an answer is known to be the answer to it: the
// answers carry nothing of the request. Each request goes out on the next socket that waits for
// nothing; a request unanswered after kGiveUpSeconds counts as dropped and frees its socket. An
// answer counts, with its latency, whenever it comes within the stage.
struct Slot {
    int fd;
    bool waiting = false;  // guarded by the lock, as the rest
    bool measured = false; // the request is part of a stage, not of its warm-up
    double sentAt = 0;
    uint32_t expectLength = 0;
    uint64_t token = 0; // ntp: the transmit timestamp the server echoes
};

struct Stage {
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t dropped = 0;          // given up on, or not sent for want of a socket
    std::vector<double> latencies; // seconds
};

bool ParseTarget(const char* text, sockaddr_in* target) {
    std::string s(text);
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    target->sin_family = AF_INET;
    if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &target->sin_addr) != 1) {
        return false;
    }
    const long port = std::strtol(s.c_str() + colon + 1, nullptr, 10);
    if (port <= 0 || port > 65535) {
        return false;
    }
    target->sin_port = htons(static_cast<uint16_t>(port));
    // The bench's rule: load goes to loopback only.
    return (ntohl(target->sin_addr.s_addr) >> 24) == 127;
}

double Percentile(std::vector<double>& values, double share) {
    if (values.empty()) {
        return 0;
    }
    const size_t index = std::min(values.size() - 1,
                                  static_cast<size_t>(share * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

// A request not answered by then is taken for dropped (a server's queue here holds well under a
// second of requests).
constexpr double kGiveUpSeconds = 1.0;

} // namespace

int main(int argc, char** argv) {
    std::string kind;
    sockaddr_in target{};
    bool haveTarget = false;
    std::vector<double> rates;
    double seconds = 5;
    int socketCount = 1024;
    double warmup = 1;
    std::vector<uint8_t> codes = {kRequestPing, kRequestAgentStatus, kRequestStatusRecord};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--kind") {
            kind = argv[i + 1];
        } else if (option == "--target") {
            haveTarget = ParseTarget(argv[i + 1], &target);
        } else if (option == "--rates") {
            for (char* p = argv[i + 1]; *p != '\0';) {
                char* end = nullptr;
                const double rate = std::strtod(p, &end);
                if (end == p || rate <= 0) {
                    std::fputs(kUsage, stderr);
                    return 2;
                }
                rates.push_back(rate);
                p = *end == ',' ? end + 1 : end;
            }
        } else if (option == "--seconds") {
            seconds = std::strtod(argv[i + 1], nullptr);
        } else if (option == "--codes") {
            codes.clear();
            for (char* p = argv[i + 1]; *p != '\0';) {
                char* end = nullptr;
                const long code = std::strtol(p, &end, 10);
                if (end == p || (code != 0 && code != 128 && code != 200)) {
                    std::fputs(kUsage, stderr);
                    return 2;
                }
                codes.push_back(static_cast<uint8_t>(code));
                p = *end == ',' ? end + 1 : end;
            }
        } else if (option == "--warmup") {
            warmup = std::strtod(argv[i + 1], nullptr);
        } else if (option == "--sockets") {
            socketCount = std::atoi(argv[i + 1]);
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if ((kind != "qx" && kind != "ntp") || !haveTarget || rates.empty() || seconds <= 0 ||
        socketCount < 1 || socketCount > 4096 || warmup < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const bool ntp = kind == "ntp";

    std::vector<Slot> slots(static_cast<size_t>(socketCount));
    const int poller = epoll_create1(0);
    for (size_t i = 0; i < slots.size(); ++i) {
        slots[i].fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (slots[i].fd < 0 ||
            bind(slots[i].fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
            connect(slots[i].fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) {
            std::fprintf(stderr, "qx-load: socket: %s\n", std::strerror(errno));
            return 1;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(poller, EPOLL_CTL_ADD, slots[i].fd, &event);
    }

    std::mutex lock;
    Stage* stage = nullptr;
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        epoll_event events[64];
        uint8_t buffer[2048];
        while (!stop) {
            const int ready = epoll_wait(poller, events, 64, 20);
            for (int e = 0; e < ready; ++e) {
                Slot& slot = slots[events[e].data.u64];
                for (;;) {
                    const ssize_t got = recv(slot.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
                    if (got < 0) {
                        break;
                    }
                    const double at = Now();
                    uint64_t origin = 0;
                    if (ntp && got >= 48) {
                        // The server's originate timestamp is our transmit timestamp.
                        std::memcpy(&origin, buffer + 24, 8);
                    }
                    std::lock_guard<std::mutex> hold(lock);
                    if (!slot.waiting || static_cast<uint32_t>(got) != slot.expectLength ||
                        (ntp && origin != slot.token)) {
                        continue; // an answer given up on, or to nothing asked
                    }
                    slot.waiting = false;
                    if (stage != nullptr && slot.measured) {
                        ++stage->answered;
                        stage->latencies.push_back(at - slot.sentAt);
                    }
                }
            }
        }
    });

    uint32_t sequence = static_cast<uint32_t>(time(nullptr)) * 7919u;
    uint64_t ntpToken = 0x0102030405060708ull;
    size_t cursor = 0;
    std::printf("%-8s %9s %9s %7s %8s %8s %8s %7s\n", "rate", "sent", "answered", "share%",
                "p50_ms", "p99_ms", "max_ms", "dropped");
    for (double rate : rates) {
        Stage current;
        // The warm-up lets the processes under test reach their steady state at this rate:
        // the scheduler takes a moment to spread a newly busy program over the processors.
        const uint64_t warm = static_cast<uint64_t>(rate * warmup);
        const uint64_t count = static_cast<uint64_t>(rate * seconds);
        const double begin = Now() + 0.05;
        const double start = begin + static_cast<double>(warm) / rate;
        for (uint64_t i = 0; i < warm + count; ++i) {
            SleepUntil(begin + static_cast<double>(i) / rate);
            const bool measured = i >= warm;
            if (measured && i == warm) {
                std::lock_guard<std::mutex> hold(lock);
                stage = &current;
            }
            uint8_t datagram[kMaxRequestSize];
            size_t length;
            uint64_t token = 0;
            uint32_t expectLength;
            if (ntp) {
                std::memset(datagram, 0, 48);
                datagram[0] = 0x23; // version 4, client
                token = ++ntpToken;
                std::memcpy(datagram + 40, &token, 8);
                expectLength = 48;
                length = 48;
            } else {
                const uint8_t code = codes[i % codes.size()];
                length = EncodeManagementRequest(++sequence, code, nullptr, 0, datagram);
                expectLength = static_cast<uint32_t>(ReplyLength(code, 0, 1));
            }
            Slot* slot = nullptr;
            {
                std::lock_guard<std::mutex> hold(lock);
                const double now = Now();
                for (size_t tried = 0; tried < slots.size() && slot == nullptr; ++tried) {
                    Slot& next = slots[cursor];
                    cursor = (cursor + 1) % slots.size();
                    if (next.waiting && now - next.sentAt > kGiveUpSeconds) {
                        next.waiting = false;
                        if (next.measured) {
                            ++current.dropped;
                        }
                    }
                    if (!next.waiting) {
                        slot = &next;
                    }
                }
                if (measured) {
                    ++current.sent;
                }
                if (slot == nullptr) {
                    // Every socket waits for an answer: the request is lost before it is sent.
                    if (measured) {
                        ++current.dropped;
                    }
                    continue;
                }
                slot->waiting = true;
                slot->measured = measured;
                slot->sentAt = now;
                slot->expectLength = expectLength;
                slot->token = token;
            }
            send(slot->fd, datagram, length, 0);
        }
        const double elapsed = Now() - start;
        usleep(500 * 1000); // stragglers
        std::lock_guard<std::mutex> hold(lock);
        stage = nullptr;
        for (Slot& slot : slots) {
            if (slot.waiting && slot.measured) {
                ++current.dropped;
            }
            slot.waiting = false;
        }
        std::vector<double>& l = current.latencies;
        const double p50 = Percentile(l, 0.50) * 1000, p99 = Percentile(l, 0.99) * 1000;
        const double worst = l.empty() ? 0 : *std::max_element(l.begin(), l.end()) * 1000;
        std::printf("%-8.0f %9" PRIu64 " %9" PRIu64 " %7.2f %8.3f %8.3f %8.3f %7" PRIu64
                    "  (sent at %.0f/s)\n",
                    rate, current.sent, current.answered,
                    current.sent ? 100.0 * static_cast<double>(current.answered) /
                                       static_cast<double>(current.sent)
                                 : 0.0,
                    p50, p99, worst, current.dropped, static_cast<double>(current.sent) / elapsed);
        std::fflush(stdout);
    }
    stop = true;
    receiver.join();
    return 0;
}
