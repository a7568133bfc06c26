// The client's socket on Windows.
#include "responder/client/udp_socket.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <string>

#include "timesrc/clock_math.h"

bool StartSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

uint16_t ServicePort(const char* service, uint16_t fallback) {
    // getservbyport is not used: some ports cannot be found by number on every system.
    const servent* entry = getservbyname(service, "udp");
    return entry != nullptr ? ntohs(entry->s_port) : fallback;
}

bool ResolveHost(const char* name, uint32_t* address) {
    const unsigned long parsed = inet_addr(name);
    if (parsed != INADDR_NONE || std::string(name) == "255.255.255.255") {
        *address = parsed;
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
    in_addr in;
    in.s_addr = address;
    return inet_ntoa(in);
}

UdpSocket::UdpSocket() : handle_(static_cast<intptr_t>(INVALID_SOCKET)) {}

UdpSocket::~UdpSocket() {
    if (static_cast<SOCKET>(handle_) != INVALID_SOCKET) {
        closesocket(static_cast<SOCKET>(handle_));
    }
}

bool UdpSocket::Open(uint32_t localAddress) {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        error_ = WSAGetLastError();
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = localAddress;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error_ = WSAGetLastError();
        closesocket(s);
        return false;
    }
    handle_ = static_cast<intptr_t>(s);
    return true;
}

bool UdpSocket::EnableBroadcast() {
    const BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(handle_), SOL_SOCKET, SO_BROADCAST,
                   reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
        error_ = WSAGetLastError();
        return false;
    }
    return true;
}

void UdpSocket::SetBufferSizes(int bytes) {
    setsockopt(static_cast<SOCKET>(handle_), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&bytes), sizeof(bytes));
    setsockopt(static_cast<SOCKET>(handle_), SOL_SOCKET, SO_SNDBUF,
               reinterpret_cast<const char*>(&bytes), sizeof(bytes));
}

bool UdpSocket::Send(const Endpoint& to, const uint8_t* bytes, size_t length) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = to.address;
    address.sin_port = htons(to.port);
    if (sendto(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(bytes),
               static_cast<int>(length), 0, reinterpret_cast<const sockaddr*>(&address),
               sizeof(address)) == SOCKET_ERROR) {
        error_ = WSAGetLastError();
        return false;
    }
    return true;
}

int UdpSocket::Receive(uint8_t* buffer, size_t capacity, int waitMs, Endpoint* from) {
    const SOCKET s = static_cast<SOCKET>(handle_);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval limit{waitMs / 1000, (waitMs % 1000) * 1000};
        const int polled = select(0, &readable, nullptr, nullptr, waitMs < 0 ? nullptr : &limit);
        if (polled <= 0) {
            error_ = polled == 0 ? WSAETIMEDOUT : WSAGetLastError();
            return -1;
        }
        sockaddr_in sender{};
        int size = sizeof(sender);
        const int got = recvfrom(s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                                 reinterpret_cast<sockaddr*>(&sender), &size);
        if (got == SOCKET_ERROR) {
            error_ = WSAGetLastError();
            // An unreachable earlier destination (10054) says nothing about this answer, and a
            // longer datagram than asked for (10040) is not one we wait for: read on.
            if (error_ == WSAECONNRESET || error_ == WSAEMSGSIZE) {
                continue;
            }
            return -1;
        }
        if (from != nullptr) {
            from->address = sender.sin_addr.s_addr;
            from->port = ntohs(sender.sin_port);
        }
        return got;
    }
}

bool ReplaceFileAtomically(const std::string& temporary, const std::string& path,
                           std::string* problem) {
    // A collector reading the file holds it open for a moment: the replace then fails with a
    // sharing or access error, and succeeds once the reader has closed it.
    DWORD error = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (MoveFileExA(temporary.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
            error != ERROR_LOCK_VIOLATION) {
            break;
        }
        Sleep(100);
    }
    char text[64];
    std::snprintf(text, sizeof(text), "error %lu", static_cast<unsigned long>(error));
    *problem = "cannot rename " + temporary + " to " + path + ": " + text;
    return false;
}

unsigned long ProcessNumber() {
    return static_cast<unsigned long>(GetCurrentProcessId());
}

double MonotonicMilliseconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double WallSeconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return FileTimeToUnixReal(ticks);
}
