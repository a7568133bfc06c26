// The management client's one UDP socket, over the platform's sockets (POSIX or Winsock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An IPv4 endpoint: address in network byte order, port in host order.
struct Endpoint {
    uint32_t address;
    uint16_t port;
};
inline bool operator==(const Endpoint& a, const Endpoint& b) {
    return a.address == b.address && a.port == b.port;
}

// Starts the platform's sockets (Winsock); true when they can be used.
bool StartSockets();

// The port a service has for udp in the system's service database, or fallback.
uint16_t ServicePort(const char* service, uint16_t fallback);

// The first IPv4 address of a dotted address or a host name; false when there is none.
bool ResolveHost(const char* name, uint32_t* address);

// Dotted text of an address in network byte order.
std::string AddressText(uint32_t address);

class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Opens a socket bound to the local address (network order; 0 for any) and an ephemeral
    // port. False, with error() telling why, when it cannot.
    bool Open(uint32_t localAddress = 0);
    // Lets the socket send to broadcast addresses.
    bool EnableBroadcast();
    // Asks for send and receive buffers of this many bytes (the system may grant less): a
    // fleet's answers arrive in bursts.
    void SetBufferSizes(int bytes);
    bool Send(const Endpoint& to, const uint8_t* bytes, size_t length);
    // Waits up to waitMs for one datagram; its length (cut at capacity), 0 for an empty one, or
    // -1 on time-out or failure.
    int Receive(uint8_t* buffer, size_t capacity, int waitMs, Endpoint* from);
    // The platform's code of the last failure.
    int error() const { return error_; }

private:
    intptr_t handle_;
    int error_ = 0;
};

// Replaces path with the file temporary (in the same folder) in one step, so that a reader sees
// the old file or the new one, never a part. On Windows the rename is tried again for a while
// when another process holds the file open. False, with problem set, when it cannot.
bool ReplaceFileAtomically(const std::string& temporary, const std::string& path,
                           std::string* problem);
// A number that differs between processes running at once (for temporary names).
unsigned long ProcessNumber();

// Milliseconds of a monotonic clock.
double MonotonicMilliseconds();
// Seconds since 1970 UTC, with the fraction.
double WallSeconds();
