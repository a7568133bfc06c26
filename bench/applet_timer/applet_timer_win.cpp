// applet-timer CPL CAPTION RUNS: how long an applet takes from CPL_DBLCLK to its sheet being
// visible, and from pressing OK to CPlApplet returning, over RUNS openings; prints the median,
// the fastest and the slowest of each in milliseconds, and every opening in turn. The applet runs
// on a thread of its own, as on Control Panel's thread; this thread watches for the sheet and
// presses OK.
#include <windows.h>
#include <cpl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/window_bench/window_bench_win.h"

namespace {

LARGE_INTEGER g_frequency;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

struct Times {
    double opened = 0;
    double returned = 0;
};

void Report(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const double median = values.size() % 2 == 1
                              ? values[values.size() / 2]
                              : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    std::printf("%s median %.1f ms, fastest %.1f ms, slowest %.1f ms\n", what, median,
                values.front(), values.back());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: applet-timer CPL CAPTION RUNS\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);
    const char* caption = argv[2];
    const int runs = std::atoi(argv[3]);
    HMODULE library = LoadLibraryA(argv[1]);
    auto entry = library != nullptr ? reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(
                                          GetProcAddress(library, "CPlApplet")))
                                    : nullptr;
    if (entry == nullptr) {
        std::fprintf(stderr, "applet-timer: cannot load %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::vector<double> open;
    std::vector<double> close;
    for (int run = 0; run < runs; ++run) {
        Times times;
        double clicked = 0;
        winbench::AppletSession session;
        session.Run([&]() -> LONG_PTR {
            CPLINFO info{};
            entry(nullptr, CPL_INIT, 0, 0);
            entry(nullptr, CPL_GETCOUNT, 0, 0);
            entry(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info));
            times.opened = NowMs();
            const LONG result = entry(nullptr, CPL_DBLCLK, 0, info.lData);
            times.returned = NowMs();
            entry(nullptr, CPL_STOP, 0, info.lData);
            entry(nullptr, CPL_EXIT, 0, 0);
            return result;
        });
        HWND sheet = nullptr;
        for (int i = 0; i < 20000 && sheet == nullptr; ++i) {
            HWND found = FindWindowA("#32770", caption);
            if (found != nullptr && IsWindowVisible(found)) {
                sheet = found;
            } else {
                Sleep(1);
            }
        }
        const double visible = NowMs();
        if (sheet == nullptr) {
            std::fprintf(stderr, "applet-timer: no visible \"%s\" after 20 s\n", caption);
            return 1;
        }
        Sleep(300); // let the first page settle as a user would look at it
        clicked = NowMs();
        winbench::PressSheetButton(sheet, IDOK);
        if (!session.Wait(30000)) {
            std::fprintf(stderr, "applet-timer: CPlApplet did not return\n");
            return 1;
        }
        open.push_back(visible - times.opened);
        close.push_back(times.returned - clicked);
    }
    std::printf("%s (%d runs)\n", argv[1], runs);
    Report("  CPL_DBLCLK to visible sheet:", open);
    Report("  OK to CPlApplet returning:  ", close);
    std::printf("  each opening in turn (ms):");
    for (double value : open) {
        std::printf(" %.0f", value);
    }
    std::printf("\n");
    return 0;
}
