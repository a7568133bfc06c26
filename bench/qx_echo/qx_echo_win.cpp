// qx-echo PORT: the environment's limit beside the agent. A bare Winsock responder on the
// management port's terms: a UDP socket bound as the agent binds its own, with the agent's
// receive queue, read readiness selected onto an event and waited for as the agent thread waits,
// the same turns per wake-up; each request is answered at once with as many bytes as the agent's
// answer to its code would have (the request's own bytes, then zeros), and nothing else is done.
// Runs until killed. Only the bench starts it, inside its loopback-only namespace.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "responder/management_protocol.h"
#include "responder/turn_budget.h"

namespace {

LARGE_INTEGER g_frequency;

uint64_t Microseconds() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart) * 1000000 /
           static_cast<uint64_t>(g_frequency.QuadPart);
}

// One wake-up: the datagrams queued, within the agent's turn budget.
void ServeTurn(SOCKET socket) {
    const uint64_t begin = Microseconds();
    for (int served = 0; ServeAnotherDatagram(served, Microseconds() - begin); ++served) {
        u_long queued = 0;
        if (served > 0 && ioctlsocket(socket, FIONREAD, &queued) == 0 && queued == 0) {
            return;
        }
        if (served == 1) {
            WSAEventSelect(socket, nullptr, 0); // selected again after the turn
        }
        uint8_t request[kMaxRequestSize];
        sockaddr_in from{};
        int fromLength = sizeof(from);
        const int received = recvfrom(socket, reinterpret_cast<char*>(request), sizeof(request), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEMSGSIZE) {
                continue;
            }
            return;
        }
        ManagementRequest parsed;
        if (!ParseManagementRequest(request, static_cast<size_t>(received), &parsed)) {
            continue;
        }
        const size_t length = ReplyLength(parsed.code, parsed.dataWord, 0);
        if (length == 0) {
            continue;
        }
        uint8_t reply[kMaxReplySize] = {};
        std::memcpy(reply, request,
                    static_cast<size_t>(received) < length ? static_cast<size_t>(received)
                                                           : length);
        sendto(socket, reinterpret_cast<const char*>(reply), static_cast<int>(length), 0,
               reinterpret_cast<const sockaddr*>(&from), fromLength);
    }
}

} // namespace

int main(int argc, char** argv) {
    const long port = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: qx-echo PORT\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
        std::fprintf(stderr, "qx-echo: Winsock did not start\n");
        return 1;
    }
    SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port));
    local.sin_addr.s_addr = INADDR_ANY;
    if (socket == INVALID_SOCKET ||
        bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        std::fprintf(stderr, "qx-echo: cannot bind port %ld (%d)\n", port, WSAGetLastError());
        return 1;
    }
    // The agent thread's five events, of which the socket's is the fourth.
    HANDLE events[5];
    for (HANDLE& event : events) {
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE& readable = events[3];
    WSAEventSelect(socket, readable, FD_READ);
    std::printf("qx-echo: answering on port %ld\n", port);
    std::fflush(stdout);
    for (;;) {
        const DWORD woken = WaitForMultipleObjectsEx(5, events, FALSE, 1000, TRUE);
        if (woken == WAIT_OBJECT_0 + 3) {
            ServeTurn(socket);
            WSAEventSelect(socket, readable, FD_READ);
        } else if (woken == WAIT_FAILED) {
            Sleep(100);
        }
    }
}
