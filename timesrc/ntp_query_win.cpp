#include "timesrc/ntp_query_win.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "common/shared_blocks.h"
#include "timesrc/precise_clock_win.h"

namespace {

// Room for any reply we could use: a header with extension fields or an authenticator. A larger
// datagram is not an answer to our request.
constexpr int kReceiveBufferSize = 2048;

// Longest single receive wait while a stop event is watched: how late a stop can be noticed.
// The receive itself blocks rather than waiting on an event: under Wine an event wait adds some
// 30 us between the arrival and T4, which shows as a bias in every offset.
constexpr DWORD kStopCheckMs = 50;

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Process-wide: set by the agent's start-up, read by every query's thread.
std::atomic<NetworkActivityCallback> g_activity{nullptr};

void ShowActivity(uint32_t slot) {
    if (NetworkActivityCallback activity = g_activity.load()) {
        activity(slot);
    }
}

bool StopRequested(HANDLE stopEvent) {
    return stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

// The receiving half of one query: judges each datagram against the request sent at t1.
class Exchange {
public:
    Exchange(SOCKET socket, const sockaddr_in& server, NtpTimestamp t1, SourceReading* reading)
        : socket_(socket), server_(server), t1_(t1), reading_(reading) {}

    enum class Step { kContinue, kTimedOut, kDone, kFailed };

    // Receives one datagram, waiting at most the socket's receive time-out, and judges it; T4 is
    // taken right after the receive returns. kContinue when the datagram was not our reply.
    Step ReceiveOne() {
        sockaddr_in from{};
        int fromSize = sizeof(from);
        const int received = recvfrom(socket_, reinterpret_cast<char*>(buffer_), sizeof(buffer_), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromSize);
        const NtpTimestamp t4 = NtpTimestampNow();
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAETIMEDOUT) {
                return Step::kTimedOut;
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
        ShowActivity(kActivityNtpReply);
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

// Sets the socket's receive time-out for the next wait: what is left until the deadline, and no
// more than kStopCheckMs while a stop event is watched. False once the deadline has passed.
bool SetNextWait(SOCKET socket, ULONGLONG deadline, HANDLE stopEvent, DWORD* wait) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
        return false;
    }
    DWORD slice = static_cast<DWORD>(deadline - now);
    if (stopEvent != nullptr && slice > kStopCheckMs) {
        slice = kStopCheckMs;
    }
    if (slice != *wait) {
        *wait = slice;
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(wait),
                   sizeof(*wait));
    }
    return true;
}

// Sends the request and receives until the genuine reply, the deadline or the stop event.
// Returns the socket error to leave for the caller (0 when a reply was judged).
int RunExchange(SOCKET socket, const sockaddr_in& server, uint32_t timeoutMs, HANDLE stopEvent,
                SourceReading* reading) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD wait = timeoutMs; // the receive time-out the socket was opened with
    // Nothing but the send lies between T1 and the first receive.
    SetNextWait(socket, deadline, stopEvent, &wait);
    ShowActivity(kActivityNtpRequest);
    const NtpTimestamp t1 = NtpTimestampNow();
    BuildNtpRequest(t1, reading->request);
    if (sendto(socket, reinterpret_cast<const char*>(reading->request), kNtpPacketSize, 0,
               reinterpret_cast<const sockaddr*>(&server), sizeof(server)) == SOCKET_ERROR) {
        return WSAGetLastError();
    }

    Exchange exchange(socket, server, t1, reading);
    for (;;) {
        const Exchange::Step step = exchange.ReceiveOne();
        if (step == Exchange::Step::kDone) {
            return 0;
        }
        if (step == Exchange::Step::kFailed) {
            return exchange.socketError();
        }
        // Checked after every datagram too, so a flood of foreign ones cannot hold the query
        // past its time-out or a stop.
        if (StopRequested(stopEvent)) {
            return WSAEINTR;
        }
        if (!SetNextWait(socket, deadline, stopEvent, &wait)) {
            return WSAETIMEDOUT;
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

    ShowActivity(kActivityLookupStarted);
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
    ShowActivity(kActivityLookupSucceeded);
    return kResolvedByName;
}

void SetNetworkActivityCallback(NetworkActivityCallback callback) {
    g_activity.store(callback);
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
    if (StopRequested(stopEvent)) {
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
