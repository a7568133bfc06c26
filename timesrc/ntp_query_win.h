// The NTP/SNTP client: one request and one reply per query, measuring how far the local clock
// is from a time source; and the address lookup and client socket it is built on.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "common/unique_handle_win.h"
#include "timesrc/ntp_packet.h"
#include "timesrc/ntp_source.h"

// Receive time-out a query uses when the caller passes 0.
constexpr uint32_t kDefaultQueryTimeoutMs = 2000;
constexpr uint16_t kNtpDefaultPort = 123;

// Asks one NTP source for the time and measures the local clock against it. source is a host
// name or dotted IPv4 address, optionally followed by ":port"; without a port the system's
// "ntp" service entry gives it (123 when there is none). Waits at most timeoutMs (0: 2000 ms)
// for a reply from that address and port whose originate field matches the request; other
// datagrams are skipped. Once stopEvent is set the query ends within 50 ms, socket error
// 10004.
// Blocking; runs on the caller's thread at raised priority; Winsock must be started. Failures:
// reading.error 87 (bad source text) or 1901 (the source's clock is not set), or error 0 and the
// thread's socket error set (the lookup's error, 10060 on a time-out, 10004 when stopped, or
// the failing socket call's). The thread's socket error is 0 after success.
SourceReading QueryNtpSource(const char* source, uint32_t timeoutMs = 0,
                             HANDLE stopEvent = nullptr);

// The current time (PreciseFileTimeNow) as an NTP timestamp.
NtpTimestamp NtpTimestampNow();

// Told the activity-block slot (common/shared_blocks.h) of each step of the network a query
// takes: the request about to be sent, a reply received, a name lookup started and succeeded.
// The agent points it at its activity block when it starts; elsewhere (null) nothing is told.
// Any thread may set it.
using NetworkActivityCallback = void (*)(uint32_t slot);
void SetNetworkActivityCallback(NetworkActivityCallback callback);

enum class SocketKind { kDatagram, kStream };

enum ResolveResult : int {
    kResolveFailed = 0,  // the name lookup failed; its error is the thread's socket error
    kResolvedByName = 1, // found by a name lookup (the first IPv4 address is taken)
    kResolvedDotted = 2, // the host was a dotted IPv4 address
};

// The IPv4 address and port of host. The port is defaultPort unless service is given and the
// system's service database knows it for UDP (datagram) or TCP (stream).
ResolveResult ResolveEndpoint(const char* host, const char* service, uint16_t defaultPort,
                              SocketKind kind, sockaddr_in* endpoint);

// An unbound IPv4 UDP or TCP socket for talking to host (resolved as ResolveEndpoint does, into
// endpoint when it is not null) with the receive time-out in milliseconds; TCP sockets get no
// send delay. Empty on failure, with the thread's socket error set.
UniqueSocket OpenClientSocket(const char* host, const char* service, uint16_t defaultPort,
                              SocketKind kind, uint32_t receiveTimeoutMs,
                              sockaddr_in* endpoint = nullptr);
