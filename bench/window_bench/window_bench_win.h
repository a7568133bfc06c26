// Drives the windows of another thread or process as a person would: finds them by caption,
// switches property-sheet pages, clicks, types, picks list items and answers message boxes,
// through real windows and messages. Test and demo tooling only.
//
// Every wait here is bounded: a wait that runs out answers false (or null) and never hangs.
// Messages that only read (texts, states) are sent with a time limit; actions that may open a
// modal box on the other thread (clicks, sheet buttons, answers) are posted, so the caller waits
// for their effect with WaitUntil.
//
// Two kinds of wait: one for something that should happen is bounded by kPatienceMs, which costs
// nothing when it happens, as the wait returns at once; a check that something does not happen
// watches for a short, explicit time with StaysTrueFor (or NoMessageBox), which can only let a
// fault through unseen, never fail a test that is right.
#pragma once

#include <windows.h>
#include <cpl.h>

#include <functional>
#include <string>
#include <vector>

#include "bench/test_waits_win.h"

namespace winbench {

// How long a test waits for something that should happen before it fails, in ms: generous, for
// a loaded machine, as a wait returns as soon as its condition holds.
using ::kPatienceMs;
// How long a message sent to another thread may take before the call gives up, in ms. The
// thread may be busy for a while (a service control, a modal box starting): only a thread that
// stays unanswering this long counts as stuck.
constexpr DWORD kSendTimeoutMs = kPatienceMs;
// The property sheet's Apply button.
constexpr int kApplyButton = 0x3021;

// Calls `done` every few milliseconds until it answers true (true) or timeoutMs has passed
// (false). `done` is called at least once, also with a timeout of 0.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);
// The check that something does not happen: calls `holds` every few milliseconds for ms and
// answers false as soon as it answers false, true when it held every time.
using ::StaysTrueFor;

// The first visible top-level window of any process whose class is className (null: any class)
// and whose caption is exactly caption (null: any caption); null when none appeared in time.
HWND WaitForWindow(const char* className, const char* caption, DWORD timeoutMs);
// The same, among the windows of one process.
HWND WaitForWindowOfProcess(DWORD processId, const char* className, const char* caption,
                            DWORD timeoutMs);

// Window texts; "" when the window is gone or does not answer in kSendTimeoutMs.
std::string WindowText(HWND window);
std::string ClassName(HWND window);

// --- Property sheets ---

// A visible property sheet (a "#32770" window with a tab control) with this caption (null: any)
// in any process, or in one process; null when none appeared in time. Message boxes of the same
// caption are not taken for the sheet.
HWND WaitForSheet(const char* caption, DWORD timeoutMs);
HWND WaitForSheetOfProcess(DWORD processId, const char* caption, DWORD timeoutMs);

// The page the sheet shows now; null when the sheet does not answer.
HWND CurrentPage(HWND sheet);
// The titles of the sheet's tabs, left to right.
std::vector<std::string> TabTitles(HWND sheet);
// Selects the page whose tab shows tabTitle (an "&" in the title may be left out), as a click on
// the tab does: the old page is told it loses the selection, the new one that it is active.
// True once the sheet shows that page; false when no tab has that title, or the sheet refused
// or did not switch within timeoutMs.
bool SelectPage(HWND sheet, const char* tabTitle, DWORD timeoutMs = kPatienceMs);
// Presses one of the sheet's own buttons (IDOK, IDCANCEL, kApplyButton) as a click does. False
// when the button is missing or disabled; the effect (PSN_APPLY, the sheet closing) follows
// on the sheet's thread.
bool PressSheetButton(HWND sheet, int id);

// --- Controls by id (dialog: a page or any dialog) ---

std::string Text(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);
bool IsVisible(HWND dialog, int id);
// A check box or radio button that shows its check mark.
bool IsChecked(HWND dialog, int id);
// Clicks a button, check box or radio button (posted, BM_CLICK); any other control (a static
// that notifies, a link) gets a mouse press and release near its left end. False when the
// control is missing, hidden or disabled, as a click on a disabled control does nothing.
bool Click(HWND dialog, int id);
// Gives the edit the focus, selects its whole text and types text over it one WM_CHAR at a time,
// so the dialog sees EN_UPDATE/EN_CHANGE for each character as from a keyboard. An empty text
// leaves the field as it was; ClearAndType first deletes the selection with Backspace (the dialog
// sees the field empty), then types. False when the control is missing, disabled or stopped
// answering; when true, the dialog has handled every character.
bool Type(HWND dialog, int id, const char* text);
bool ClearAndType(HWND dialog, int id, const char* text);
// Selects the item of a drop-down list whose text is exactly itemText, then sends the dialog the
// CBN_SELCHANGE that a user's choice sends. False when the list has no such item.
bool SelectItem(HWND dialog, int id, const char* itemText);
// The items of a combo box or list box, in list order.
std::vector<std::string> ListItems(HWND dialog, int id);

// --- Message boxes ---

struct MessageBoxSeen {
    HWND window = nullptr;
    std::string caption;
    std::string text;
};

// Waits for a visible message box (a "#32770" window with a message text, control 0xFFFF, and
// buttons) with this caption (null: any) in any process, or in one process; fills *seen when one
// appeared.
bool WaitForMessageBox(const char* caption, DWORD timeoutMs, MessageBoxSeen* seen);
bool WaitForMessageBoxOfProcess(DWORD processId, const char* caption, DWORD timeoutMs,
                                MessageBoxSeen* seen);
// Presses the box's button (IDOK, IDYES, IDNO, IDCANCEL, ...) as a click does, then waits up to
// timeoutMs for the box to go away. False when the box has no such button or stayed.
bool Answer(const MessageBoxSeen& box, int buttonId, DWORD timeoutMs = kPatienceMs);
// True when no message box with this caption (null: any) is showing at any time within ms (a
// check that something does not happen, as StaysTrueFor).
bool NoMessageBox(const char* caption, DWORD ms);

// --- Running an applet on its own thread ---

// One CPlApplet call: message and its two parameters.
struct AppletCall {
    UINT message;
    LPARAM param1;
    LPARAM param2;
};

// What Control Panel would see of one applet run.
struct AppletOutcome {
    LONG initAnswer = 0;  // CPL_INIT
    LONG countAnswer = 0; // CPL_GETCOUNT
    CPLINFO info = {};    // CPL_INQUIRE for applet 0
    // The answer of each call of the run, in order, and the thread's last error right after it.
    std::vector<LONG_PTR> answers;
    std::vector<DWORD> lastErrors;
    // The last call's answer and last error: the run's result.
    LONG_PTR result = 0;
    DWORD lastError = 0;
};

// Runs an applet on a thread of its own, as Control Panel's user-interface thread does (a
// single-threaded COM apartment), so that the calling thread can drive the windows it opens.
class AppletSession {
public:
    AppletSession() = default;
    AppletSession(const AppletSession&) = delete;
    AppletSession& operator=(const AppletSession&) = delete;
    // Waits up to 2 s for the run to end; then closes the windows the run left open (the sheet
    // is cancelled, message boxes closed) until it ends, for up to kPatienceMs more. A run that
    // still does not end is left running with its library loaded, and a line on stderr says so.
    ~AppletSession();

    // Loads the applet (a .cpl path) and starts, on the new thread, CPL_INIT, CPL_GETCOUNT,
    // CPL_INQUIRE, then the calls given (CPL_DBLCLK for applet 0 by default, owner window
    // `owner`), then CPL_STOP and CPL_EXIT as Control Panel does. False (with the thread's last
    // error) when the library, its CPlApplet export or the thread could not be had.
    bool Open(const char* cplPath, std::vector<AppletCall> calls = {{CPL_DBLCLK, 0, 0}},
              HWND owner = nullptr);
    // Runs `body` on the new thread instead, for tests that link the applet statically; its
    // answer and the thread's last error after it are the outcome's result and lastError.
    bool Run(std::function<LONG_PTR()> body);

    // True when the run has ended within timeoutMs; then Outcome() is complete.
    bool Wait(DWORD timeoutMs);
    bool Running() const;
    const AppletOutcome& Outcome() const { return outcome_; }
    DWORD ThreadId() const { return threadId_; }

private:
    static DWORD WINAPI ThreadMain(void* self);
    bool StartThread();
    void CloseThreadWindows();

    HMODULE library_ = nullptr;
    APPLET_PROC entry_ = nullptr;
    HWND owner_ = nullptr;
    std::vector<AppletCall> calls_;
    std::function<LONG_PTR()> body_;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    AppletOutcome outcome_;
};

// --- Recording the web addresses the applet opens ---

// Where url-recorder.exe appends each address it is started with, one line each.
std::string UrlRecorderLog();
// Makes recorderPath (url-recorder.exe) the "open" command of the http and https protocols in
// both registry views, so that ShellExecute "open" of a web address starts it with the address;
// the commands it replaces are kept for RemoveUrlRecorder. False with the thread's last error
// when a registry write failed.
bool InstallUrlRecorder(const char* recorderPath);
// Puts back the commands InstallUrlRecorder replaced.
bool RemoveUrlRecorder();
// The addresses recorded so far, oldest first.
std::vector<std::string> RecordedUrls();
void ClearRecordedUrls();
// Waits until at least `count` addresses are recorded (the recorder runs in a process of its
// own, started after ShellExecute has returned).
bool WaitForRecordedUrls(size_t count, DWORD timeoutMs);

} // namespace winbench
