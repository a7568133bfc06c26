#include "timesrc/ntp_query_win.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "agent/shared_blocks_win.h"
#include "timesrc/precise_clock_win.h"

namespace {

// Room for any reply we could use: a header with extension fields or an authenticator. A larger
// datagram is not an answer to our request.
constexpr int kReceiveBufferSize = 2048;

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// One query's socket, its readiness event and where it stands.
class Exchange {
public:
    Exchange(SOCKET socket, const sockaddr_in& server, NtpTimestamp t1, SourceReading* reading)
        : socket_(socket), server_(server), t1_(t1), reading_(reading) {}

    enum class Step { kContinue, kDone, kFailed };

    // Receives one queued datagram and judges it; T4 is taken right after the receive returns.
    // kContinue also when nothing was queued (*empty set) or the datagram was not our reply.
    Step ReceiveOne(bool* empty) {
        *empty = false;
        sockaddr_in from{};
        int fromSize = sizeof(from);
        const int received = recvfrom(socket_, reinterpret_cast<char*>(buffer_), sizeof(buffer_), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromSize);
        const NtpTimestamp t4 = NtpTimestampNow();
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                *empty = true;
                return Step::kContinue;
            }
            if (error == WSAEMSGSIZE) {
                return Step::kContinue; // too large to be our reply
            }
            socketError_ = error;
            return Step::kFailed;
        }
        if (fromSize < static_cast<int>(sizeof(from)) || from.sin_family != AF_INET ||
            !SameEndpoint(from, server_)) {
            return Step::kContinue;
        }
        const size_t size = static_cast<size_t>(received);
        const NtpReplyVerdict verdict = JudgeNtpReply(buffer_, size, t1_);
        if (verdict == NtpReplyVerdict::kNotOurs) {
            return Step::kContinue;
        }
        SetActivityIndicator(kActivityNtpReply);
        std::memcpy(reading_->reply, buffer_, size < kNtpReplyKeep ? size : kNtpReplyKeep);
        if (verdict == NtpReplyVerdict::kRefused) {
            reading_->error = kErrorInvalidTime;
            return Step::kDone;
        }
        const NtpMeasurement measured = MeasureNtpExchange(
            t1_, LoadBe64(buffer_ + kNtpReceiveOffset), LoadBe64(buffer_ + kNtpTransmitOffset), t4);
        reading_->offset = measured.offset;
        reading_->delay = measured.delay;
        reading_->delayMs = measured.delayMs;
        reading_->ok = true;
        return Step::kDone;
    }

    int socketError() const { return socketError_; }

private:
    SOCKET socket_;
    sockaddr_in server_;
    NtpTimestamp t1_;
    SourceReading* reading_;
    int socketError_ = 0;
    uint8_t buffer_[kReceiveBufferSize];
};

// Sends the request and waits for the genuine reply until the deadline or the stop event.
// Returns the socket error to leave for the caller: 0 when a reply was judged, and also when a
// system call other than a socket's failed (its error is then in reading->error).
int RunExchange(SOCKET socket, const sockaddr_in& server, uint32_t timeoutMs, HANDLE stopEvent,
                SourceReading* reading) {
    UniqueKernelHandle readable(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!readable) {
        reading->error = GetLastError();
        return 0;
    }
    // Selected before the send so that no arrival goes unsignalled; the socket is non-blocking
    // from here on.
    if (WSAEventSelect(socket, readable.get(), FD_READ) == SOCKET_ERROR) {
        return WSAGetLastError();
    }

    SetActivityIndicator(kActivityNtpRequest);
    const NtpTimestamp t1 = NtpTimestampNow();
    BuildNtpRequest(t1, reading->request);
    if (sendto(socket, reinterpret_cast<const char*>(reading->request), kNtpPacketSize, 0,
               reinterpret_cast<const sockaddr*>(&server), sizeof(server)) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;

    Exchange exchange(socket, server, t1, reading);
    const HANDLE waits[2] = {readable.get(), stopEvent};
    const DWORD waitCount = stopEvent != nullptr ? 2 : 1;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return WSAETIMEDOUT;
        }
        const DWORD woke =
            WaitForMultipleObjects(waitCount, waits, FALSE, static_cast<DWORD>(deadline - now));
        if (woke == WAIT_TIMEOUT) {
            return WSAETIMEDOUT;
        }
        if (woke == WAIT_OBJECT_0 + 1) {
            return WSAEINTR;
        }
        if (woke != WAIT_OBJECT_0) {
            reading->error = GetLastError();
            return 0;
        }

        // The first receive comes before the event is reset, to keep T4 close to the arrival.
        // Resetting before the draining receives means an arrival after the last one of them
        // (which re-enables the notice) signals the event again.
        bool empty = false;
        Exchange::Step step = exchange.ReceiveOne(&empty);
        ResetEvent(readable.get());
        while (step == Exchange::Step::kContinue && !empty) {
            // A flood of foreign datagrams must not hold the query past its time-out or a stop.
            if (GetTickCount64() >= deadline) {
                return WSAETIMEDOUT;
            }
            if (stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
                return WSAEINTR;
            }
            step = exchange.ReceiveOne(&empty);
        }
        if (step == Exchange::Step::kDone) {
            return 0;
        }
        if (step == Exchange::Step::kFailed) {
            return exchange.socketError();
        }
    }
}

} // namespace

NtpTimestamp NtpTimestampNow() {
    return NtpFromFileTime(PreciseFileTimeNow());
}

ResolveResult ResolveEndpoint(const char* host, const char* service, uint16_t defaultPort,
                              SocketKind kind, sockaddr_in* endpoint) {
    std::memset(endpoint, 0, sizeof(*endpoint));
    endpoint->sin_family = AF_INET;
    endpoint->sin_port = htons(defaultPort);
    if (service != nullptr && service[0] != '\0') {
        if (const servent* entry =
                getservbyname(service, kind == SocketKind::kDatagram ? "udp" : "tcp")) {
            endpoint->sin_port = static_cast<u_short>(entry->s_port); // already network order
        }
    }

    uint32_t address = 0;
    if (ParseDottedAddress(host, &address)) {
        endpoint->sin_addr.s_addr = address;
        return kResolvedDotted;
    }
    if (host == nullptr || host[0] == '\0') {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return kResolveFailed;
    }

    SetActivityIndicator(kActivityLookupStarted);
    // Winsock keeps the answer per thread, so queries on several threads do not disturb each
    // other.
    const hostent* found = gethostbyname(host);
    if (found == nullptr) {
        return kResolveFailed; // the lookup's error is the thread's socket error
    }
    if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list == nullptr ||
        found->h_addr_list[0] == nullptr) {
        WSASetLastError(WSANO_DATA);
        return kResolveFailed;
    }
    std::memcpy(&endpoint->sin_addr.s_addr, found->h_addr_list[0], 4);
    SetActivityIndicator(kActivityLookupSucceeded);
    return kResolvedByName;
}

UniqueSocket OpenClientSocket(const char* host, const char* service, uint16_t defaultPort,
                              SocketKind kind, uint32_t receiveTimeoutMs, sockaddr_in* endpoint) {
    sockaddr_in resolved;
    if (ResolveEndpoint(host, service, defaultPort, kind, &resolved) == kResolveFailed) {
        return UniqueSocket();
    }
    const bool datagram = kind == SocketKind::kDatagram;
    UniqueSocket socket(::socket(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM,
                                 datagram ? IPPROTO_UDP : IPPROTO_TCP));
    if (!socket) {
        return socket;
    }
    const DWORD timeout = receiveTimeoutMs;
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    if (!datagram) {
        const BOOL noDelay = TRUE;
        setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof(noDelay));
    }
    if (endpoint != nullptr) {
        *endpoint = resolved;
    }
    return socket;
}

SourceReading QueryNtpSource(const char* source, uint32_t timeoutMs, HANDLE stopEvent) {
    SourceReading reading{};
    WSASetLastError(0);

    char host[kSourceHostSize];
    uint16_t port = 0;
    if (ParseSourceText(source, host, &port) != SourceTextStatus::kOk) {
        reading.error = kErrorInvalidParameter;
        return reading;
    }
    if (timeoutMs == 0) {
        timeoutMs = kDefaultQueryTimeoutMs;
    }

    RaiseThreadPriority(true);
    int socketError = 0;
    if (stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
        socketError = WSAEINTR;
    } else {
        sockaddr_in server;
        // A port in the text wins over the service database.
        UniqueSocket socket =
            OpenClientSocket(host, port != 0 ? nullptr : "ntp", port != 0 ? port : kNtpDefaultPort,
                             SocketKind::kDatagram, timeoutMs, &server);
        if (!socket) {
            socketError = WSAGetLastError();
        } else {
            socketError = RunExchange(socket.get(), server, timeoutMs, stopEvent, &reading);
            shutdown(socket.get(), SD_BOTH);
        }
    }
    RaiseThreadPriority(false);
    WSASetLastError(socketError);
    return reading;
}
