// What every page of the applet shares: the page skeleton (the property-sheet notifications, the
// page's state behind DWLP_USER, the help link and "changed"), its message box, the common
// Apply, the nesting busy cursor, work run off the page thread, and small control helpers.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "common/message_box_win.h"

// The applet's message box (ShowProductMessage): in QuietMode nothing is shown and the answer
// is 1.
int ShowMessage(HWND owner, UINT style, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The common Apply of every page: saves the applet's settings record when a page changed it,
// tells the Windows Time service of the target and asks it to synchronize. Returns the result
// of the synchronization trigger, 0 when none was sent.
int ApplySettings(HWND page);

// Shows the wait cursor while any caller has it on; calls nest.
void BusyCursor(bool on);

// Writes a control's text only when it differs from what it shows (no flicker).
void SetTextIfDifferent(HWND control, const char* text);
void SetDlgItemTextIfDifferent(HWND dialog, int id, const char* text);
// A control's text, at most limit characters, trimmed at both ends; out holds limit + 1 bytes.
char* ReadTrimmedText(HWND dialog, int id, char* out, size_t limit);
// A control's text as an unsigned number; 0 for text that is not a number.
uint32_t ReadUnsigned(HWND dialog, int id);
void ShowControl(HWND dialog, int id, bool show);
void EnableControl(HWND dialog, int id, bool enable);
bool IsChecked(HWND dialog, int id);

// The skeleton of a property-sheet page. A page derives from Page, overrides the steps it needs
// and hands its procedure to RunPage with a factory; the object lives behind the page's
// DWLP_USER from WM_INITDIALOG to WM_NCDESTROY. The skeleton answers PSN_SETACTIVE (Fill, with
// the initializing flag set, then Activated), PSN_KILLACTIVE (Read) and PSN_APPLY (Apply) through
// DWLP_MSGRESULT, sets up the help link and opens it with the page's subject, and colours it.
class Page {
public:
    Page(HWND window, const char* helpSubject) : window_(window), helpSubject_(helpSubject) {}
    virtual ~Page() = default;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    HWND window() const { return window_; }
    // True while the page fills its controls: their change notifications are not the user's.
    bool initializing() const { return initializing_; }

    // Records that the user changed these values (SettingValue bits) and lights Apply; nothing
    // while the page fills its controls.
    void MarkChanged(uint32_t values);
    // Lights Apply for values the page recorded as changed itself.
    void MarkSheetChanged();

protected:
    // WM_INITDIALOG, with the initializing flag set and the help link ready.
    virtual void Initialize() {}
    // PSN_SETACTIVE: the controls from the record (initializing set), then what follows the
    // fill (timers, requests to workers).
    virtual void Fill() {}
    virtual void Activated() {}
    // PSN_KILLACTIVE: the controls back into the record.
    virtual void Read() {}
    // PSN_APPLY: the common Apply.
    virtual void Apply();
    virtual void Command(int id, int code) {
        (void)id;
        (void)code;
    }
    // Any other message (timers, private messages, results of workers); true when handled.
    virtual bool Message(UINT message, WPARAM wParam, LPARAM lParam) {
        (void)message;
        (void)wParam;
        (void)lParam;
        return false;
    }
    // WM_DESTROY, while the controls still exist.
    virtual void Destroyed() {}

    // Runs a fill step with the initializing flag set (it nests).
    template <class Step> void Filling(Step step) {
        const bool was = initializing_;
        initializing_ = true;
        step();
        initializing_ = was;
    }

private:
    friend INT_PTR RunPage(HWND, UINT, WPARAM, LPARAM, Page* (*)(HWND));
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_;
    const char* helpSubject_;
    bool initializing_ = false;
};

// The page procedure's body: create makes the page's object at WM_INITDIALOG (null when out of
// memory: the page then stays empty).
INT_PTR RunPage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                Page* (*create)(HWND window));

// Work that would block the page thread (the service manager, name lookups): Run happens on a
// thread of its own; then the page receives `message` with the work as LPARAM and takes it
// back with TakePageWork. When the page has gone by then, the work is deleted.
class PageWork {
public:
    virtual ~PageWork() = default;
    virtual void Run() = 0;
};
// False (and the work deleted) when no thread could be started.
bool StartPageWork(HWND page, UINT message, PageWork* work);
template <class Work> Work* TakePageWork(LPARAM lParam) {
    return static_cast<Work*>(reinterpret_cast<PageWork*>(lParam));
}
