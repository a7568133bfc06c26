#include "applet/page_common_win.h"

#include <commctrl.h>
#include <prsht.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <cstdlib>
#include <new>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "common/message_box_win.h"
#include "common/text_trim.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/service_control_win.h"
#include "config/settings_apply_win.h"
#include "config/settings.h"
#include "resources/resource.h"
#include "resources/version.h"

namespace {

constexpr COLORREF kLinkColor = RGB(70, 70, 245);
constexpr UINT_PTR kLinkSubclassId = 2280;

// The hand over the link only: the link answers WM_SETCURSOR itself, so the class cursor of the
// static controls of the process stays the arrow.
LRESULT CALLBACK LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                          DWORD_PTR) {
    switch (message) {
    case WM_SETCURSOR:
        if (HCURSOR hand = LoadCursorA(AppletModule(), MAKEINTRESOURCEA(IDC_CURSOR_HAND))) {
            SetCursor(hand);
            return TRUE;
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(link, LinkProc, kLinkSubclassId);
        break;
    default:
        break;
    }
    return DefSubclassProc(link, message, wParam, lParam);
}

// A page's work on its own thread, holding the library while it runs (see StartPageWork).
struct WorkThread {
    HWND page;
    UINT message;
    PageWork* work;
    HMODULE pinned; // null when the applet is linked into a program
};

DWORD WINAPI RunPageWork(void* parameter) {
    auto* job = static_cast<WorkThread*>(parameter);
    job->work->Run();
    if (!PostMessageA(job->page, job->message, 0, reinterpret_cast<LPARAM>(job->work))) {
        delete job->work; // the page has gone
    }
    const HMODULE pinned = job->pinned;
    delete job;
    if (pinned != nullptr) {
        FreeLibraryAndExitThread(pinned, 0);
    }
    return 0;
}

// One more reference to the library holding this code, so that Control Panel unloading it
// cannot pull the code from under a worker; null inside a program.
HMODULE PinOwnLibrary() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&RunPageWork), &module)) {
        return nullptr;
    }
    if (module == GetModuleHandleA(nullptr)) {
        FreeLibrary(module);
        return nullptr;
    }
    return module;
}

void MarkPageChanged(HWND page) {
    PropSheet_Changed(GetParent(page), page);
}

// Records that the user changed these values (SettingValue bits), sets SettingsDirty and marks
// the sheet changed for the page.
void MarkValuesChanged(HWND page, uint32_t values) {
    AppletState& applet = Applet();
    applet.changedValues |= values;
    applet.settingsDirty = true;
    MarkPageChanged(page);
}

void MarkPageUnchanged(HWND page) {
    PropSheet_UnChanged(GetParent(page), page);
}

// The help link 2280 of a page: the maker's web address in the underlined font with the hand
// cursor.
void SetupHelpLink(HWND page) {
    HWND link = GetDlgItem(page, IDC_HELP_LINK);
    if (link == nullptr) {
        return;
    }
    SetWindowSubclass(link, LinkProc, kLinkSubclassId, 0);
    SetWindowTextA(link, HOROLOGIX_MAKER_WEB_ADDRESS);
    if (const SheetResources* resources = Applet().sheet) {
        SendMessageA(link, WM_SETFONT, reinterpret_cast<WPARAM>(resources->underlinedFont), TRUE);
    }
}

void OpenHelpLink(HWND page, const char* subject) {
    char address[512];
    FormatHelpAddress(subject, address, sizeof(address));
    ShellExecuteA(page, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

// The answer to WM_CTLCOLORSTATIC for the link (its colours); null for any other control, which
// the dialog then colours as usual.
HBRUSH HelpLinkColor(HDC dc, HWND control) {
    if (GetDlgCtrlID(control) != IDC_HELP_LINK) {
        return nullptr;
    }
    const int backdrop =
        GetSysColor(COLOR_BTNFACE) == GetSysColor(COLOR_MENU) ? COLOR_BTNFACE : COLOR_WINDOW;
    SetTextColor(dc, kLinkColor);
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, GetSysColor(backdrop));
    return GetSysColorBrush(backdrop);
}

} // namespace

void Page::MarkChanged(uint32_t values) {
    if (!initializing_) {
        MarkValuesChanged(window_, values);
    }
}

void Page::MarkSheetChanged() {
    MarkPageChanged(window_);
}

void Page::Apply() {
    ApplySettings(window_);
}

INT_PTR Page::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDC_HELP_LINK) {
            if (code == STN_CLICKED && helpSubject_ != nullptr) {
                OpenHelpLink(window_, helpSubject_);
            }
        } else {
            Command(id, code);
        }
        return TRUE;
    }
    case WM_NOTIFY:
        switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
            Filling([this] { Fill(); });
            Activated();
            SetWindowLongPtrA(window_, DWLP_MSGRESULT, 0);
            return TRUE;
        case PSN_KILLACTIVE:
            Read();
            SetWindowLongPtrA(window_, DWLP_MSGRESULT, FALSE);
            return TRUE;
        case PSN_APPLY:
            Apply();
            SetWindowLongPtrA(window_, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            HelpLinkColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_DESTROY:
        Destroyed();
        return FALSE;
    default:
        return Message(message, wParam, lParam) ? TRUE : FALSE;
    }
}

INT_PTR RunPage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                Page* (*create)(HWND window)) {
    if (message == WM_INITDIALOG) {
        Page* page = create(window);
        if (page != nullptr) {
            SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
            page->Filling([page, window] {
                SetupHelpLink(window);
                page->Initialize();
            });
        }
        return TRUE;
    }
    auto* page = reinterpret_cast<Page*>(GetWindowLongPtrA(window, DWLP_USER));
    if (page == nullptr) {
        return FALSE;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, DWLP_USER, 0);
        delete page;
        return FALSE;
    }
    return page->Dispatch(message, wParam, lParam);
}

bool StartPageWork(HWND page, UINT message, PageWork* work) {
    if (work == nullptr) {
        return false;
    }
    auto* job = new (std::nothrow) WorkThread{page, message, work, PinOwnLibrary()};
    if (job == nullptr) {
        delete work;
        return false;
    }
    const UniqueKernelHandle thread(CreateThread(nullptr, 0, RunPageWork, job, 0, nullptr));
    if (!thread) {
        if (job->pinned != nullptr) {
            FreeLibrary(job->pinned);
        }
        delete job;
        delete work;
        return false;
    }
    return true;
}

int ShowMessage(HWND owner, UINT style, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int answer = ShowProductMessageV(owner, Applet().quietMode, style, format, arguments);
    va_end(arguments);
    return answer;
}

void BusyCursor(bool on) {
    AppletState& applet = Applet();
    if (on) {
        if (applet.busyCount++ == 0) {
            SetCursor(LoadCursor(nullptr, IDC_WAIT));
        }
        return;
    }
    if (applet.busyCount > 0) {
        --applet.busyCount;
    }
    if (applet.busyCount == 0) {
        SetCursor(LoadCursor(nullptr, IDC_ARROW));
    }
}

namespace {

uint32_t TriggerTargetSync(const char* machine) {
    return TriggerDemandSync(machine, FALSE, 1);
}

} // namespace

int ApplySettings(HWND page) {
    AppletState& applet = Applet();
    if (!applet.settingsDirty) {
        return 0;
    }
    applet.settingsDirty = false;
    BusyCursor(true);
    // The marks stay after the save, so a later Apply writes them again with whatever else
    // changed meanwhile.
    const ApplyContext context{page, TargetOrNull(), CurrentEnvironment().familyProduct,
                               LocalSystemIdentity().os > kOsWin2000, TriggerTargetSync};
    // What Group Policy sets is never written: its local values stay as they are stored.
    const int result = ApplyMachineSettings(
        LocalRecordToSave(applet.settings, applet.policy), applet.baseline, applet.serverOrigins,
        applet.changedValues & ~applet.policy.policySet, context);
    BusyCursor(false);
    MarkPageUnchanged(page);
    return result;
}

void SetTextIfDifferent(HWND control, const char* text) {
    if (control == nullptr) {
        return;
    }
    char shown[1024];
    const int length = GetWindowTextA(control, shown, sizeof(shown));
    if (length >= static_cast<int>(sizeof(shown)) - 1 || strcmp(shown, text) != 0) {
        SetWindowTextA(control, text);
    }
}

void SetDlgItemTextIfDifferent(HWND dialog, int id, const char* text) {
    SetTextIfDifferent(GetDlgItem(dialog, id), text);
}

char* ReadTrimmedText(HWND dialog, int id, char* out, size_t limit) {
    out[0] = '\0';
    GetDlgItemTextA(dialog, id, out, static_cast<int>(limit + 1));
    out[limit] = '\0';
    return TrimWhitespace(out);
}

uint32_t ReadUnsigned(HWND dialog, int id) {
    BOOL translated = FALSE;
    const UINT value = GetDlgItemInt(dialog, id, &translated, FALSE);
    return translated ? value : 0;
}

void ShowControl(HWND dialog, int id, bool show) {
    if (HWND control = GetDlgItem(dialog, id)) {
        ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    }
}

void EnableControl(HWND dialog, int id, bool enable) {
    if (HWND control = GetDlgItem(dialog, id)) {
        EnableWindow(control, enable ? TRUE : FALSE);
    }
}

bool IsChecked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}
