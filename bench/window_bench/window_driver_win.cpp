// window-driver.exe: opens the applet on a thread of its own and drives its sheet with one
// command per line on standard input, answering each with one line on standard output, "ok ..."
// or "error ...". Written for scripts that take screenshots between the steps.
//
//   window-driver KESTREL.CPL [--open-sheet]
//
// --open-sheet opens the sheet with the applet's own "open sheet" message (no automatic
// upgrade) instead of a Control Panel double click. Commands (ids decimal or 0x hex; controls
// are those of the page the sheet shows; a time in ms):
//   wait-sheet CAPTION        page TAB-TITLE            text ID
//   state ID                  click ID                  type ID TEXT
//   select ID ITEM            wait-text ID TEXT MS      wait-box CAPTION MS
//   answer IDOK|IDYES|IDNO|IDCANCEL                     press ok|cancel|apply
//   urls                      sleep MS                  quit
// Line breaks in answered texts are written as "\n".
#include "bench/window_bench/window_bench_win.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kSheetWaitMs = winbench::kPatienceMs;
constexpr DWORD kQuitWaitMs = winbench::kPatienceMs;
constexpr LPARAM kOpenSheetMessage = 0x11223348;

struct Driver {
    winbench::AppletSession applet;
    HWND sheet = nullptr;
    winbench::MessageBoxSeen box;
};

std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c != '\r') {
            line += c;
        }
    }
    return line;
}

void Reply(bool ok, const std::string& detail) {
    std::printf("%s%s%s\n", ok ? "ok" : "error", detail.empty() ? "" : " ", detail.c_str());
    std::fflush(stdout);
}

std::string NextWord(std::string* rest) {
    const size_t start = rest->find_first_not_of(' ');
    if (start == std::string::npos) {
        rest->clear();
        return "";
    }
    const size_t end = rest->find(' ', start);
    std::string word = rest->substr(start, end == std::string::npos ? end : end - start);
    *rest = end == std::string::npos ? "" : rest->substr(end + 1);
    return word;
}

// The last word of rest, taken off it: commands whose text may hold blanks end with a number.
std::string LastWord(std::string* rest) {
    while (!rest->empty() && rest->back() == ' ') {
        rest->pop_back();
    }
    const size_t space = rest->rfind(' ');
    std::string word = space == std::string::npos ? *rest : rest->substr(space + 1);
    rest->resize(space == std::string::npos ? 0 : space);
    return word;
}

bool ParseNumber(const std::string& word, long* value) {
    if (word.empty()) {
        return false;
    }
    char* end = nullptr;
    *value = std::strtol(word.c_str(), &end, 0);
    return *end == '\0';
}

std::string Describe(const winbench::AppletOutcome& outcome) {
    char text[96];
    std::snprintf(text, sizeof(text), "result %lld last-error %lu",
                  static_cast<long long>(outcome.result), outcome.lastError);
    return text;
}

int ButtonId(const std::string& name) {
    if (name == "IDOK") {
        return IDOK;
    }
    if (name == "IDCANCEL") {
        return IDCANCEL;
    }
    if (name == "IDYES") {
        return IDYES;
    }
    if (name == "IDNO") {
        return IDNO;
    }
    return 0;
}

int SheetButtonId(const std::string& name) {
    if (name == "ok") {
        return IDOK;
    }
    if (name == "cancel") {
        return IDCANCEL;
    }
    if (name == "apply") {
        return winbench::kApplyButton;
    }
    return 0;
}

// Runs one command line; false when the driver should end.
bool Execute(Driver& driver, const std::string& line) {
    std::string rest = line;
    const std::string command = NextWord(&rest);
    if (command.empty()) {
        Reply(false, "empty command");
        return true;
    }
    if (command == "quit") {
        if (driver.applet.Wait(kQuitWaitMs)) {
            Reply(true, Describe(driver.applet.Outcome()));
        } else {
            Reply(false, "the applet is still running");
        }
        return false;
    }
    if (command == "sleep") {
        long ms = 0;
        if (!ParseNumber(rest, &ms) || ms < 0) {
            Reply(false, "usage: sleep MS");
            return true;
        }
        Sleep(static_cast<DWORD>(ms));
        Reply(true, "");
        return true;
    }
    if (command == "wait-sheet") {
        const DWORD self = GetCurrentProcessId();
        winbench::WaitUntil(
            [&] {
                driver.sheet = winbench::WaitForSheetOfProcess(self, rest.c_str(), 0);
                return driver.sheet != nullptr || !driver.applet.Running();
            },
            kSheetWaitMs);
        if (driver.sheet != nullptr) {
            Reply(true, "");
        } else if (!driver.applet.Running()) {
            Reply(false, "the applet ended without a sheet: " + Describe(driver.applet.Outcome()));
        } else {
            Reply(false, "no sheet \"" + rest + "\"");
        }
        return true;
    }
    if (command == "wait-box") {
        long ms = 0;
        if (!ParseNumber(LastWord(&rest), &ms) || ms < 0) {
            Reply(false, "usage: wait-box CAPTION MS");
        } else if (winbench::WaitForMessageBox(rest.c_str(), static_cast<DWORD>(ms), &driver.box)) {
            Reply(true, OneLine(driver.box.text));
        } else {
            Reply(false, "no message box \"" + rest + "\"");
        }
        return true;
    }
    if (command == "answer") {
        const int id = ButtonId(rest);
        if (driver.box.window == nullptr || id == 0) {
            Reply(false, driver.box.window == nullptr ? "no message box seen"
                                                      : "usage: answer IDOK|IDYES|IDNO|IDCANCEL");
        } else {
            const bool ok = winbench::Answer(driver.box, id);
            if (ok) {
                driver.box = winbench::MessageBoxSeen();
            }
            Reply(ok, ok ? "" : "the box has no such button or stayed open");
        }
        return true;
    }
    if (command == "urls") {
        std::string all;
        for (const std::string& url : winbench::RecordedUrls()) {
            all += (all.empty() ? "" : " ") + url;
        }
        Reply(true, all);
        return true;
    }
    // Everything below acts on the sheet.
    if (driver.sheet == nullptr || !IsWindow(driver.sheet)) {
        Reply(false, "no sheet (use wait-sheet)");
        return true;
    }
    if (command == "page") {
        if (winbench::SelectPage(driver.sheet, rest.c_str())) {
            Reply(true, "");
        } else {
            std::string titles;
            for (const std::string& title : winbench::TabTitles(driver.sheet)) {
                titles += (titles.empty() ? "" : ", ") + title;
            }
            Reply(false, "no page \"" + rest + "\" (tabs: " + titles + ")");
        }
        return true;
    }
    if (command == "press") {
        const int id = SheetButtonId(rest);
        const bool ok = id != 0 && winbench::PressSheetButton(driver.sheet, id);
        Reply(ok, ok ? "" : "no such button, or it is disabled");
        return true;
    }
    long id = 0;
    if (!ParseNumber(NextWord(&rest), &id)) {
        Reply(false, "usage: " + command + " ID ...");
        return true;
    }
    HWND page = winbench::CurrentPage(driver.sheet);
    const int control = static_cast<int>(id);
    if (page == nullptr || GetDlgItem(page, control) == nullptr) {
        Reply(false, "the page has no control " + std::to_string(id));
        return true;
    }
    if (command == "text") {
        Reply(true, OneLine(winbench::Text(page, control)));
    } else if (command == "state") {
        char state[64];
        std::snprintf(state, sizeof(state), "enabled=%d visible=%d checked=%d",
                      winbench::IsEnabled(page, control), winbench::IsVisible(page, control),
                      winbench::IsChecked(page, control));
        Reply(true, state);
    } else if (command == "click") {
        const bool ok = winbench::Click(page, control);
        Reply(ok, ok ? "" : "the control is disabled or hidden");
    } else if (command == "type") {
        const bool ok = winbench::ClearAndType(page, control, rest.c_str());
        Reply(ok, ok ? "" : "the control is disabled or does not answer");
    } else if (command == "select") {
        if (winbench::SelectItem(page, control, rest.c_str())) {
            Reply(true, "");
        } else {
            std::string items;
            for (const std::string& item : winbench::ListItems(page, control)) {
                items += (items.empty() ? "" : ", ") + item;
            }
            Reply(false, "no item \"" + rest + "\" (items: " + items + ")");
        }
    } else if (command == "wait-text") {
        long ms = 0;
        if (!ParseNumber(LastWord(&rest), &ms) || ms < 0) {
            Reply(false, "usage: wait-text ID TEXT MS");
            return true;
        }
        std::string seen;
        const bool ok = winbench::WaitUntil(
            [&] {
                seen = winbench::Text(page, control);
                return seen == rest;
            },
            static_cast<DWORD>(ms));
        Reply(ok, ok ? "" : "the text is \"" + OneLine(seen) + "\"");
    } else {
        Reply(false, "unknown command " + command);
    }
    return true;
}

// A path as the shell gives it (/work/...) becomes the same file seen from Windows (Z:\work\...).
std::string WindowsPath(const char* path) {
    std::string windows = path;
    if (!windows.empty() && windows[0] == '/') {
        windows = "Z:" + windows;
    }
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--open-sheet") != 0)) {
        std::fprintf(stderr, "usage: window-driver KESTREL.CPL [--open-sheet]\n");
        return 2;
    }
    const UINT message = argc == 3 ? static_cast<UINT>(kOpenSheetMessage) : CPL_DBLCLK;
    // Answers end in "\n" only: the reader is a shell script.
    _setmode(_fileno(stdout), _O_BINARY);
    Driver driver;
    const std::string path = WindowsPath(argv[1]);
    if (!driver.applet.Open(path.c_str(), {{message, 0, 0}})) {
        std::fprintf(stderr, "window-driver: cannot open %s: error %lu\n", path.c_str(),
                     GetLastError());
        return 1;
    }
    char line[2048];
    while (std::fgets(line, sizeof(line), stdin) != nullptr) {
        std::string command = line;
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
            command.pop_back();
        }
        if (!Execute(driver, command)) {
            return 0;
        }
    }
    return 0;
}
