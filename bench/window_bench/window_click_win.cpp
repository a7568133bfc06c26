// window-click.exe: finds a dialog (or, with --sheet, a property sheet) of any process by its
// caption and clicks its controls in order, each once it is visible and enabled; for scripts
// that walk a program's windows as a user would (setup, the demo, the benchmarks).
//
//   window-click [--sheet] [--wait MS] CAPTION ID...
//   window-click --gone CAPTION MS        waits until no such window shows
//
// Exit 0 when every click was made, 1 when the window or a control did not show in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/window_bench/window_bench_win.h"

int main(int argc, char** argv) {
    bool sheet = false;
    DWORD waitMs = 30000;
    int i = 1;
    if (i + 2 < argc + 1 && std::strcmp(argv[i], "--gone") == 0 && argc == 4) {
        const char* caption = argv[2];
        const DWORD limit = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
        return winbench::WaitUntil(
                   [&] { return winbench::WaitForWindow(nullptr, caption, 0) == nullptr; }, limit)
                   ? 0
                   : 1;
    }
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (std::strcmp(argv[i], "--sheet") == 0) {
            sheet = true;
        } else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            waitMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: window-click [--sheet] [--wait MS] CAPTION ID...\n");
        return 2;
    }
    const char* caption = argv[i++];
    HWND window = sheet ? winbench::WaitForSheet(caption, waitMs)
                        : winbench::WaitForWindow("#32770", caption, waitMs);
    if (window == nullptr) {
        std::fprintf(stderr, "window-click: no window \"%s\"\n", caption);
        return 1;
    }
    for (; i < argc; ++i) {
        const int id = static_cast<int>(std::strtol(argv[i], nullptr, 0));
        if (!winbench::WaitUntil(
                [&] { return winbench::IsVisible(window, id) && winbench::IsEnabled(window, id); },
                waitMs)) {
            std::fprintf(stderr, "window-click: control %d of \"%s\" did not show\n", id, caption);
            return 1;
        }
        const bool clicked =
            sheet ? winbench::PressSheetButton(window, id) : winbench::Click(window, id);
        // A sheet's loop notices a button pressed from another thread only after a message.
        PostMessageA(window, WM_NULL, 0, 0);
        if (!clicked) {
            std::fprintf(stderr, "window-click: control %d of \"%s\" refused\n", id, caption);
            return 1;
        }
        Sleep(300);
    }
    return 0;
}
