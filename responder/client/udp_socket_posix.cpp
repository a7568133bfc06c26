// The client's socket on POSIX systems.
#include "responder/client/udp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

bool StartSockets() {
    return true;
}

uint16_t ServicePort(const char* service, uint16_t fallback) {
    const servent* entry = getservbyname(service, "udp");
    return entry != nullptr ? ntohs(static_cast<uint16_t>(entry->s_port)) : fallback;
}

bool ResolveHost(const char* name, uint32_t* address) {
    in_addr parsed;
    if (inet_pton(AF_INET, name, &parsed) == 1) {
        *address = parsed.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

std::string AddressText(uint32_t address) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr in;
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof(text));
    return text;
}

UdpSocket::UdpSocket() : handle_(-1) {}

UdpSocket::~UdpSocket() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
    }
}

bool UdpSocket::Open(uint32_t localAddress) {
    const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0) {
        error_ = errno;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = localAddress;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error_ = errno;
        close(s);
        return false;
    }
    handle_ = s;
    return true;
}

bool UdpSocket::EnableBroadcast() {
    const int on = 1;
    if (setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

void UdpSocket::SetBufferSizes(int bytes) {
    setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
}

bool UdpSocket::Send(const Endpoint& to, const uint8_t* bytes, size_t length) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = to.address;
    address.sin_port = htons(to.port);
    if (sendto(static_cast<int>(handle_), bytes, length, 0,
               reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
        error_ = errno;
        return false;
    }
    return true;
}

int UdpSocket::Receive(uint8_t* buffer, size_t capacity, int waitMs, Endpoint* from) {
    pollfd ready{static_cast<int>(handle_), POLLIN, 0};
    const int polled = poll(&ready, 1, waitMs < 0 ? 0 : waitMs);
    if (polled <= 0) {
        error_ = polled == 0 ? ETIMEDOUT : errno;
        return -1;
    }
    sockaddr_in sender{};
    socklen_t size = sizeof(sender);
    const ssize_t got = recvfrom(static_cast<int>(handle_), buffer, capacity, 0,
                                 reinterpret_cast<sockaddr*>(&sender), &size);
    if (got < 0) {
        error_ = errno;
        return -1;
    }
    if (from != nullptr) {
        from->address = sender.sin_addr.s_addr;
        from->port = ntohs(sender.sin_port);
    }
    return static_cast<int>(got);
}

bool ReplaceFileAtomically(const std::string& temporary, const std::string& path,
                           std::string* problem) {
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *problem =
            std::string("cannot rename ") + temporary + " to " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

unsigned long ProcessNumber() {
    return static_cast<unsigned long>(getpid());
}

double MonotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

double WallSeconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
