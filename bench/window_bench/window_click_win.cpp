// window-click.exe: finds a dialog (or, with --sheet, a property sheet) of any process by its
// caption and clicks its controls in order, each once it is visible and enabled; for scripts
// that walk a program's windows as a user would (setup, the demo, the benchmarks).
//
//   window-click [--sheet] [--wait MS] CAPTION ID...
//   window-click --sheet-tab TITLE [--wait MS] ID...
//                                         the property sheet that has a page titled TITLE,
//                                         whatever its caption (captions name the machine)
//   window-click --gone CAPTION MS        waits until no such window shows
//
// Exit 0 when every click was made, 1 when the window or a control did not show in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/window_bench/window_bench_win.h"

namespace {

// A visible property sheet of any process with a tab titled `title`; null when none shows now.
HWND SheetWithTab(const std::string& title) {
    struct Search {
        const std::string* title;
        HWND found;
    } search{&title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            if (!IsWindowVisible(window) || winbench::ClassName(window) != "#32770") {
                return TRUE;
            }
            for (const std::string& tab : winbench::TabTitles(window)) {
                std::string plain;
                for (char c : tab) {
                    if (c != '&') {
                        plain += c;
                    }
                }
                if (plain == *s->title) {
                    s->found = window;
                    return FALSE;
                }
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

int main(int argc, char** argv) {
    bool sheet = false;
    const char* tabTitle = nullptr;
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
        } else if (std::strcmp(argv[i], "--sheet-tab") == 0 && i + 1 < argc) {
            sheet = true;
            tabTitle = argv[++i];
        } else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            waitMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        }
    }
    if (i >= argc && tabTitle == nullptr) {
        std::fprintf(stderr, "usage: window-click [--sheet] [--wait MS] CAPTION ID...\n"
                             "       window-click --sheet-tab TITLE [--wait MS] ID...\n");
        return 2;
    }
    std::string described;
    HWND window = nullptr;
    if (tabTitle != nullptr) {
        described = std::string("a sheet with the page ") + tabTitle;
        winbench::WaitUntil(
            [&] {
                window = SheetWithTab(tabTitle);
                return window != nullptr;
            },
            waitMs);
    } else {
        described = argv[i++];
        window = sheet ? winbench::WaitForSheet(described.c_str(), waitMs)
                       : winbench::WaitForWindow("#32770", described.c_str(), waitMs);
    }
    const char* caption = described.c_str();
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
