// The drift graph window (dialog 6003): one per process, owning its view and drawing objects.
#include "history/drift_graph_win.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/error_text_win.h"
#include "history/drift_graph.h"
#include "resources/resource.h"

namespace {

constexpr UINT_PTR kFollowTimer = 1;
constexpr UINT kFollowMs = 2000;
constexpr UINT kPromptStyle = MB_YESNO | MB_ICONQUESTION | MB_TOPMOST;

// Drawing objects, made at start and deleted when the window closes.
struct GraphPens {
    HPEN green, yellow, red, darkGreen, grey, blue;
    HBRUSH blueBrush, greenBrush, yellowBrush, redBrush;
    HFONT font;
};

struct GraphState {
    HWND window = nullptr;
    HWND parent = nullptr; // told when a modeless graph closes, and owner of its questions
    DriftView* view = nullptr;
    int selected = -1;
    bool ready = false;
    int depth = 0;             // handlers under way (nested through message boxes)
    bool closePending = false; // closing waits for them
    GraphPens pens = {};
};
GraphState g_graph;
DriftView* g_closedView = nullptr; // the view of the window that closed last
HWND g_openingParent = nullptr;    // the parent OpenDriftGraph was given, for the new window

void CloseGraph(HWND window);

// Clears the ready guard for the handler that runs and sets it again when it is done. A close
// asked for meanwhile (the window's close box while a question or the file chooser is open)
// waits until the handler is done, so that no handler runs on with a freed view.
class Busy {
public:
    Busy() {
        g_graph.ready = false;
        ++g_graph.depth;
    }
    ~Busy() {
        if (--g_graph.depth > 0) {
            return;
        }
        if (g_graph.closePending && g_graph.window != nullptr) {
            CloseGraph(g_graph.window);
        } else if (g_graph.view != nullptr) {
            g_graph.ready = true;
        }
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};

void CreatePens(HWND window) {
    GraphPens& p = g_graph.pens;
    p.green = CreatePen(PS_SOLID, 1, RGB(0, 255, 0));
    p.yellow = CreatePen(PS_SOLID, 1, RGB(255, 255, 0));
    p.red = CreatePen(PS_SOLID, 1, RGB(255, 0, 0));
    p.darkGreen = CreatePen(PS_SOLID, 1, RGB(0, 112, 0));
    p.grey = CreatePen(PS_SOLID, 1, RGB(127, 127, 127));
    p.blue = CreatePen(PS_SOLID, 1, RGB(0, 0, 255));
    p.blueBrush = CreateSolidBrush(RGB(0, 0, 255));
    p.greenBrush = CreateSolidBrush(RGB(0, 255, 0));
    p.yellowBrush = CreateSolidBrush(RGB(255, 255, 0));
    p.redBrush = CreateSolidBrush(RGB(255, 0, 0));
    HDC dc = GetDC(window);
    const int height = -MulDiv(7, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(window, dc);
    p.font = CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH,
                         "MS Shell Dlg");
}

void DeletePens() {
    GraphPens& p = g_graph.pens;
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(p.green), static_cast<HGDIOBJ>(p.yellow),
                           static_cast<HGDIOBJ>(p.red), static_cast<HGDIOBJ>(p.darkGreen),
                           static_cast<HGDIOBJ>(p.grey), static_cast<HGDIOBJ>(p.blue),
                           static_cast<HGDIOBJ>(p.blueBrush), static_cast<HGDIOBJ>(p.greenBrush),
                           static_cast<HGDIOBJ>(p.yellowBrush), static_cast<HGDIOBJ>(p.redBrush),
                           static_cast<HGDIOBJ>(p.font)}) {
        if (object != nullptr) {
            DeleteObject(object);
        }
    }
    p = GraphPens{};
}

// After every load: the window and the selection stay within the records, whatever the agent
// did to the file meanwhile.
void KeepViewWithinRecords(DriftView& view) {
    GraphWindow window{view.first, view.windowSize, view.end, g_graph.selected};
    KeepWindowWithin(view.count, &window);
    view.first = window.first;
    view.windowSize = window.windowSize;
    view.end = window.end;
    g_graph.selected = window.selected;
}

void SetGraphTitle(HWND window, const DriftView& view) {
    char title[320];
    std::snprintf(title, sizeof(title), "Quorvex II Drift Data: %s", view.title);
    SetWindowTextA(window, title);
}

// The scroll range and position, and the two enable rules that follow the record count.
void UpdateScrollAndButtons(HWND window, const DriftView& view) {
    HWND bar = GetDlgItem(window, IDC_GRAPH_SCROLL);
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = static_cast<int>(view.first);
    info.nPos = static_cast<int>(view.first);
    SetScrollInfo(bar, SB_CTL, &info, TRUE);
    EnableWindow(bar, view.count > kDriftWindowRecords);
    EnableWindow(GetDlgItem(window, IDC_GRAPH_RAW_DATA), view.count >= 2);
}

void RequestRedraw(HWND window) {
    PostMessageA(window, kGraphRedrawMessage, 0, 0);
}

// The selected scale list entry's value; 0 for "Auto".
uint32_t ChosenScale(HWND window) {
    HWND list = GetDlgItem(window, IDC_GRAPH_SCALE);
    const LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) {
        return 0;
    }
    return static_cast<uint32_t>(SendMessageA(list, CB_GETITEMDATA, index, 0));
}

HPEN MarkerPen(MarkerColor color) {
    const GraphPens& p = g_graph.pens;
    switch (color) {
    case MarkerColor::kRed:
        return p.red;
    case MarkerColor::kYellow:
        return p.yellow;
    case MarkerColor::kGreen:
        return p.green;
    default:
        return p.grey;
    }
}

HBRUSH MarkerBrush(MarkerColor color) {
    const GraphPens& p = g_graph.pens;
    switch (color) {
    case MarkerColor::kRed:
        return p.redBrush;
    case MarkerColor::kYellow:
        return p.yellowBrush;
    case MarkerColor::kGreen:
        return p.greenBrush;
    default:
        return static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    }
}

// The texts beside the field are written only when they change: every redraw sets them, and a
// rewritten static flickers.
void SetTextIfChanged(HWND window, int id, const char* text) {
    char shown[512];
    if (GetDlgItemTextA(window, id, shown, sizeof(shown)) == 0 || std::strcmp(shown, text) != 0) {
        SetDlgItemTextA(window, id, text);
    }
}

void DrawGraph(HWND window, HDC dc, const RECT& field) {
    DriftView& view = *g_graph.view;
    const int width = field.right - field.left;
    const int height = field.bottom - field.top;
    const int saved = SaveDC(dc);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 255, 0));
    FillRect(dc, &field, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SelectObject(dc, g_graph.pens.font);

    if (view.count < 2 || !view.records) {
        SetTextIfChanged(window, IDC_GRAPH_LABEL, "Waiting for data...");
        SetTextIfChanged(window, IDC_GRAPH_DETAILS,
                         "Waiting for more data. Every time the clock is checked, another data "
                         "point is added. Two or more data points are needed for graphing.");
        const char text[] = "Insufficient data points to graph. At least two samples required.";
        TextOutA(dc, 30, 30, text, static_cast<int>(sizeof(text) - 1));
        RestoreDC(dc, saved);
        return;
    }

    const GraphGeometry g = ComputeGraphGeometry(height);
    IntersectClipRect(dc, field.left, field.top, field.right, field.bottom);

    const uint32_t chosen = ChosenScale(window);
    view.scale = chosen != 0 ? chosen : AutoGraphScale(view.records.get(), view.first, view.end);
    char label[200];
    FormatVarianceLabel(view.first, view.end, view.count, view.scale, label, sizeof(label));
    SetTextIfChanged(window, IDC_GRAPH_LABEL, label);

    SIZE seven{};
    GetTextExtentPoint32A(dc, "7", 1, &seven);
    const int cw = seven.cx;
    const int ch = seven.cy;
    char number[32];
    int length = std::snprintf(number, sizeof(number), "%d ", -9 * static_cast<int>(view.scale));
    SIZE widest{};
    GetTextExtentPoint32A(dc, number, length, &widest);
    const int lw = widest.cx;

    SetTextAlign(dc, TA_RIGHT | TA_TOP);
    for (int k = 9; k >= -9; --k) {
        length = std::snprintf(number, sizeof(number), "%d", k * static_cast<int>(view.scale));
        TextOutA(dc, lw, AxisLabelTop(g, k, ch), number, length);
    }
    SetTextAlign(dc, TA_LEFT | TA_TOP);

    SelectObject(dc, g_graph.pens.darkGreen);
    for (int j = 1; j <= 19; ++j) {
        MoveToEx(dc, lw + cw, GridLineY(g, j), nullptr);
        LineTo(dc, width, GridLineY(g, j));
    }

    const int x1 = lw + 2 * cw;
    const double step = static_cast<double>(width - x1) / view.windowSize;
    const uint32_t shown = view.end - view.first;
    for (uint32_t k = 0; k < shown; ++k) {
        const DriftRecord& r = view.records[view.first + k];
        view.points[k].x = PointX(k, x1, step);
        view.points[k].y = PointY(g, r.varianceMs, view.scale);
    }
    SelectObject(dc, g_graph.pens.grey);
    MoveToEx(dc, view.points[0].x, view.points[0].y, nullptr);
    for (uint32_t k = 1; k < shown; ++k) {
        LineTo(dc, view.points[k].x, view.points[k].y);
    }

    bool selectedShown = false;
    for (uint32_t k = 0; k < shown; ++k) {
        const DriftRecord& r = view.records[view.first + k];
        const int x = view.points[k].x;
        const int y = view.points[k].y;
        if (r.reason == kReasonStartup) {
            SelectObject(dc, g_graph.pens.blue);
            SelectObject(dc, g_graph.pens.blueBrush);
            Ellipse(dc, x - 5, y - 5, x + 6, y + 6);
        }
        if (g_graph.selected == static_cast<int>(view.first + k)) {
            selectedShown = true;
            SelectObject(dc, GetStockObject(WHITE_PEN));
            SelectObject(dc, GetStockObject(NULL_BRUSH));
            Ellipse(dc, x - 6, y - 6, x + 7, y + 7);
        }
        const MarkerStyle style = MarkerStyleOf(r);
        SelectObject(dc, MarkerPen(style.color));
        SelectObject(dc, MarkerBrush(style.color));
        if (style.ellipse) {
            Ellipse(dc, x - 2, y - 3, x + 3, y + 4);
        } else {
            RoundRect(dc, x - 2, y - 3, x + 3, y + 4, 2, 2);
        }
    }
    if (!selectedShown) {
        char text[200];
        FormatAverageFrequency(view.averageInterval, text, sizeof(text));
        SetTextIfChanged(window, IDC_GRAPH_DETAILS, text);
    }
    RestoreDC(dc, saved);
}

// Releases what the window owns: its timer, drawing objects and view. A modal graph ends its
// dialog; a modeless one frees its view and tells its parent. Runs once per window, whether the
// window closes itself or its owner destroys it.
void ReleaseGraph(HWND window) {
    if (g_graph.window != window) {
        return;
    }
    KillTimer(window, kFollowTimer);
    g_graph.ready = false;
    DriftView* view = g_graph.view;
    HWND parent = g_graph.parent;
    DeletePens();
    g_graph = GraphState{};
    g_closedView = view;
    if (view == nullptr) {
        return;
    }
    view->file.reset();
    view->records.reset();
    if (view->modal) {
        EndDialog(window, view->lastError);
        return;
    }
    delete view;
    if (parent != nullptr) {
        PostMessageA(parent, kGraphClosedMessage, 0, 0);
    }
}

void CloseGraph(HWND window) {
    if (g_graph.window == window && g_graph.depth > 0) {
        g_graph.closePending = true;
        ShowWindow(window, SW_HIDE);
        return;
    }
    const bool modal = g_graph.view != nullptr && g_graph.view->modal;
    ReleaseGraph(window);
    if (!modal) {
        DestroyWindow(window);
    }
}

bool Start(HWND window, DriftView* view) {
    g_graph.window = window;
    g_graph.parent = g_openingParent != nullptr ? g_openingParent : GetWindow(window, GW_OWNER);
    g_graph.view = view;
    g_graph.ready = false;
    g_graph.selected = -1;
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(view));
    if (!LoadDriftFileWithPrompt(window, *view)) {
        return false;
    }
    KeepViewWithinRecords(*view);
    ReportZoneLabel(*view);
    SetGraphTitle(window, *view);
    CreatePens(window);
    HWND list = GetDlgItem(window, IDC_GRAPH_SCALE);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    LRESULT item = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Auto"));
    SendMessageA(list, CB_SETITEMDATA, item, 0);
    for (uint32_t scale : kGraphScales) {
        char text[16];
        std::snprintf(text, sizeof(text), "%ux", scale);
        item = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        SendMessageA(list, CB_SETITEMDATA, item, scale);
    }
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    SetDlgItemTextA(window, IDC_GRAPH_DETAILS, "");
    SetDlgItemTextA(window, IDC_GRAPH_LABEL, "");
    UpdateScrollAndButtons(window, *view);
    ShowWindow(GetDlgItem(window, IDC_GRAPH_OPEN_FILE), view->showOpenButton ? SW_SHOW : SW_HIDE);
    SetTimer(window, kFollowTimer, kFollowMs, nullptr);
    g_graph.ready = true;
    return true;
}

void OnTimer(HWND window) {
    if (!g_graph.ready) {
        return;
    }
    Busy busy;
    KillTimer(window, kFollowTimer);
    DriftView& view = *g_graph.view;
    // New records move the window only while the user looks at the newest ones.
    if (view.end >= view.count && LoadDriftFile(view, window) && view.changed) {
        KeepViewWithinRecords(view);
        UpdateScrollAndButtons(window, view);
        RequestRedraw(window);
    }
    SetTimer(window, kFollowTimer, kFollowMs, nullptr);
}

void OnScroll(HWND window, int request, int thumb) {
    if (!g_graph.ready) {
        return;
    }
    Busy busy;
    DriftView& view = *g_graph.view;
    HWND bar = GetDlgItem(window, IDC_GRAPH_SCROLL);
    const uint32_t next = ScrollFirst(request, thumb, view.first, view.windowSize, view.count);
    if (next != view.first) {
        view.first = next;
        view.end = view.first + view.windowSize;
        SetScrollPos(bar, SB_CTL, static_cast<int>(view.first), TRUE);
        RequestRedraw(window);
    }
}

void OpenAnotherFile(HWND window) {
    DriftView& view = *g_graph.view;
    char path[kDriftTextSize];
    std::snprintf(path, sizeof(path), "%s", view.path);
    if (!ChooseDriftFile(window, view.initialFolder, path)) {
        return;
    }
    ResetDriftView(view);
    std::snprintf(view.path, sizeof(view.path), "%s", path);
    g_graph.selected = -1;
    if (!LoadDriftFileWithPrompt(window, view)) {
        CloseGraph(window);
        return;
    }
    KeepViewWithinRecords(view);
    SetGraphTitle(window, view);
    UpdateScrollAndButtons(window, view);
    RequestRedraw(window);
}

void OnCommand(HWND window, int id, int code) {
    switch (id) {
    case IDOK:
    case IDCANCEL:
        CloseGraph(window);
        return;
    default:
        break;
    }
    if (!g_graph.ready) {
        return;
    }
    if (id == IDC_GRAPH_SCALE && code == CBN_SELCHANGE) {
        RequestRedraw(window);
    } else if (id == IDC_GRAPH_RAW_DATA && code == BN_CLICKED) {
        Busy busy;
        WriteSummaryReport(window, *g_graph.view);
    } else if (id == IDC_GRAPH_OPEN_FILE && code == BN_CLICKED) {
        Busy busy;
        OpenAnotherFile(window);
    }
}

// The record under a mouse position given in the window's client pixels, -1 for none.
int HitRecord(HWND window, LPARAM position) {
    const DriftView& view = *g_graph.view;
    POINT point{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
    MapWindowPoints(window, GetDlgItem(window, IDC_GRAPH_FIELD), &point, 1);
    if (view.count < 2) {
        return -1;
    }
    GraphPoint points[kDriftWindowRecords];
    const uint32_t shown = view.end - view.first;
    for (uint32_t k = 0; k < shown; ++k) {
        points[k] = GraphPoint{view.points[k].x, view.points[k].y};
    }
    const int k = HitTestPoints(points, shown, point.x, point.y);
    return k < 0 ? -1 : static_cast<int>(view.first) + k;
}

HCURSOR MarkerCursor() {
    return LoadCursorA(g_graph.view->instance, MAKEINTRESOURCEA(IDC_CURSOR_MARKER));
}

INT_PTR CALLBACK GraphProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        bool started = false;
        {
            Busy busy; // ready only once started
            started = Start(window, reinterpret_cast<DriftView*>(lParam));
            if (!started) {
                g_graph.closePending = true;
            }
        }
        return TRUE;
    }
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        CloseGraph(window);
        return TRUE;
    case WM_DESTROY:
        ReleaseGraph(window); // destroyed by its owner without closing first
        return FALSE;
    case WM_TIMER:
        if (wParam == kFollowTimer) {
            OnTimer(window);
        }
        return TRUE;
    case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window, IDC_GRAPH_SCROLL)) {
            OnScroll(window, LOWORD(wParam), HIWORD(wParam));
        }
        return TRUE;
    case WM_MOUSEMOVE:
        if (g_graph.ready) {
            SetCursor(HitRecord(window, lParam) >= 0 ? MarkerCursor()
                                                     : LoadCursorA(nullptr, IDC_ARROW));
        }
        return TRUE;
    case WM_LBUTTONUP:
        if (g_graph.ready) {
            const int hit = HitRecord(window, lParam);
            if (hit >= 0) {
                ShowPointDetails(window, hit);
            } else {
                g_graph.selected = -1;
                RequestRedraw(window);
            }
        }
        return TRUE;
    case kGraphRedrawMessage:
        InvalidateRect(GetDlgItem(window, IDC_GRAPH_FIELD), nullptr, FALSE);
        UpdateWindow(GetDlgItem(window, IDC_GRAPH_FIELD));
        return TRUE;
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID != IDC_GRAPH_FIELD) {
            return FALSE;
        }
        if (g_graph.ready && g_graph.view != nullptr) {
            Busy busy;
            DrawGraph(window, item->hDC, item->rcItem);
        } else {
            // Not ready (a handler runs): the field keeps a black face until the next paint.
            FillRect(item->hDC, &item->rcItem, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

} // namespace

void ShowPointDetails(HWND graph, int index) {
    DriftView* view = g_graph.view;
    if (view == nullptr || index < 0 || static_cast<uint32_t>(index) >= view->end ||
        static_cast<uint32_t>(index) >= view->count) {
        return;
    }
    char text[400];
    FormatPointDetails(view->records[index], static_cast<uint32_t>(index), view->localTime, text,
                       sizeof(text));
    SetDlgItemTextA(graph, IDC_GRAPH_DETAILS, text);
    g_graph.selected = index;
    RequestRedraw(graph);
    SetCursor(MarkerCursor());
    SetFocus(GetDlgItem(graph, IDC_GRAPH_SCROLL));
}

bool LoadDriftFileWithPrompt(HWND owner, DriftView& view) {
    for (;;) {
        if (LoadDriftFile(view, owner)) {
            return true;
        }
        if (view.path[0] == '\0' || view.lastError == ERROR_CANCELLED) {
            return false;
        }
        char text[900];
        std::snprintf(text, sizeof(text),
                      "Could not load file %s; %s\r\n\r\nWould you like to try a different file?",
                      view.path,
                      view.lastError == ERROR_INVALID_PARAMETER
                          ? "the file is either not a drift record file, or it is corrupted."
                          : SystemErrorText(view.lastError));
        HWND parent = owner == g_graph.window ? g_graph.parent : nullptr;
        const int answer =
            MessageBoxA(parent != nullptr ? parent : owner, text, "Horologix", kPromptStyle);
        if (answer != IDYES || (owner == g_graph.window && g_graph.closePending)) {
            return false; // declined, or the graph was closed while the question was open
        }
        ResetDriftView(view);
        view.path[0] = '\0';
    }
}

HWND OpenDriftGraph(HINSTANCE instance, HWND parent, bool localTime, bool showOpenButton,
                    const char* initialFolder, const char* path) {
    DriftView* view = new (std::nothrow) DriftView;
    if (view == nullptr) {
        MessageBoxA(parent, "Could not allocate memory to start the drift graph display.",
                    "Horologix", MB_OK | MB_ICONWARNING | MB_TOPMOST);
        return nullptr;
    }
    view->instance = instance;
    view->modal = false;
    view->localTime = localTime;
    view->showOpenButton = showOpenButton;
    std::snprintf(view->initialFolder, sizeof(view->initialFolder), "%s",
                  initialFolder != nullptr ? initialFolder : "");
    std::snprintf(view->path, sizeof(view->path), "%s", path != nullptr ? path : "");
    g_openingParent = parent;
    HWND window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_DRIFT_GRAPH), parent, GraphProc,
                                     reinterpret_cast<LPARAM>(view));
    g_openingParent = nullptr;
    if (window == nullptr) {
        if (g_closedView != view) {
            delete view; // the dialog never started: nothing else owns the view
        }
        return nullptr;
    }
    if (!IsWindow(window)) {
        return nullptr; // the first load failed: the window has closed itself
    }
    ShowWindow(window, SW_SHOW);
    return window;
}
