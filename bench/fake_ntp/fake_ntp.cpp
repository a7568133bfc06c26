// fake-ntp: NTP servers whose answers the command line scripts, for the bench and the query
// engine's tests: what a real server will not send (a wrong clock, refusals, spoofed, late or
// flooded answers). A native Linux program: under Wine a socket cannot be bound to 127.0.0.2 and
// beyond (Wine binds the wildcard instead), so the fakes run beside Wine, not in it.
//
//   fake-ntp [--lifetime-s N] --listen NAME ADDRESS:PORT [behaviour...] [--listen ...]
//
// Each listener binds its address and port (0: a free one) and answers every request of at
// least 48 bytes, on a thread of its own, with a server reply that these options change:
//
//   --offset-ms N        its clock runs N ms ahead of this machine's (negative: behind)
//   --drift-ms-per-s N   and its lead grows by N ms every second from its first request on
//                        (negative: shrinks), a clock that runs fast (or slow) at a steady rate
//   --processing-ms N    holds each request N ms between its receive and transmit timestamps
//   --reply-after-ms N   holds the finished reply N ms before sending it (a slow return path)
//   --stratum N          stratum byte (default 2)
//   --leap N             leap indicator 0-3 (default 0)
//   --mode N             mode 0-7 (default 4, server)
//   --refid TEXT         reference identifier, up to 4 characters (default "FAKE")
//   --zero-transmit      transmit timestamp 0
//   --zero-receive       receive timestamp 0
//   --wrong-originate    originate one fraction unit off the request's transmit field
//   --from-other-port    sends from a second socket on another port of the same address
//   --from-address B     sends from address B, on the listener's port
//   --size N             reply length in bytes (default 48; shorter cuts it, longer pads zeros)
//   --junk N             before each reply, sends N datagrams that are not its answer (foreign
//                        originates, short packets, noise) from the listener's address and port
//   --silent             never replies (junk is still sent)
//
// Once every listener is bound it prints one line "NAME ADDRESS:PORT" per listener, then
// "ready", and serves until it is killed (or, with --lifetime-s, until that many seconds passed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "timesrc/clock_math.h"
#include "timesrc/ntp_packet.h"

namespace {

constexpr size_t kMaxDatagram = 2048;

struct Behaviour {
    std::string name;
    std::string address;
    int port = 0;
    long offsetMs = 0;
    long driftMsPerS = 0;
    // File time of the first request: the drift's origin. Written and read by the listener's
    // own thread only.
    mutable uint64_t driftOrigin = 0;
    long processingMs = 0;
    long replyAfterMs = 0;
    int stratum = 2;
    int leap = 0;
    int mode = kNtpModeServer;
    char refid[4] = {'F', 'A', 'K', 'E'};
    bool zeroTransmit = false;
    bool zeroReceive = false;
    bool wrongOriginate = false;
    bool fromOtherPort = false;
    std::string fromAddress;
    size_t size = kNtpPacketSize;
    unsigned long junk = 0;
    bool silent = false;

    int listener = -1;
    int sender = -1;
};

bool ParseNumber(const char* text, long low, long high, long* out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

bool ParseEndpoint(const char* text, Behaviour* out) {
    const char* colon = text != nullptr ? std::strrchr(text, ':') : nullptr;
    long port = 0;
    if (colon == nullptr || !ParseNumber(colon + 1, 0, 65535, &port)) {
        return false;
    }
    out->address.assign(text, static_cast<size_t>(colon - text));
    out->port = static_cast<int>(port);
    return true;
}

// One behaviour option at argv[*i] (and its value); false when it is not one.
bool ParseOption(int argc, char** argv, int* i, Behaviour* b) {
    const std::string option = argv[*i];
    const char* value = *i + 1 < argc ? argv[*i + 1] : nullptr;
    long n = 0;
    const auto number = [&](long low, long high) {
        if (!ParseNumber(value, low, high, &n)) {
            return false;
        }
        ++*i;
        return true;
    };
    if (option == "--offset-ms" && number(-2000000000L, 2000000000L)) {
        b->offsetMs = n;
    } else if (option == "--drift-ms-per-s" && number(-1000000L, 1000000L)) {
        b->driftMsPerS = n;
    } else if (option == "--processing-ms" && number(0, 600000)) {
        b->processingMs = n;
    } else if (option == "--reply-after-ms" && number(0, 600000)) {
        b->replyAfterMs = n;
    } else if (option == "--stratum" && number(0, 255)) {
        b->stratum = static_cast<int>(n);
    } else if (option == "--leap" && number(0, 3)) {
        b->leap = static_cast<int>(n);
    } else if (option == "--mode" && number(0, 7)) {
        b->mode = static_cast<int>(n);
    } else if (option == "--refid" && value != nullptr) {
        std::memset(b->refid, 0, sizeof(b->refid));
        std::memcpy(b->refid, value, std::min(std::strlen(value), sizeof(b->refid)));
        ++*i;
    } else if (option == "--zero-transmit") {
        b->zeroTransmit = true;
    } else if (option == "--zero-receive") {
        b->zeroReceive = true;
    } else if (option == "--wrong-originate") {
        b->wrongOriginate = true;
    } else if (option == "--from-other-port") {
        b->fromOtherPort = true;
    } else if (option == "--from-address" && value != nullptr) {
        b->fromAddress = value;
        ++*i;
    } else if (option == "--size" && number(1, static_cast<long>(kMaxDatagram))) {
        b->size = static_cast<size_t>(n);
    } else if (option == "--junk" && number(0, 1000000000L)) {
        b->junk = static_cast<unsigned long>(n);
    } else if (option == "--silent") {
        b->silent = true;
    } else {
        return false;
    }
    return true;
}

// This machine's time in file-time units (100 ns since 1601).
uint64_t FileTimeNow() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return kFileTimeUnixEpoch + static_cast<uint64_t>(now.tv_sec) * kFileTimeUnitsPerSecond +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

NtpTimestamp ServerNow(const Behaviour& b) {
    const uint64_t now = FileTimeNow();
    if (b.driftOrigin == 0) {
        b.driftOrigin = now;
    }
    // Lead in 100 ns units: the fixed offset plus the drift since the first request (N ms per
    // second is N x 10^4 units per 10^7 units, N / 1000 of the elapsed time).
    const int64_t elapsed = static_cast<int64_t>(now - b.driftOrigin);
    const int64_t lead = int64_t{b.offsetMs} * 10000 + elapsed / 1000 * int64_t{b.driftMsPerS};
    return NtpFromFileTime(now + static_cast<uint64_t>(lead));
}

void SleepMs(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int BoundSocket(const std::string& address, int port) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void Send(int s, const uint8_t* data, size_t size, const sockaddr_in& to) {
    // Errors (the client gone, a full buffer during a flood) do not matter to a fake.
    (void)sendto(s, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

// Datagrams a careless client would take for the answer: the reply's shape with a foreign
// originate, a packet cut short, and noise.
void SendJunk(const Behaviour& b, NtpTimestamp requestTransmit, const sockaddr_in& to) {
    uint32_t noise = 0x9E3779B9u ^ static_cast<uint32_t>(requestTransmit);
    for (unsigned long i = 0; i < b.junk; ++i) {
        uint8_t packet[kNtpPacketSize] = {};
        size_t size = sizeof(packet);
        packet[0] = 0x24;
        packet[1] = 1;
        const NtpTimestamp now = ServerNow(b);
        StoreBe64(packet + kNtpReceiveOffset, now);
        StoreBe64(packet + kNtpTransmitOffset, now);
        switch (i % 3) {
        case 0:
            StoreBe64(packet + kNtpOriginateOffset, requestTransmit ^ (uint64_t{i + 1} << 20));
            break;
        case 1:
            StoreBe64(packet + kNtpOriginateOffset, requestTransmit);
            size = kNtpPacketSize - 1;
            break;
        default:
            for (uint8_t& byte : packet) {
                noise = noise * 1664525u + 1013904223u;
                byte = static_cast<uint8_t>(noise >> 24);
            }
            break;
        }
        Send(b.listener, packet, size, to);
    }
}

void Answer(const Behaviour& b, const uint8_t* request, const sockaddr_in& client,
            NtpTimestamp t2) {
    const NtpTimestamp requestTransmit = LoadBe64(request + kNtpTransmitOffset);
    if (b.junk > 0) {
        SendJunk(b, requestTransmit, client);
    }
    if (b.silent) {
        return;
    }
    if (b.processingMs > 0) {
        SleepMs(b.processingMs);
    }
    uint8_t reply[kMaxDatagram] = {};
    const int version = (request[0] >> 3) & 7;
    reply[0] = static_cast<uint8_t>((b.leap << 6) | (version << 3) | b.mode);
    reply[1] = static_cast<uint8_t>(b.stratum);
    reply[2] = 6;                                            // poll: 64 s
    reply[3] = static_cast<uint8_t>(-20);                    // precision: about 1 us
    StoreBe32(reply + kNtpRootDelayOffset, 0x00000100);      // 3.9 ms
    StoreBe32(reply + kNtpRootDispersionOffset, 0x00000200); // 7.8 ms
    std::memcpy(reply + kNtpReferenceIdOffset, b.refid, sizeof(b.refid));
    StoreBe64(reply + kNtpReferenceTimeOffset, t2 - (NtpTimestamp{16} << 32));
    StoreBe64(reply + kNtpOriginateOffset, requestTransmit + (b.wrongOriginate ? 1 : 0));
    StoreBe64(reply + kNtpReceiveOffset, b.zeroReceive ? 0 : t2);
    StoreBe64(reply + kNtpTransmitOffset, b.zeroTransmit ? 0 : ServerNow(b));
    if (b.replyAfterMs > 0) {
        SleepMs(b.replyAfterMs);
    }
    Send(b.sender, reply, b.size, client);
}

void Serve(const Behaviour* b) {
    for (;;) {
        uint8_t request[kMaxDatagram];
        sockaddr_in client{};
        socklen_t clientSize = sizeof(client);
        const ssize_t received = recvfrom(b->listener, request, sizeof(request), 0,
                                          reinterpret_cast<sockaddr*>(&client), &clientSize);
        const NtpTimestamp t2 = ServerNow(*b);
        if (received < static_cast<ssize_t>(kNtpPacketSize)) {
            continue; // errors and runts alike
        }
        Answer(*b, request, client, t2);
    }
}

int Usage(const char* problem, const char* argument) {
    std::fprintf(stderr, "fake-ntp: %s%s%s\n(see the comment at the top of fake_ntp.cpp)\n",
                 problem, argument ? ": " : "", argument ? argument : "");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Behaviour> listeners;
    long lifetime = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--lifetime-s" &&
            ParseNumber(i + 1 < argc ? argv[i + 1] : nullptr, 1, 86400, &lifetime)) {
            ++i;
        } else if (option == "--listen" && i + 2 < argc) {
            Behaviour b;
            b.name = argv[i + 1];
            if (!ParseEndpoint(argv[i + 2], &b)) {
                return Usage("bad ADDRESS:PORT", argv[i + 2]);
            }
            listeners.push_back(b);
            i += 2;
        } else if (listeners.empty() || !ParseOption(argc, argv, &i, &listeners.back())) {
            return Usage("bad argument", argv[i]);
        }
    }
    if (listeners.empty()) {
        return Usage("no --listen given", nullptr);
    }

    for (Behaviour& b : listeners) {
        b.listener = BoundSocket(b.address, b.port);
        if (b.listener < 0) {
            std::fprintf(stderr, "fake-ntp: %s: cannot bind %s:%d: %s\n", b.name.c_str(),
                         b.address.c_str(), b.port, std::strerror(errno));
            return 1;
        }
        sockaddr_in bound{};
        socklen_t boundSize = sizeof(bound);
        getsockname(b.listener, reinterpret_cast<sockaddr*>(&bound), &boundSize);
        b.port = ntohs(bound.sin_port);
        b.sender = b.listener;
        if (b.fromOtherPort || !b.fromAddress.empty()) {
            // Another address keeps the listener's port, so that only the address gives it away.
            b.sender =
                b.fromOtherPort ? BoundSocket(b.address, 0) : BoundSocket(b.fromAddress, b.port);
            if (b.sender < 0) {
                std::fprintf(stderr, "fake-ntp: %s: cannot bind the sending socket: %s\n",
                             b.name.c_str(), std::strerror(errno));
                return 1;
            }
        }
        std::printf("%s %s:%d\n", b.name.c_str(), b.address.c_str(), b.port);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    for (const Behaviour& b : listeners) {
        std::thread(Serve, &b).detach();
    }
    if (lifetime > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(lifetime));
        return 0;
    }
    for (;;) {
        pause();
    }
}
