// ntp-prober SOURCE COUNT [GAP_MS]: COUNT queries of SOURCE through QueryNtpSource, with the
// precise clock running as in the agent, GAP_MS (default 10) apart. One line per query:
// "ok OFFSET_US DELAY_US" (offset positive when the local clock is behind) or "fail ERROR
// SOCKET_ERROR". The bench's ntp-bench script turns these into figures.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "timesrc/ntp_query_win.h"
#include "timesrc/precise_clock_win.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ntp-prober SOURCE COUNT [GAP_MS]\n");
        return 2;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    const long gapMs = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 10;
    if (count <= 0 || gapMs < 0) {
        std::fprintf(stderr, "ntp-prober: COUNT must be above 0 and GAP_MS not below 0\n");
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "ntp-prober: Winsock did not start\n");
        return 1;
    }
    if (!StartPreciseClock(nullptr)) {
        std::fprintf(stderr, "ntp-prober: the precise clock does not run; plain system time\n");
    }
    // Let the clock thread take its first anchors before measuring.
    Sleep(200);
    for (long i = 0; i < count; ++i) {
        const SourceReading reading = QueryNtpSource(argv[1]);
        if (reading.ok) {
            std::printf("ok %.1f %.1f\n", reading.offset / 10.0, reading.delay / 10.0);
        } else {
            std::printf("fail %u %d\n", reading.error, WSAGetLastError());
        }
        Sleep(static_cast<DWORD>(gapMs));
    }
    return 0;
}
