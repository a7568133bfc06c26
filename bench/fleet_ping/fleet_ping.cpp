// fleet-ping: the bare request/answer loop the fleet benchmark compares qxctl with. It sends
// one ping (request 0) to each of COUNT addresses from FIRST on, at most K unanswered at once,
// with no decoding and no retries, and prints how many answered, the wall time and the rate:
// what this machine's loopback and the simulated agents allow.
//
// usage: fleet-ping FIRST COUNT PORT [K]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    in_addr first{};
    if (argc < 4 || inet_pton(AF_INET, argv[1], &first) != 1) {
        std::fprintf(stderr, "usage: fleet-ping FIRST COUNT PORT [IN_FLIGHT]\n");
        return 2;
    }
    const long count = std::atol(argv[2]);
    const int port = std::atoi(argv[3]);
    const long inFlight = argc > 4 ? std::atol(argv[4]) : 256;
    if (count < 1 || port < 1 || port > 65535 || inFlight < 1) {
        std::fprintf(stderr, "fleet-ping: COUNT, PORT and IN_FLIGHT must be positive\n");
        return 2;
    }
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int buffer = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    const auto start = std::chrono::steady_clock::now();
    long sent = 0, answered = 0, waiting = 0;
    // Each agent ignores an exact repeat of its previous datagram: a run numbers its requests
    // from a base of its own.
    const uint32_t base = static_cast<uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() * 2654435761u);
    unsigned char request[12] = {0};
    unsigned char answer[64];
    for (;;) {
        while (sent < count && waiting < inFlight) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(port));
            to.sin_addr.s_addr = htonl(ntohl(first.s_addr) + static_cast<uint32_t>(sent));
            const uint32_t sequence = base + static_cast<uint32_t>(sent);
            std::memcpy(request, &sequence, sizeof(sequence));
            sendto(s, request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
            ++sent;
            ++waiting;
        }
        pollfd ready{s, POLLIN, 0};
        if (poll(&ready, 1, 500) <= 0) {
            break; // the rest is lost
        }
        while (recv(s, answer, sizeof(answer), MSG_DONTWAIT) > 0) {
            ++answered;
            --waiting;
        }
        if (answered >= count) {
            break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("answered %ld of %ld in %.3f s: %.0f answers/s\n", answered, count, seconds,
                static_cast<double>(answered) / seconds);
    close(s);
    return answered == count ? 0 : 1;
}
