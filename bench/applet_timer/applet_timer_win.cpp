// applet-timer RUNS CPL CAPTION [CPL CAPTION]...: how long each applet takes from CPL_DBLCLK to
// its sheet being visible, and from pressing OK to CPlApplet returning. A CPL given as
// "bare:PATH" is no applet but the floor beneath one: a property sheet of PATH's own page
// templates (the pages of a local machine with the agent installed), with the library's common
// controls and page procedures that do nothing, captioned CAPTION: what Wine takes to show
// those windows at all. The applets take turns,
// one opening each per round, after one opening each that is not counted (the first opening of a
// process loads libraries and warms caches), so that a machine whose load changes during the run
// weighs on all alike. Prints, per applet, the median, the fastest and the slowest of each in
// milliseconds, and every opening in turn. The applet runs on a thread of its own, as on Control
// Panel's thread; this thread watches for the sheet and presses OK.
#include <windows.h>
#include <cpl.h>
#include <commctrl.h>
#include <prsht.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/window_bench/window_bench_win.h"
#include "resources/resource.h"

namespace {

LARGE_INTEGER g_frequency;

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

void Report(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const double median = values.size() % 2 == 1
                              ? values[values.size() / 2]
                              : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    std::printf("%s median %.1f ms, fastest %.1f ms, slowest %.1f ms\n", what, median,
                values.front(), values.back());
}

HMODULE g_bareModule = nullptr;
const char* g_bareCaption = "";

INT_PTR CALLBACK BarePage(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

LONG APIENTRY BareSheet(HWND owner, UINT message, LPARAM, LPARAM) {
    if (message != CPL_DBLCLK) {
        return message == CPL_GETCOUNT || message == CPL_INIT ? 1 : 0;
    }
    // The library's manifest: common controls 6, as the applet has them.
    ACTCTXA context{};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.hModule = g_bareModule;
    context.lpResourceName = MAKEINTRESOURCEA(IDR_MANIFEST_DLL);
    HANDLE activation = CreateActCtxA(&context);
    ULONG_PTR cookie = 0;
    const bool active = activation != INVALID_HANDLE_VALUE && ActivateActCtx(activation, &cookie);
    const int templates[] = {IDD_CLIENT_PAGE, IDD_SERVER_PAGE, IDD_AGENT_PAGE, IDD_SERVICE_PAGE,
                             IDD_ABOUT_PAGE};
    PROPSHEETPAGEA pages[5] = {};
    for (int i = 0; i < 5; ++i) {
        pages[i].dwSize = sizeof(pages[i]);
        pages[i].hInstance = g_bareModule;
        pages[i].pszTemplate = MAKEINTRESOURCEA(templates[i]);
        pages[i].pfnDlgProc = BarePage;
    }
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_PROPSHEETPAGE;
    header.hwndParent = owner;
    header.hInstance = g_bareModule;
    header.pszCaption = g_bareCaption;
    header.nPages = 5;
    header.ppsp = pages;
    PropertySheetA(&header);
    if (active) {
        DeactivateActCtx(0, cookie);
    }
    if (activation != INVALID_HANDLE_VALUE) {
        ReleaseActCtx(activation);
    }
    return 0;
}

struct Applet {
    const char* path;
    const char* caption;
    APPLET_PROC entry;
    std::vector<double> open;
    std::vector<double> close;
};

// One opening: the sheet's time to show and the time from OK to CPlApplet returning.
bool OpenOnce(Applet& applet, double* opened, double* closed) {
    double dblclk = 0;
    double returned = 0;
    winbench::AppletSession session;
    session.Run([&]() -> LONG_PTR {
        CPLINFO info{};
        applet.entry(nullptr, CPL_INIT, 0, 0);
        applet.entry(nullptr, CPL_GETCOUNT, 0, 0);
        applet.entry(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info));
        dblclk = NowMs();
        const LONG result = applet.entry(nullptr, CPL_DBLCLK, 0, info.lData);
        returned = NowMs();
        applet.entry(nullptr, CPL_STOP, 0, info.lData);
        applet.entry(nullptr, CPL_EXIT, 0, 0);
        return result;
    });
    HWND sheet = nullptr;
    for (int i = 0; i < 20000 && sheet == nullptr; ++i) {
        HWND found = FindWindowA("#32770", applet.caption);
        if (found != nullptr && IsWindowVisible(found)) {
            sheet = found;
        } else {
            Sleep(1);
        }
    }
    const double visible = NowMs();
    if (sheet == nullptr) {
        std::fprintf(stderr, "applet-timer: no visible \"%s\" after 20 s\n", applet.caption);
        return false;
    }
    Sleep(300); // let the first page settle as a user would look at it
    const double clicked = NowMs();
    winbench::PressSheetButton(sheet, IDOK);
    if (!session.Wait(30000)) {
        std::fprintf(stderr, "applet-timer: CPlApplet of %s did not return\n", applet.path);
        return false;
    }
    *opened = visible - dblclk;
    *closed = returned - clicked;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (argc - 2) % 2 != 0) {
        std::fprintf(stderr, "usage: applet-timer RUNS CPL CAPTION [CPL CAPTION]...\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);
    const int runs = std::atoi(argv[1]);
    std::vector<Applet> applets;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strncmp(argv[i], "bare:", 5) == 0) {
            g_bareModule = LoadLibraryA(argv[i] + 5);
            if (g_bareModule == nullptr) {
                std::fprintf(stderr, "applet-timer: cannot load %s (%lu)\n", argv[i] + 5,
                             GetLastError());
                return 1;
            }
            g_bareCaption = argv[i + 1];
            applets.push_back({argv[i], argv[i + 1], BareSheet, {}, {}});
            continue;
        }
        HMODULE library = LoadLibraryA(argv[i]);
        auto entry = library != nullptr ? reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(
                                              GetProcAddress(library, "CPlApplet")))
                                        : nullptr;
        if (entry == nullptr) {
            std::fprintf(stderr, "applet-timer: cannot load %s (%lu)\n", argv[i], GetLastError());
            return 1;
        }
        applets.push_back({argv[i], argv[i + 1], entry, {}, {}});
    }
    for (int round = -1; round < runs; ++round) {
        for (Applet& applet : applets) {
            double opened = 0;
            double closed = 0;
            if (!OpenOnce(applet, &opened, &closed)) {
                return 1;
            }
            if (round >= 0) {
                applet.open.push_back(opened);
                applet.close.push_back(closed);
            }
        }
    }
    for (const Applet& applet : applets) {
        std::printf("%s (%d runs, after one not counted)\n", applet.path, runs);
        Report("  CPL_DBLCLK to visible sheet:", applet.open);
        Report("  OK to CPlApplet returning:  ", applet.close);
        std::printf("  each opening in turn (ms):");
        for (double value : applet.open) {
            std::printf(" %.0f", value);
        }
        std::printf("\n");
    }
    return 0;
}
