// The drift graph as a user meets it: opened on a history file on a thread of its own, read back
// by its texts and by the pixels of its field where the geometry puts the points, clicked with
// mouse messages, scrolled, following the file while records are appended or cut away, the
// report written and the retry question answered.
#include "history/drift_graph_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "bench/window_bench/window_bench_win.h"
#include "config/text_view_win.h"
#include "history/drift_graph.h"
#include "history/drift_test_util_win.h"
#include "resources/resource.h"

namespace {

using namespace winbench;

constexpr uint32_t kSource = 0x0100000A; // 10.0.0.1

// The graph's thread: a hidden owner window that records the closing notice, the graph, and a
// message loop that runs until the test ends it.
struct GraphRun {
    std::string path;
    std::string folder;
    bool showOpen = false;
    std::atomic<HWND> parent{nullptr};
    std::atomic<bool> closedNotice{false};
    std::atomic<bool> stop{false};
};

LONG_PTR RunGraph(GraphRun* run) {
    HWND parent = CreateWindowExA(0, "Static", "graph owner", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    run->parent = parent;
    HWND graph = OpenDriftGraph(GetModuleHandleA(nullptr), parent, false, run->showOpen,
                                run->folder.c_str(), run->path.c_str());
    MSG message;
    while (!run->stop) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == kGraphClosedMessage && message.hwnd == parent) {
                run->closedNotice = true;
            }
            if (graph == nullptr || !IsWindow(graph) || !IsDialogMessageA(graph, &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    if (graph != nullptr && IsWindow(graph)) {
        DestroyWindow(graph);
    }
    DestroyWindow(parent);
    return 0;
}

DriftRecord Check(int32_t variance, uint32_t index, uint8_t reason = kReasonScheduled,
                  uint32_t corrected = 0) {
    return MakeDriftRecord(variance, kTestEpoch + 60 * index, corrected,
                           static_cast<CheckReason>(reason), kSource, kRoleHorologix, 0);
}

std::vector<uint8_t> Bytes(const std::vector<DriftRecord>& records) {
    std::vector<uint8_t> bytes(records.size() * kDriftRecordSize);
    for (size_t i = 0; i < records.size(); ++i) {
        EncodeDriftRecord(records[i], bytes.data() + i * kDriftRecordSize);
    }
    return bytes;
}

// 100 checks of variance 0; among the newest, the markers and rings the field must show.
std::vector<DriftRecord> HundredChecks() {
    std::vector<DriftRecord> records;
    for (uint32_t i = 0; i < 100; ++i) {
        records.push_back(Check(0, i));
    }
    records[90] = Check(130, 90);
    records[92] = Check(56, 92);
    records[94] = Check(55, 94, kReasonScheduled, 1);
    records[95] = Check(-55, 95);
    records[97] = Check(0, 97, kReasonStartup);
    records[98] = Check(0, 98, kReasonPowerResume);
    return records;
}

bool Append(const std::string& path, const std::vector<DriftRecord>& records) {
    UniqueFile file(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    const std::vector<uint8_t> bytes = Bytes(records);
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

// Where the graph draws the k-th shown record, worked out as the window does from its field's
// size and the small font's measures.
struct FieldLayout {
    int width = 0;
    int height = 0;
    int x1 = 0;
    GraphGeometry geometry{};
};

FieldLayout LayoutOf(HWND field, uint32_t scale) {
    RECT client;
    GetClientRect(field, &client);
    FieldLayout layout;
    layout.width = client.right;
    layout.height = client.bottom;
    layout.geometry = ComputeGraphGeometry(layout.height);
    HDC dc = GetDC(field);
    HFONT font = CreateFontA(-MulDiv(7, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL,
                             FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH, "MS Shell Dlg");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE seven{};
    GetTextExtentPoint32A(dc, "7", 1, &seven);
    const std::string widest = std::to_string(-9 * static_cast<int>(scale)) + " ";
    SIZE label{};
    GetTextExtentPoint32A(dc, widest.c_str(), static_cast<int>(widest.size()), &label);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(field, dc);
    layout.x1 = label.cx + 2 * seven.cx;
    return layout;
}

POINT PointOf(const FieldLayout& layout, uint32_t k, int32_t variance, uint32_t scale,
              uint32_t windowSize = 64) {
    const double step = static_cast<double>(layout.width - layout.x1) / windowSize;
    return POINT{PointX(k, layout.x1, step), PointY(layout.geometry, variance, scale)};
}

COLORREF PixelAt(HWND field, int x, int y) {
    HDC dc = GetDC(field);
    const COLORREF color = GetPixel(dc, x, y);
    ReleaseDC(field, dc);
    return color;
}

class DriftGraph : public ::testing::Test {
protected:
    void TearDown() override { Close(); }

    HWND Open(const std::string& path, const char* title, bool showOpen = false) {
        run_.path = path;
        run_.folder = folder_.path();
        run_.showOpen = showOpen;
        run_.stop = false;
        run_.closedNotice = false;
        session_ = new AppletSession;
        EXPECT_TRUE(session_->Run([this] { return RunGraph(&run_); }));
        if (title == nullptr) {
            return nullptr;
        }
        graph_ = WaitForWindowOfProcess(GetCurrentProcessId(), "#32770",
                                        (std::string("Quorvex II Drift Data: ") + title).c_str(),
                                        kPatienceMs);
        EXPECT_NE(graph_, nullptr);
        if (graph_ != nullptr) {
            field_ = GetDlgItem(graph_, IDC_GRAPH_FIELD);
            bar_ = GetDlgItem(graph_, IDC_GRAPH_SCROLL);
        }
        return graph_;
    }
    void Close() {
        if (session_ != nullptr) {
            run_.stop = true;
            EXPECT_TRUE(session_->Wait(kPatienceMs));
            delete session_;
            session_ = nullptr;
        }
    }
    bool LabelIs(const std::string& text) {
        return WaitUntil([&] { return Text(graph_, IDC_GRAPH_LABEL) == text; }, kPatienceMs);
    }
    static std::string Label(uint32_t from, uint32_t through, uint32_t of, const char* scale) {
        return "Variance for checks " + std::to_string(from) + " through " +
               std::to_string(through) + " (of " + std::to_string(of) +
               ")\r\nEach vertical division represents " + scale;
    }
    void Scroll(int request, int position = 0) {
        PostMessageA(graph_, WM_HSCROLL, MAKEWPARAM(request, position),
                     reinterpret_cast<LPARAM>(bar_));
    }
    // Whether the top of a ring of radius 6 around the point shows in that colour.
    bool RingAbove(POINT point, COLORREF color) {
        for (int y = point.y - 7; y <= point.y - 5; ++y) {
            if (PixelAt(field_, point.x, y) == color) {
                return true;
            }
        }
        return false;
    }
    static bool WaitForBox(MessageBoxSeen* box) {
        return WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Horologix", kPatienceMs, box);
    }
    static HWND WaitForChooser() {
        return WaitForWindowOfProcess(GetCurrentProcessId(), nullptr,
                                      "Select Quorvex II Sync Log File", kPatienceMs);
    }
    // A left button released over a point of the field, in the field's pixels.
    void ClickField(int x, int y) {
        POINT point{x, y};
        MapWindowPoints(field_, graph_, &point, 1);
        PostMessageA(graph_, WM_MOUSEMOVE, 0, MAKELPARAM(point.x, point.y));
        PostMessageA(graph_, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
    }

    ScratchFolder folder_;
    GraphRun run_;
    AppletSession* session_ = nullptr;
    HWND graph_ = nullptr;
    HWND field_ = nullptr;
    HWND bar_ = nullptr;
};

TEST_F(DriftGraph, shows_the_newest_checks_by_colour_and_ring_and_selects_a_clicked_one) {
    const std::string path = folder_.File("server1.week2.qx");
    ASSERT_TRUE(WriteWholeFile(path, Bytes(HundredChecks())));
    ASSERT_NE(Open(path, "server1.week2"), nullptr);
    EXPECT_EQ(WindowText(graph_), "Quorvex II Drift Data: server1.week2");
    // Largest shown variance 130 ms: the automatic scale is 25 ms.
    ASSERT_TRUE(LabelIs(Label(37, 100, 100, "25 milliseconds")));
    EXPECT_EQ(Text(graph_, IDC_GRAPH_DETAILS),
              "Average check frequency: 1 minute\r\nClick a data point to see its value");
    int low = -1, high = -1;
    GetScrollRange(bar_, SB_CTL, &low, &high);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, 36);
    EXPECT_EQ(GetScrollPos(bar_, SB_CTL), 36);
    EXPECT_TRUE(IsWindowEnabled(bar_));
    EXPECT_TRUE(IsEnabled(graph_, IDC_GRAPH_RAW_DATA));
    EXPECT_FALSE(IsVisible(graph_, IDC_GRAPH_OPEN_FILE));
    std::vector<std::string> scales = ListItems(graph_, IDC_GRAPH_SCALE);
    ASSERT_EQ(scales.size(), 18u);
    EXPECT_EQ(scales[0], "Auto");
    EXPECT_EQ(scales[1], "1x");
    EXPECT_EQ(scales[17], "1800000x");
    EXPECT_EQ(Text(graph_, IDC_GRAPH_SCALE), "Auto");

    const FieldLayout layout = LayoutOf(field_, 25);
    const POINT red = PointOf(layout, 90 - 36, 130, 25);
    const POINT yellow = PointOf(layout, 92 - 36, 56, 25);
    const POINT green = PointOf(layout, 94 - 36, 55, 25);
    const POINT white = PointOf(layout, 95 - 36, -55, 25);
    const POINT startup = PointOf(layout, 97 - 36, 0, 25);
    const POINT resume = PointOf(layout, 98 - 36, 0, 25);
    EXPECT_EQ(PixelAt(field_, red.x, red.y), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(field_, yellow.x, yellow.y), RGB(255, 255, 0));
    EXPECT_EQ(PixelAt(field_, green.x, green.y), RGB(0, 255, 0));
    EXPECT_EQ(PixelAt(field_, white.x, white.y), RGB(255, 255, 255));
    // The startup check's blue ring shows around its marker; a power-resume check has none.
    EXPECT_EQ(PixelAt(field_, startup.x, startup.y - 4), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(field_, resume.x, resume.y - 4), RGB(0, 0, 0));
    // The field is black between the grid lines, which are dark green.
    EXPECT_EQ(PixelAt(field_, layout.width - 2, GridLineY(layout.geometry, 1) + 1), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(field_, layout.width - 2, GridLineY(layout.geometry, 1)), RGB(0, 112, 0));

    // 3 pixels right and 7 below the red marker hits it: its details, and a white ring.
    ClickField(red.x + 3, red.y + 7);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Text(graph_, IDC_GRAPH_DETAILS) ==
                   "Check #91: Tue 14 Nov 2023 23:43:20 UTC, scheduled. Variance was +0.130 "
                   "seconds.\r\nTime source: 10.0.0.1. Local clock was not corrected. Phase "
                   "adjust was 0.";
        },
        kPatienceMs));
    EXPECT_TRUE(WaitUntil([&] { return RingAbove(red, RGB(255, 255, 255)); }, kPatienceMs));
    // 4 pixels right hits nothing: the selection goes.
    ClickField(red.x + 4, red.y);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Text(graph_, IDC_GRAPH_DETAILS) ==
                   "Average check frequency: 1 minute\r\nClick a data point to see its value";
        },
        kPatienceMs));
    EXPECT_TRUE(WaitUntil([&] { return !RingAbove(red, RGB(255, 255, 255)); }, kPatienceMs));

    // The pointer over a marker shows the marker cursor, elsewhere the arrow.
    HCURSOR marker = LoadCursorA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDC_CURSOR_MARKER));
    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    auto cursorAt = [&](int x, int y) {
        POINT screen{x, y};
        ClientToScreen(field_, &screen);
        SetCursorPos(screen.x, screen.y);
        return WaitUntil(
            [&] {
                CURSORINFO info{};
                info.cbSize = sizeof(info);
                return GetCursorInfo(&info) && info.hCursor == (x == red.x ? marker : arrow);
            },
            kPatienceMs);
    };
    EXPECT_TRUE(cursorAt(red.x, red.y + 2));
    EXPECT_TRUE(cursorAt(red.x + 40, red.y - 30));

    // A fixed scale chosen by the user.
    ASSERT_TRUE(SelectItem(graph_, IDC_GRAPH_SCALE, "2500x"));
    EXPECT_TRUE(LabelIs(Label(37, 100, 100, "2.5 seconds")));
}

TEST_F(DriftGraph, scrolls_through_the_file_and_follows_new_records_only_at_the_newest) {
    const std::string path = folder_.File("drift.qx");
    ASSERT_TRUE(WriteWholeFile(path, Bytes(HundredChecks())));
    ASSERT_NE(Open(path, path.c_str()), nullptr);
    ASSERT_TRUE(LabelIs(Label(37, 100, 100, "25 milliseconds")));

    Scroll(SB_PAGELEFT);
    EXPECT_TRUE(LabelIs(Label(1, 64, 100, "10 milliseconds")));
    EXPECT_EQ(GetScrollPos(bar_, SB_CTL), 0);
    Scroll(SB_RIGHT);
    EXPECT_TRUE(LabelIs(Label(37, 100, 100, "25 milliseconds")));
    Scroll(SB_LINELEFT);
    EXPECT_TRUE(LabelIs(Label(36, 99, 100, "25 milliseconds")));
    Scroll(SB_THUMBPOSITION, 10);
    EXPECT_TRUE(LabelIs(Label(11, 74, 100, "10 milliseconds")));
    Scroll(SB_LEFT);
    EXPECT_TRUE(LabelIs(Label(1, 64, 100, "10 milliseconds")));

    // Looking at older checks: a new record does not move the view (watched for two of the
    // graph's two-second looks at its file).
    ASSERT_TRUE(Append(path, {Check(0, 100)}));
    EXPECT_TRUE(StaysTrueFor(
        [&] { return Text(graph_, IDC_GRAPH_LABEL) == Label(1, 64, 100, "10 milliseconds"); },
        4500));
    // Back at the newest: the next tick picks the new record up and shows the newest 64.
    Scroll(SB_RIGHT);
    EXPECT_TRUE(LabelIs(Label(38, 101, 101, "25 milliseconds")));
    int low = -1, high = -1;
    GetScrollRange(bar_, SB_CTL, &low, &high);
    EXPECT_EQ(high, 37);
    EXPECT_EQ(GetScrollPos(bar_, SB_CTL), 37);

    // The agent cuts the file while the graph shows it: the window and selection stay inside.
    const FieldLayout layout = LayoutOf(field_, 25);
    const POINT red = PointOf(layout, 90 - 37, 130, 25);
    ClickField(red.x, red.y);
    EXPECT_TRUE(WaitUntil(
        [&] { return Text(graph_, IDC_GRAPH_DETAILS).rfind("Check #91:", 0) == 0; }, kPatienceMs));
    std::vector<DriftRecord> few;
    for (uint32_t i = 0; i < 40; ++i) {
        few.push_back(Check(static_cast<int32_t>(i), 200 + i));
    }
    ASSERT_TRUE(WriteWholeFile(path, Bytes(few)));
    EXPECT_TRUE(LabelIs(Label(1, 40, 40, "10 milliseconds")));
    EXPECT_TRUE(WaitUntil(
        [&] { return Text(graph_, IDC_GRAPH_DETAILS).rfind("Average check frequency:", 0) == 0; },
        kPatienceMs));
    EXPECT_FALSE(IsWindowEnabled(bar_));

    // The report of what the graph shows, opened through Notepad and deleted at the end.
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof(program));
    std::string notepadFolder = program;
    notepadFolder =
        notepadFolder.substr(0, notepadFolder.find_last_of('\\')) + "\\..\\bench\\fake_notepad";
    const std::string started = folder_.File("notepad.txt");
    SetEnvironmentVariableA("HOROLOGIX_FAKE_NOTEPAD_OUT", started.c_str());
    char savedFolder[MAX_PATH];
    GetCurrentDirectoryA(sizeof(savedFolder), savedFolder);
    ASSERT_TRUE(SetCurrentDirectoryA(notepadFolder.c_str()));
    ASSERT_TRUE(Click(graph_, IDC_GRAPH_RAW_DATA));
    EXPECT_TRUE(WaitUntil([&] { return FileExists(started); }, kPatienceMs));
    SetCurrentDirectoryA(savedFolder);
    SetEnvironmentVariableA("HOROLOGIX_FAKE_NOTEPAD_OUT", nullptr);
    const std::string report = LastReportPath();
    ASSERT_FALSE(report.empty());
    EXPECT_NE(report.find("QXG"), std::string::npos);
    const std::vector<uint8_t> bytes = ReadWholeFile(report);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.rfind("Horologix\r\n", 0), 0u);
    EXPECT_NE(text.find("        Data points: 40\r\n"), std::string::npos);
    EXPECT_NE(text.find("      Report source: " + path + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("    Report timezone: Universal Coordinated Time (GMT+0)\r\n"),
              std::string::npos);
    const std::vector<uint8_t> startLine = ReadWholeFile(started);
    EXPECT_EQ(
        std::string(startLine.begin(), startLine.end()).rfind("notepad \"" + report + "\"", 0), 0u);
    PurgeTemporaryViews();
    EXPECT_FALSE(FileExists(report));
}

TEST_F(DriftGraph, few_records_show_all_or_wait_for_more) {
    const std::string path = folder_.File("ten.qx");
    std::vector<DriftRecord> ten;
    for (uint32_t i = 0; i < 10; ++i) {
        ten.push_back(Check(static_cast<int32_t>(i) * 30, i));
    }
    ASSERT_TRUE(WriteWholeFile(path, Bytes(ten)));
    ASSERT_NE(Open(path, "ten"), nullptr);
    EXPECT_TRUE(LabelIs(Label(1, 10, 10, "50 milliseconds")));
    EXPECT_FALSE(IsWindowEnabled(bar_));
    EXPECT_TRUE(IsEnabled(graph_, IDC_GRAPH_RAW_DATA));
    Close();

    const std::string one = folder_.File("one.qx");
    ASSERT_TRUE(WriteWholeFile(one, Bytes({Check(5, 0)})));
    ASSERT_NE(Open(one, "one"), nullptr);
    EXPECT_TRUE(LabelIs("Waiting for data..."));
    EXPECT_EQ(Text(graph_, IDC_GRAPH_DETAILS),
              "Waiting for more data. Every time the clock is checked, another data point is "
              "added. Two or more data points are needed for graphing.");
    EXPECT_FALSE(IsEnabled(graph_, IDC_GRAPH_RAW_DATA));
    // A second record arrives: the graph draws.
    ASSERT_TRUE(Append(one, {Check(-20, 1)}));
    EXPECT_TRUE(LabelIs(Label(1, 2, 2, "10 milliseconds")));
    EXPECT_TRUE(IsEnabled(graph_, IDC_GRAPH_RAW_DATA));

    // Closed by the user: the owner is told.
    ASSERT_TRUE(PostMessageA(graph_, WM_COMMAND, IDCANCEL, 0));
    EXPECT_TRUE(WaitUntil([&] { return run_.closedNotice.load(); }, kPatienceMs));
    EXPECT_FALSE(IsWindow(graph_));
}

TEST_F(DriftGraph, a_bad_file_asks_for_another_and_a_refusal_closes_the_graph) {
    const std::string bad = folder_.File("bad.qx");
    ASSERT_TRUE(WriteWholeFile(bad, std::vector<uint8_t>(19, 0)));
    const std::string good = folder_.File("good.qx");
    ASSERT_TRUE(WriteWholeFile(good, Bytes({Check(1, 0), Check(2, 1), Check(3, 2)})));

    Open(bad, nullptr);
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, "Could not load file " + bad +
                            "; the file is either not a drift record file, or it is "
                            "corrupted.\r\n\r\nWould you like to try a different file?");
    ASSERT_TRUE(Answer(box, IDYES));
    HWND chooser = WaitForChooser();
    ASSERT_NE(chooser, nullptr);
    // The file name box of the open-file dialog, then Open.
    ASSERT_TRUE(WaitUntil(
        [&] {
            SetDlgItemTextA(chooser, 0x47C, good.c_str());
            return Text(chooser, 0x47C) == good;
        },
        kPatienceMs));
    PostMessageA(chooser, WM_COMMAND, IDOK, 0);
    graph_ = WaitForWindowOfProcess(GetCurrentProcessId(), "#32770", "Quorvex II Drift Data: good",
                                    kPatienceMs);
    ASSERT_NE(graph_, nullptr);
    EXPECT_TRUE(LabelIs(Label(1, 3, 3, "10 milliseconds")));
    Close();

    // A missing file, and No: the window goes at once and its owner is told.
    Open(folder_.File("missing.qx"), nullptr);
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text.rfind("Could not load file " + folder_.File("missing.qx") + "; ", 0), 0u);
    EXPECT_NE(box.text.find("\r\n\r\nWould you like to try a different file?"), std::string::npos);
    ASSERT_TRUE(Answer(box, IDNO));
    EXPECT_TRUE(WaitUntil([&] { return run_.closedNotice.load(); }, kPatienceMs));
    EXPECT_TRUE(StaysTrueFor(
        [] { return WaitForWindow("#32770", "Quorvex II Drift Data: missing", 0) == nullptr; },
        300));
    Close();

    // Closed while the question is open: a Yes then asks for no file, and the window goes.
    Open(bad, nullptr);
    ASSERT_TRUE(WaitForBox(&box));
    HWND starting = FindWindowA("#32770", "Quorvex II Drift Graph");
    ASSERT_NE(starting, nullptr);
    // Posted to the graph's thread before the answer, so the question's loop handles it first.
    PostMessageA(starting, WM_CLOSE, 0, 0);
    ASSERT_TRUE(Answer(box, IDYES));
    EXPECT_TRUE(WaitUntil([&] { return run_.closedNotice.load(); }, kPatienceMs));
    EXPECT_TRUE(StaysTrueFor(
        [] { return WaitForWindow(nullptr, "Select Quorvex II Sync Log File", 0) == nullptr; },
        500));
    EXPECT_FALSE(IsWindow(starting));
}

TEST_F(DriftGraph, open_file_shows_another_history_and_a_cancelled_chooser_changes_nothing) {
    const std::string first = folder_.File("first.qx");
    ASSERT_TRUE(WriteWholeFile(first, Bytes({Check(1, 0), Check(2, 1)})));
    const std::string second = folder_.File("second.qx");
    ASSERT_TRUE(WriteWholeFile(second, Bytes({Check(1, 0), Check(300, 1), Check(3, 2)})));
    ASSERT_NE(Open(first, "first", true), nullptr);
    EXPECT_TRUE(LabelIs(Label(1, 2, 2, "10 milliseconds")));
    EXPECT_TRUE(IsVisible(graph_, IDC_GRAPH_OPEN_FILE));

    ASSERT_TRUE(Click(graph_, IDC_GRAPH_OPEN_FILE));
    HWND chooser = WaitForChooser();
    ASSERT_NE(chooser, nullptr);
    PostMessageA(chooser, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }, kPatienceMs));
    EXPECT_EQ(WindowText(graph_), "Quorvex II Drift Data: first");

    ASSERT_TRUE(Click(graph_, IDC_GRAPH_OPEN_FILE));
    chooser = WaitForChooser();
    ASSERT_NE(chooser, nullptr);
    ASSERT_TRUE(WaitUntil(
        [&] {
            SetDlgItemTextA(chooser, 0x47C, second.c_str());
            return Text(chooser, 0x47C) == second;
        },
        kPatienceMs));
    PostMessageA(chooser, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] { return WindowText(graph_) == "Quorvex II Drift Data: second"; },
                          kPatienceMs));
    EXPECT_TRUE(LabelIs(Label(1, 3, 3, "50 milliseconds")));
}

TEST_F(DriftGraph, report_says_when_there_is_nothing_to_write_or_no_file_can_be_made) {
    session_ = new AppletSession;
    ASSERT_TRUE(session_->Run([] {
        DriftView empty;
        return static_cast<LONG_PTR>(WriteSummaryReport(nullptr, empty));
    }));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForBox(&box));
    EXPECT_EQ(box.text, "No data points in this record; nothing to display.\r\n");
    ASSERT_TRUE(Answer(box, IDOK));
    ASSERT_TRUE(session_->Wait(kPatienceMs));
    EXPECT_EQ(session_->Outcome().result, 0);
    delete session_;

    const std::string missing = folder_.path() + "\\no-such-folder\\";
    char savedTmp[MAX_PATH] = "";
    const bool hadTmp = GetEnvironmentVariableA("TMP", savedTmp, sizeof(savedTmp)) != 0;
    SetEnvironmentVariableA("TMP", missing.c_str());
    session_ = new AppletSession;
    ASSERT_TRUE(session_->Run([] {
        DriftView view;
        view.records.reset(new DriftRecord[1]);
        view.records[0] = Check(1, 0);
        view.count = 1;
        return static_cast<LONG_PTR>(WriteSummaryReport(nullptr, view));
    }));
    ASSERT_TRUE(WaitForBox(&box));
    SetEnvironmentVariableA("TMP", hadTmp ? savedTmp : nullptr);
    EXPECT_EQ(box.text.rfind("Could not create file " + missing, 0), 0u) << box.text;
    EXPECT_NE(box.text.find(" for output of raw drift data; "), std::string::npos);
    ASSERT_TRUE(Answer(box, IDOK));
    ASSERT_TRUE(session_->Wait(kPatienceMs));
    EXPECT_EQ(session_->Outcome().result, 0);
    delete session_;
    session_ = nullptr;
}

} // namespace
