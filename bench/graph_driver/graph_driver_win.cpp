// graph-driver.exe: the Agent page, the drift graph and the summary report driven for pictures and
// timed for the benchmark. Test and demo tooling only.
//
//   graph-driver pictures KESTREL.CPL
//       Opens the applet's sheet on the Agent page, then the graph on the machine's drift.qx,
//       clicks the marker of the check with the largest variance, and opens the report. Before
//       each picture it writes "shot NAME CAPTION" and waits for a line on standard input.
//   graph-driver bench FILE.QX
//       Times, on the file (best of several runs): opening the graph until it has drawn, one
//       redraw of 64 points, one scroll step, and writing the whole report. Prints one line each.
//   graph-driver make-history FILE.QX COUNT
//       Writes COUNT checks, half an hour apart and a few milliseconds off, the one in the
//       middle 5 seconds off (a full file for the benchmark, or a history for the pictures).
#include <windows.h>
#include <cpl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/window_bench/window_bench_win.h"
#include "config/text_view_win.h"
#include "history/drift_graph.h"
#include "history/drift_graph_win.h"
#include "history/drift_record.h"
#include "resources/resource.h"
#include "timesrc/clock_math.h"

namespace {

using namespace winbench;

constexpr DWORD kWindowMs = 20000;
constexpr uint32_t kCplOpenSheet = 0x11223348;

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

std::vector<DriftRecord> ReadRecords(const char* path) {
    std::vector<DriftRecord> records;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return records;
    }
    uint8_t bytes[kDriftRecordSize];
    DWORD got = 0;
    while (ReadFile(file, bytes, sizeof(bytes), &got, nullptr) && got == sizeof(bytes)) {
        DriftRecord record;
        DecodeDriftRecord(bytes, &record);
        records.push_back(record);
    }
    CloseHandle(file);
    return records;
}

int MakeHistory(const char* path, uint32_t count) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "graph-driver: cannot create %s (%lu)\n", path, GetLastError());
        return 1;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    const uint32_t end = FileTimeToUnixSeconds(ticks);
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * kDriftRecordSize);
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t variance = i == count / 2 ? 5000 : static_cast<int32_t>((i * 37) % 23) - 11;
        const uint8_t reason = i == 0 ? kReasonStartup : kReasonSyncCheck;
        const DriftRecord record =
            MakeDriftRecord(variance, end - 1800 * (count - i), i % 3 == 0 ? 1 : 0,
                            static_cast<CheckReason>(reason), 0x0100007F, kRoleHorologix, 0);
        EncodeDriftRecord(record, bytes.data() + static_cast<size_t>(i) * kDriftRecordSize);
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size() ? 0 : 1;
}

// Waits for the script's go-ahead after asking for a picture.
void Shot(const char* name, const std::string& caption) {
    std::printf("shot %s %s\n", name, caption.c_str());
    std::fflush(stdout);
    char line[64];
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        std::exit(3);
    }
}

// The field position where the graph draws the k-th shown record (as the window works it out).
POINT PointInField(HWND field, uint32_t k, uint32_t shown, int32_t variance, uint32_t scale) {
    RECT client;
    GetClientRect(field, &client);
    HDC dc = GetDC(field);
    HFONT font = CreateFontA(-MulDiv(7, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL,
                             FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH, "MS Shell Dlg");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE seven{};
    GetTextExtentPoint32A(dc, "7", 1, &seven);
    char widest[32];
    const int length = std::snprintf(widest, sizeof(widest), "%d ", -9 * static_cast<int>(scale));
    SIZE label{};
    GetTextExtentPoint32A(dc, widest, length, &label);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(field, dc);
    const int x1 = label.cx + 2 * seven.cx;
    const double step = static_cast<double>(client.right - x1) / shown;
    return POINT{PointX(k, x1, step), PointY(ComputeGraphGeometry(client.bottom), variance, scale)};
}

uint32_t ScaleFromLabel(const std::string& label) {
    const uint32_t shownScales[] = {1,    10,    25,    50,    100,    250,    500,    1000,   2500,
                                    5000, 10000, 30000, 60000, 120000, 300000, 600000, 1800000};
    for (uint32_t scale : shownScales) {
        char text[48];
        FormatScaleText(scale, text, sizeof(text));
        const std::string tail = std::string("represents ") + text;
        if (label.size() >= tail.size() &&
            label.compare(label.size() - tail.size(), tail.size(), tail) == 0) {
            return scale;
        }
    }
    return 0;
}

int Pictures(const char* cpl) {
    AppletSession session;
    if (!session.Open(cpl, {{kCplOpenSheet, 0, 0}})) {
        std::fprintf(stderr, "graph-driver: cannot open %s (%lu)\n", cpl, GetLastError());
        return 1;
    }
    HWND sheet = WaitForSheet(nullptr, kWindowMs);
    if (sheet == nullptr || !SelectPage(sheet, "Agent")) {
        std::fprintf(stderr, "graph-driver: no Agent page\n");
        return 1;
    }
    HWND page = CurrentPage(sheet);
    WaitUntil([&] { return !ListItems(page, IDC_AGENT_HISTORY).empty(); }, 5000);
    Shot("applet-agent", "Windows Time Service - .*");

    Click(page, IDC_AGENT_SHOW_GRAPH);
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof(system));
    const std::string path = std::string(system) + "\\drift.qx";
    const std::string title = "Quorvex II Drift Data: " + path;
    HWND graph = WaitForWindow("#32770", title.c_str(), kWindowMs);
    if (graph == nullptr) {
        std::fprintf(stderr, "graph-driver: the graph did not open\n");
        PressSheetButton(sheet, IDCANCEL);
        return 1;
    }
    WaitUntil([&] { return Text(graph, IDC_GRAPH_LABEL).rfind("Variance", 0) == 0; }, kWindowMs);
    // The check with the largest variance among those shown: a click shows its details.
    const std::vector<DriftRecord> records = ReadRecords(path.c_str());
    const uint32_t shown = static_cast<uint32_t>(std::min<size_t>(records.size(), 64));
    const uint32_t first = static_cast<uint32_t>(records.size()) - shown;
    uint32_t worst = first;
    for (uint32_t i = first; i < records.size(); ++i) {
        if (std::abs(static_cast<int64_t>(records[i].varianceMs)) >
            std::abs(static_cast<int64_t>(records[worst].varianceMs))) {
            worst = i;
        }
    }
    const uint32_t scale = ScaleFromLabel(Text(graph, IDC_GRAPH_LABEL));
    if (shown >= 2 && scale != 0) {
        HWND field = GetDlgItem(graph, IDC_GRAPH_FIELD);
        POINT point = PointInField(field, worst - first, shown, records[worst].varianceMs, scale);
        MapWindowPoints(field, graph, &point, 1);
        PostMessageA(graph, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
        WaitUntil([&] { return Text(graph, IDC_GRAPH_DETAILS).rfind("Check #", 0) == 0; }, 5000);
        std::printf("clicked: %s\n", Text(graph, IDC_GRAPH_DETAILS).c_str());
    }
    Sleep(300);
    Shot("drift-graph", "Quorvex II Drift Data: .*");

    Click(graph, IDC_GRAPH_RAW_DATA);
    HWND notepad = nullptr;
    WaitUntil(
        [&] {
            notepad = FindWindowA("Notepad", nullptr);
            return notepad != nullptr && IsWindowVisible(notepad);
        },
        kWindowMs);
    if (notepad != nullptr) {
        std::printf("report: %s\n", WindowText(notepad).c_str());
        Shot("drift-report", ".* - Notepad");
        PostMessageA(notepad, WM_CLOSE, 0, 0);
    }
    PressSheetButton(sheet, IDCANCEL);
    PostMessageA(sheet, WM_NULL, 0, 0);
    session.Wait(kWindowMs);
    std::printf("done\n");
    return 0;
}

// The graph on this thread: opened, drawn, redrawn, scrolled; the report written.
int Bench(const char* path) {
    HWND parent = CreateWindowExA(0, "Static", "bench owner", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    double open = 1e9, redraw = 1e9, scroll = 1e9, report = 1e9;
    const int runs = 5;
    for (int run = 0; run < runs; ++run) {
        const LARGE_INTEGER start = Now();
        HWND graph = OpenDriftGraph(GetModuleHandleA(nullptr), parent, false, false, "", path);
        if (graph == nullptr) {
            std::fprintf(stderr, "graph-driver: the graph did not open on %s\n", path);
            return 1;
        }
        HWND field = GetDlgItem(graph, IDC_GRAPH_FIELD);
        UpdateWindow(graph);
        UpdateWindow(field);
        open = std::min(open, Milliseconds(start, Now()));

        LARGE_INTEGER before = Now();
        SendMessageA(graph, kGraphRedrawMessage, 0, 0);
        redraw = std::min(redraw, Milliseconds(before, Now()));

        before = Now();
        SendMessageA(graph, WM_HSCROLL, SB_LINELEFT,
                     reinterpret_cast<LPARAM>(GetDlgItem(graph, IDC_GRAPH_SCROLL)));
        MSG message;
        while (PeekMessageA(&message, graph, kGraphRedrawMessage, kGraphRedrawMessage, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
        scroll = std::min(scroll, Milliseconds(before, Now()));
        DestroyWindow(graph);
    }

    // The report of the whole file from a view loaded the way the graph loads it, shown by the
    // bench's stand-in Notepad (which records its start and exits) when its folder is given.
    char notepadFolder[MAX_PATH] = "";
    char savedFolder[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof(savedFolder), savedFolder);
    if (GetEnvironmentVariableA("GRAPH_DRIVER_NOTEPAD_DIR", notepadFolder, sizeof(notepadFolder))) {
        SetCurrentDirectoryA(notepadFolder);
    }
    char started[MAX_PATH];
    GetTempPathA(sizeof(started), started);
    std::strncat(started, "graph-driver-notepad.txt", sizeof(started) - std::strlen(started) - 1);
    SetEnvironmentVariableA("HOROLOGIX_FAKE_NOTEPAD_OUT", started);
    for (int run = 0; run < runs; ++run) {
        DriftView view;
        std::snprintf(view.path, sizeof(view.path), "%s", path);
        if (!LoadDriftFile(view, nullptr)) {
            std::fprintf(stderr, "graph-driver: cannot load %s\n", path);
            return 1;
        }
        const LARGE_INTEGER before = Now();
        WriteSummaryReport(nullptr, view);
        report = std::min(report, Milliseconds(before, Now()));
        Sleep(200); // the stand-in Notepad records its start and ends
        DeleteFileA(started);
    }
    PurgeTemporaryViews();
    SetCurrentDirectoryA(savedFolder);
    const std::vector<DriftRecord> records = ReadRecords(path);
    std::printf("records: %zu\n", records.size());
    std::printf("open until drawn: %.1f ms (goal < 300 ms)\n", open);
    std::printf("redraw of 64 points: %.2f ms (goal < 5 ms)\n", redraw);
    std::printf("one scroll step: %.2f ms\n", scroll);
    std::printf("whole report: %.1f ms (goal < 500 ms)\n", report);
    DestroyWindow(parent);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "pictures") == 0) {
        return Pictures(argv[2]);
    }
    if (argc >= 3 && std::strcmp(argv[1], "bench") == 0) {
        return Bench(argv[2]);
    }
    if (argc >= 4 && std::strcmp(argv[1], "make-history") == 0) {
        return MakeHistory(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    }
    std::fprintf(stderr, "usage: graph-driver pictures KESTREL.CPL | bench FILE.QX | "
                         "make-history FILE.QX COUNT\n");
    return 2;
}
