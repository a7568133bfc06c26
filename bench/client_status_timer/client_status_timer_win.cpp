// client-status-timer.exe CPL PASSES CLOSES: measures, through the applet's windows, how long one
// status pass of the Client page takes over the six rows the prefix's settings list (from the
// status line's "Checking" to its verdict; each pass is asked for by switching pages), and how
// long CPlApplet takes to return after OK while a pass waits on a silent source (the settings
// are switched to six silent rows for that part). Prints the median and the extremes.
#include <windows.h>
#include <cpl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/window_bench/window_bench_win.h"

namespace {

constexpr UINT kOpenSheet = 0x11223348; // the applet's own "open the sheet" message
constexpr int kStatusLine = 2258;
constexpr int kSecondVariance = 2241;
constexpr char kParameters[] = "System\\CurrentControlSet\\Services\\W32Time\\Parameters";
LARGE_INTEGER g_frequency;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

void Report(const char* what, std::vector<double> values, double goal) {
    std::sort(values.begin(), values.end());
    std::printf("  %-44s median %7.1f ms  min %7.1f  max %7.1f  (goal %.0f ms, %zu runs)\n", what,
                values[values.size() / 2], values.front(), values.back(), goal, values.size());
}

bool SetServers(const std::string& list) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        RegSetValueExA(key, "NtpServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(list.c_str()),
                       static_cast<DWORD>(list.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool IsVerdict(const std::string& line) {
    return !line.empty() && line != "Checking synchronization status....";
}

// Opens the sheet; returns it (null when it did not appear).
HWND OpenSheet(winbench::AppletSession* session, const char* cpl) {
    if (!session->Open(cpl, {{kOpenSheet, 0, 0}})) {
        return nullptr;
    }
    return winbench::WaitForSheet(nullptr, 20000);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: client-status-timer CPL PASSES CLOSES SILENT-SOURCE\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);
    const char* cpl = argv[1];
    const int passes = std::atoi(argv[2]);
    const int closes = std::atoi(argv[3]);
    const std::string silent = argv[4];

    std::vector<double> passTimes;
    {
        winbench::AppletSession session;
        HWND sheet = OpenSheet(&session, cpl);
        if (sheet == nullptr) {
            std::fprintf(stderr, "client-status-timer: no sheet\n");
            return 1;
        }
        HWND page = winbench::CurrentPage(sheet);
        // The first pass starts with the page; wait for its end, then ask for each of ours.
        winbench::WaitUntil([&] { return IsVerdict(winbench::Text(page, kStatusLine)); }, 20000);
        for (int i = 0; i < passes; ++i) {
            winbench::SelectPage(sheet, "Server");
            winbench::SelectPage(sheet, "Client");
            double started = 0;
            if (!winbench::WaitUntil([&] { return !IsVerdict(winbench::Text(page, kStatusLine)); },
                                     20000)) {
                std::fprintf(stderr, "client-status-timer: no pass started\n");
                return 1;
            }
            started = NowMs();
            if (!winbench::WaitUntil([&] { return IsVerdict(winbench::Text(page, kStatusLine)); },
                                     20000)) {
                std::fprintf(stderr, "client-status-timer: the pass did not end\n");
                return 1;
            }
            passTimes.push_back(NowMs() - started);
        }
        std::printf("  verdict: %s\n", winbench::Text(page, kStatusLine).c_str());
        winbench::PressSheetButton(sheet, IDCANCEL);
        session.Wait(20000);
    }

    std::string rows;
    for (int i = 0; i < 6; ++i) {
        rows += (i ? " " : "") + silent;
    }
    if (!SetServers(rows)) {
        std::fprintf(stderr, "client-status-timer: cannot write the server list\n");
        return 1;
    }
    std::vector<double> closeTimes;
    for (int i = 0; i < closes; ++i) {
        winbench::AppletSession session;
        HWND sheet = OpenSheet(&session, cpl);
        if (sheet == nullptr) {
            std::fprintf(stderr, "client-status-timer: no sheet\n");
            return 1;
        }
        HWND page = winbench::CurrentPage(sheet);
        // Mid-query on the second silent row: about 250 ms into its 500 ms wait.
        winbench::WaitUntil([&] { return winbench::Text(page, kSecondVariance) == "Checking"; },
                            20000);
        Sleep(250);
        const double clicked = NowMs();
        winbench::PressSheetButton(sheet, IDOK);
        if (!winbench::WaitUntil([&] { return !session.Running(); }, 30000)) {
            std::fprintf(stderr, "client-status-timer: CPlApplet did not return\n");
            return 1;
        }
        closeTimes.push_back(NowMs() - clicked);
    }

    std::printf("%s\n", cpl);
    Report("status pass over six answering rows:", passTimes, 990);
    Report("OK to CPlApplet's return, pass in flight:", closeTimes, 600);
    return 0;
}
