// fake-ntp: an NTP server whose answers the command line scripts, for the bench and the query
// engine's tests. It answers every request until it is killed.
//
//   fake-ntp [--address A] [--port P] [behaviour...]
//
// It binds A (default 127.0.0.2) and P (default 0: a free port), then prints one line
// "listening A:P" and answers each request of at least 48 bytes with a server reply whose
// fields the options below change:
//
//   --offset-ms N        its clock runs N ms ahead of this machine's (negative: behind)
//   --processing-ms N    holds each request N ms between its receive and transmit timestamps
//   --reply-after-ms N   holds the finished reply N ms before sending it (a slow return path)
//   --stratum N          stratum byte (default 2)
//   --leap N             leap indicator 0-3 (default 0)
//   --mode N             mode 0-7 (default 4, server)
//   --refid TEXT         reference identifier, up to 4 characters (default "FAKE")
//   --zero-transmit      transmit timestamp 0
//   --zero-receive       receive timestamp 0
//   --wrong-originate    originate field one fraction unit off the request's transmit field
//   --from-other-port    sends from a second socket on another port of the same address
//   --from-address B     sends from a socket bound to address B
//   --size N             reply length in bytes (default 48; shorter cuts it, longer pads zeros)
//   --junk N             before each reply, sends N datagrams that are not its answer: foreign
//                        originates, short packets and noise, from the right address and port
//   --silent             never replies (junk is still sent)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "timesrc/ntp_packet.h"

namespace {

struct Behaviour {
    const char* address = "127.0.0.2";
    int port = 0;
    long offsetMs = 0;
    DWORD processingMs = 0;
    DWORD replyAfterMs = 0;
    int stratum = 2;
    int leap = 0;
    int mode = kNtpModeServer;
    char refid[5] = "FAKE";
    bool zeroTransmit = false;
    bool zeroReceive = false;
    bool wrongOriginate = false;
    bool fromOtherPort = false;
    const char* fromAddress = nullptr;
    size_t size = kNtpPacketSize;
    unsigned long junk = 0;
    bool silent = false;
};

constexpr size_t kMaxReplySize = 1024;

int Usage(const char* problem) {
    std::fprintf(stderr, "fake-ntp: %s\n(see the comment at the top of fake_ntp_win.cpp)\n",
                 problem);
    return 2;
}

bool ParseArguments(int argc, char** argv, Behaviour* out) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const auto number = [&](long low, long high, long* result) {
            if (value == nullptr) {
                return false;
            }
            char* end = nullptr;
            const long parsed = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || parsed < low || parsed > high) {
                return false;
            }
            *result = parsed;
            ++i;
            return true;
        };
        long n = 0;
        if (std::strcmp(name, "--address") == 0 && value != nullptr) {
            out->address = value;
            ++i;
        } else if (std::strcmp(name, "--port") == 0 && number(0, 65535, &n)) {
            out->port = static_cast<int>(n);
        } else if (std::strcmp(name, "--offset-ms") == 0 &&
                   number(-2000000000L, 2000000000L, &n)) {
            out->offsetMs = n;
        } else if (std::strcmp(name, "--processing-ms") == 0 && number(0, 600000, &n)) {
            out->processingMs = static_cast<DWORD>(n);
        } else if (std::strcmp(name, "--reply-after-ms") == 0 && number(0, 600000, &n)) {
            out->replyAfterMs = static_cast<DWORD>(n);
        } else if (std::strcmp(name, "--stratum") == 0 && number(0, 255, &n)) {
            out->stratum = static_cast<int>(n);
        } else if (std::strcmp(name, "--leap") == 0 && number(0, 3, &n)) {
            out->leap = static_cast<int>(n);
        } else if (std::strcmp(name, "--mode") == 0 && number(0, 7, &n)) {
            out->mode = static_cast<int>(n);
        } else if (std::strcmp(name, "--refid") == 0 && value != nullptr) {
            std::memset(out->refid, 0, sizeof(out->refid));
            std::snprintf(out->refid, sizeof(out->refid), "%s", value);
            ++i;
        } else if (std::strcmp(name, "--zero-transmit") == 0) {
            out->zeroTransmit = true;
        } else if (std::strcmp(name, "--zero-receive") == 0) {
            out->zeroReceive = true;
        } else if (std::strcmp(name, "--wrong-originate") == 0) {
            out->wrongOriginate = true;
        } else if (std::strcmp(name, "--from-other-port") == 0) {
            out->fromOtherPort = true;
        } else if (std::strcmp(name, "--from-address") == 0 && value != nullptr) {
            out->fromAddress = value;
            ++i;
        } else if (std::strcmp(name, "--size") == 0 &&
                   number(1, static_cast<long>(kMaxReplySize), &n)) {
            out->size = static_cast<size_t>(n);
        } else if (std::strcmp(name, "--junk") == 0 && number(0, 100000000L, &n)) {
            out->junk = static_cast<unsigned long>(n);
        } else if (std::strcmp(name, "--silent") == 0) {
            out->silent = true;
        } else {
            return false;
        }
    }
    return true;
}

// This machine's time in file-time units, as finely as the system gives it.
uint64_t FileTimeNow() {
    using PreciseNow = VOID(WINAPI*)(LPFILETIME);
    static const PreciseNow precise = reinterpret_cast<PreciseNow>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    FILETIME now;
    if (precise != nullptr) {
        precise(&now);
    } else {
        GetSystemTimeAsFileTime(&now);
    }
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

NtpTimestamp ServerNow(const Behaviour& behaviour) {
    const int64_t shift = static_cast<int64_t>(behaviour.offsetMs) * 10000;
    return NtpFromFileTime(FileTimeNow() + static_cast<uint64_t>(shift));
}

SOCKET BoundSocket(const char* address, int port) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return s;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port));
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
        bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void Send(SOCKET s, const uint8_t* data, size_t size, const sockaddr_in& to) {
    sendto(s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

// Datagrams a careless client would take for the answer: the reply shape with a foreign
// originate, a packet cut short, and bytes of noise.
void SendJunk(SOCKET s, const Behaviour& behaviour, NtpTimestamp requestTransmit,
              const sockaddr_in& to) {
    uint32_t noise = 0x9E3779B9u ^ static_cast<uint32_t>(requestTransmit);
    for (unsigned long i = 0; i < behaviour.junk; ++i) {
        uint8_t packet[kNtpPacketSize] = {};
        size_t size = sizeof(packet);
        packet[0] = 0x24;
        packet[1] = 1;
        const NtpTimestamp now = ServerNow(behaviour);
        StoreBe64(packet + kNtpReceiveOffset, now);
        StoreBe64(packet + kNtpTransmitOffset, now);
        switch (i % 3) {
        case 0:
            StoreBe64(packet + kNtpOriginateOffset, requestTransmit ^ (uint64_t{i + 1} << 20));
            break;
        case 1:
            StoreBe64(packet + kNtpOriginateOffset, requestTransmit);
            size = 47;
            break;
        default:
            for (uint8_t& byte : packet) {
                noise = noise * 1664525u + 1013904223u;
                byte = static_cast<uint8_t>(noise >> 24);
            }
            break;
        }
        Send(s, packet, size, to);
    }
}

void Answer(SOCKET listener, SOCKET sender, const Behaviour& behaviour, const uint8_t* request,
            const sockaddr_in& client, NtpTimestamp t2) {
    const NtpTimestamp requestTransmit = LoadBe64(request + kNtpTransmitOffset);
    if (behaviour.junk > 0) {
        SendJunk(listener, behaviour, requestTransmit, client);
    }
    if (behaviour.silent) {
        return;
    }
    if (behaviour.processingMs > 0) {
        Sleep(behaviour.processingMs);
    }
    uint8_t reply[kMaxReplySize] = {};
    const uint8_t version = static_cast<uint8_t>((request[0] >> 3) & 7);
    reply[0] = static_cast<uint8_t>((behaviour.leap << 6) | (version << 3) | behaviour.mode);
    reply[1] = static_cast<uint8_t>(behaviour.stratum);
    reply[2] = 6;                                   // poll: 64 s
    reply[3] = static_cast<uint8_t>(-20);           // precision: about 1 us
    StoreBe32(reply + kNtpRootDelayOffset, 0x00000100);      // 3.9 ms
    StoreBe32(reply + kNtpRootDispersionOffset, 0x00000200); // 7.8 ms
    std::memcpy(reply + kNtpReferenceIdOffset, behaviour.refid, 4);
    StoreBe64(reply + kNtpReferenceTimeOffset, t2 - (NtpTimestamp{16} << 32));
    StoreBe64(reply + kNtpOriginateOffset, requestTransmit + (behaviour.wrongOriginate ? 1 : 0));
    StoreBe64(reply + kNtpReceiveOffset, behaviour.zeroReceive ? 0 : t2);
    const NtpTimestamp t3 = ServerNow(behaviour);
    StoreBe64(reply + kNtpTransmitOffset, behaviour.zeroTransmit ? 0 : t3);
    if (behaviour.replyAfterMs > 0) {
        Sleep(behaviour.replyAfterMs);
    }
    Send(sender, reply, behaviour.size, client);
}

} // namespace

int main(int argc, char** argv) {
    Behaviour behaviour;
    if (!ParseArguments(argc, argv, &behaviour)) {
        return Usage("bad arguments");
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return Usage("Winsock did not start");
    }
    const SOCKET listener = BoundSocket(behaviour.address, behaviour.port);
    if (listener == INVALID_SOCKET) {
        std::fprintf(stderr, "fake-ntp: cannot bind %s:%d (error %d)\n", behaviour.address,
                     behaviour.port, WSAGetLastError());
        return 1;
    }
    SOCKET sender = listener;
    if (behaviour.fromOtherPort || behaviour.fromAddress != nullptr) {
        sender = BoundSocket(behaviour.fromAddress ? behaviour.fromAddress : behaviour.address, 0);
        if (sender == INVALID_SOCKET) {
            std::fprintf(stderr, "fake-ntp: cannot bind the sending socket (error %d)\n",
                         WSAGetLastError());
            return 1;
        }
    }
    sockaddr_in bound{};
    int boundSize = sizeof(bound);
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &boundSize);
    std::printf("listening %s:%u\n", behaviour.address, ntohs(bound.sin_port));
    std::fflush(stdout);

    for (;;) {
        uint8_t request[kMaxReplySize];
        sockaddr_in client{};
        int clientSize = sizeof(client);
        const int received = recvfrom(listener, reinterpret_cast<char*>(request), sizeof(request),
                                      0, reinterpret_cast<sockaddr*>(&client), &clientSize);
        const NtpTimestamp t2 = ServerNow(behaviour);
        if (received < static_cast<int>(kNtpPacketSize)) {
            continue; // errors (a reset from an earlier send) and runts alike
        }
        Answer(listener, sender, behaviour, request, client, t2);
    }
}
