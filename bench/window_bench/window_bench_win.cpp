// Finding windows and driving sheets, controls and message boxes of another thread.
#include "bench/window_bench/window_bench_win.h"

#include "common/unique_handle_win.h"

#include <commctrl.h>
#include <prsht.h>

#include <cstring>

namespace winbench {
namespace {

// How often a wait looks again, in ms: short against the tests' timeouts, long enough that the
// watched thread gets the processor.
constexpr DWORD kPollMs = 15;
// The id Windows gives a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;

// Not SMTO_ABORTIFHUNG: a thread that has not looked at its queue for a few seconds (busy with a
// service control on a loaded machine) is slow, not stuck, and its answer is still wanted.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* answer = nullptr) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs,
                            &result) == 0) {
        return false;
    }
    if (answer != nullptr) {
        *answer = static_cast<LRESULT>(result);
    }
    return true;
}

// A posted action reaches a modal loop of Wine's only when the loop wakes: a WM_NULL after it
// makes sure the loop looks at its end flag once the action has run.
bool PostAndWake(HWND target, UINT message, WPARAM wParam, LPARAM lParam, HWND loopWindow) {
    if (!PostMessageA(target, message, wParam, lParam)) {
        return false;
    }
    PostMessageA(loopWindow, WM_NULL, 0, 0);
    return true;
}

// The caption as the window manager keeps it: no message is sent, so a busy thread cannot stall
// the search.
std::string StoredCaption(HWND window) {
    wchar_t wide[512];
    const int length = InternalGetWindowText(window, wide, sizeof(wide) / sizeof(wide[0]));
    if (length <= 0) {
        return "";
    }
    char narrow[1024];
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, wide, length, narrow, sizeof(narrow) - 1, nullptr, nullptr);
    return std::string(narrow, bytes > 0 ? bytes : 0);
}

std::string WithoutAmpersands(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i; // "&&" stands for one "&"
        }
        plain += text[i];
    }
    return plain;
}

struct WindowSearch {
    DWORD processId; // 0: any process
    const char* className;
    const char* caption;
    enum { kAnyWindow, kMessageBox, kSheet } kind;
    HWND found;
};

bool HasTabControl(HWND window) {
    return FindWindowExA(window, nullptr, WC_TABCONTROLA, nullptr) != nullptr;
}

bool LooksLikeMessageBox(HWND window) {
    if (GetDlgItem(window, kMessageBoxTextId) == nullptr || HasTabControl(window)) {
        return false;
    }
    for (int id = IDOK; id <= IDCONTINUE; ++id) {
        if (GetDlgItem(window, id) != nullptr) {
            return true;
        }
    }
    return false;
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    if (!IsWindowVisible(window)) {
        return TRUE;
    }
    if (search->processId != 0) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != search->processId) {
            return TRUE;
        }
    }
    if (search->className != nullptr && ClassName(window) != search->className) {
        return TRUE;
    }
    if (search->caption != nullptr && StoredCaption(window) != search->caption) {
        return TRUE;
    }
    if ((search->kind == WindowSearch::kMessageBox && !LooksLikeMessageBox(window)) ||
        (search->kind == WindowSearch::kSheet && !HasTabControl(window))) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND FindWindowNow(WindowSearch search) {
    search.found = nullptr;
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Control(HWND dialog, int id) {
    return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

bool IsListBox(HWND control) {
    const std::string name = ClassName(control);
    return _stricmp(name.c_str(), "ListBox") == 0 || _stricmp(name.c_str(), "ComboLBox") == 0;
}

// Reads one tab's text. Tab items carry a pointer to the caller's buffer, which the system
// copies only inside one process; for a tab of another process the item and its buffer are
// placed in that process. Both processes must have the same pointer size.
std::string TabText(HWND tab, int index) {
    char text[256] = "";
    TCITEMA item = {};
    item.mask = TCIF_TEXT;
    item.cchTextMax = sizeof(text);
    DWORD processId = 0;
    GetWindowThreadProcessId(tab, &processId);
    if (processId == GetCurrentProcessId()) {
        item.pszText = text;
        LRESULT ok = 0;
        if (!Send(tab, TCM_GETITEMA, index, reinterpret_cast<LPARAM>(&item), &ok) || !ok) {
            return "";
        }
        text[sizeof(text) - 1] = '\0';
        return text;
    }
    UniqueKernelHandle process(
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId));
    if (!process) {
        return "";
    }
    const SIZE_T size = sizeof(item) + sizeof(text);
    void* remote = VirtualAllocEx(process.get(), nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    if (remote == nullptr) {
        return "";
    }
    item.pszText = static_cast<char*>(remote) + sizeof(item);
    LRESULT ok = 0;
    const bool read = WriteProcessMemory(process.get(), remote, &item, sizeof(item), nullptr) &&
                      Send(tab, TCM_GETITEMA, index, reinterpret_cast<LPARAM>(remote), &ok) && ok &&
                      ReadProcessMemory(process.get(), item.pszText, text, sizeof(text), nullptr);
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    text[sizeof(text) - 1] = '\0';
    return read ? text : "";
}

HWND TabControl(HWND sheet) {
    LRESULT tab = 0;
    return Send(sheet, PSM_GETTABCONTROL, 0, 0, &tab) ? reinterpret_cast<HWND>(tab) : nullptr;
}

bool TypeCharacters(HWND edit, const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        if (!Send(edit, WM_CHAR, static_cast<unsigned char>(*c), 1)) {
            return false;
        }
    }
    return true;
}

// Focus and selection as the dialog manager gives them when the user tabs into the field.
bool FocusAndSelectAll(HWND dialog, HWND edit) {
    return Send(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE) &&
           Send(edit, EM_SETSEL, 0, -1);
}

bool TypeInto(HWND dialog, int id, const char* text, bool clearFirst) {
    HWND edit = Control(dialog, id);
    if (edit == nullptr || !IsWindowEnabled(edit) || !FocusAndSelectAll(dialog, edit)) {
        return false;
    }
    if (clearFirst && !Send(edit, WM_CHAR, VK_BACK, 1)) {
        return false;
    }
    return TypeCharacters(edit, text != nullptr ? text : "");
}

} // namespace

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(kPollMs);
    }
}

std::string ClassName(HWND window) {
    char name[256];
    const int length = GetClassNameA(window, name, sizeof(name));
    return std::string(name, length > 0 ? length : 0);
}

std::string WindowText(HWND window) {
    LRESULT length = 0;
    if (window == nullptr || !Send(window, WM_GETTEXTLENGTH, 0, 0, &length) || length < 0) {
        return "";
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    LRESULT copied = 0;
    if (!Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), &copied)) {
        return "";
    }
    text.resize(copied >= 0 && static_cast<size_t>(copied) < text.size() ? copied : 0);
    return text;
}

HWND WaitForWindow(const char* className, const char* caption, DWORD timeoutMs) {
    return WaitForWindowOfProcess(0, className, caption, timeoutMs);
}

HWND WaitForWindowOfProcess(DWORD processId, const char* className, const char* caption,
                            DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            found =
                FindWindowNow({processId, className, caption, WindowSearch::kAnyWindow, nullptr});
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

HWND WaitForSheet(const char* caption, DWORD timeoutMs) {
    return WaitForSheetOfProcess(0, caption, timeoutMs);
}

HWND WaitForSheetOfProcess(DWORD processId, const char* caption, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            found = FindWindowNow({processId, "#32770", caption, WindowSearch::kSheet, nullptr});
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

HWND CurrentPage(HWND sheet) {
    LRESULT page = 0;
    return Send(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, &page) ? reinterpret_cast<HWND>(page)
                                                            : nullptr;
}

std::vector<std::string> TabTitles(HWND sheet) {
    std::vector<std::string> titles;
    HWND tab = TabControl(sheet);
    LRESULT count = 0;
    if (tab == nullptr || !Send(tab, TCM_GETITEMCOUNT, 0, 0, &count)) {
        return titles;
    }
    for (int i = 0; i < count; ++i) {
        titles.push_back(TabText(tab, i));
    }
    return titles;
}

bool SelectPage(HWND sheet, const char* tabTitle, DWORD timeoutMs) {
    const std::vector<std::string> titles = TabTitles(sheet);
    int index = -1;
    for (size_t i = 0; i < titles.size() && index < 0; ++i) {
        if (titles[i] == tabTitle || WithoutAmpersands(titles[i]) == tabTitle) {
            index = static_cast<int>(i);
        }
    }
    HWND tab = TabControl(sheet);
    if (index < 0 || tab == nullptr) {
        return false;
    }
    auto showing = [&] {
        LRESULT selected = -1;
        LRESULT pageIndex = -1;
        HWND page = CurrentPage(sheet);
        return page != nullptr && Send(tab, TCM_GETCURSEL, 0, 0, &selected) && selected == index &&
               Send(sheet, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(page), 0, &pageIndex) &&
               pageIndex == index;
    };
    if (showing()) {
        return true;
    }
    // Posted: the page that loses the selection may refuse it with a message box of its own.
    return PostAndWake(sheet, PSM_SETCURSEL, index, 0, sheet) && WaitUntil(showing, timeoutMs);
}

bool PressSheetButton(HWND sheet, int id) {
    HWND button = Control(sheet, id);
    if (button == nullptr || !IsWindowEnabled(button) || !IsWindowVisible(button)) {
        return false;
    }
    return PostAndWake(button, BM_CLICK, 0, 0, sheet);
}

std::string Text(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    return control != nullptr ? WindowText(control) : "";
}

bool IsEnabled(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    return control != nullptr && IsWindowEnabled(control);
}

bool IsVisible(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    return control != nullptr && IsWindowVisible(control);
}

bool IsChecked(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    LRESULT state = BST_UNCHECKED;
    return control != nullptr && Send(control, BM_GETCHECK, 0, 0, &state) && state == BST_CHECKED;
}

bool Click(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    if (control == nullptr || !IsWindowEnabled(control) || !IsWindowVisible(control)) {
        return false;
    }
    HWND root = GetAncestor(control, GA_ROOT);
    if (_stricmp(ClassName(control).c_str(), "Button") == 0) {
        return PostAndWake(control, BM_CLICK, 0, 0, root);
    }
    // Anything else (a link drawn by a static, a list) gets the mouse press and release, near
    // the left end where a left-aligned text begins.
    RECT area = {};
    GetClientRect(control, &area);
    const int x = area.right / 2 < 8 ? area.right / 2 : 8;
    const LPARAM point = MAKELPARAM(x, area.bottom / 2);
    return PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, point) &&
           PostAndWake(control, WM_LBUTTONUP, 0, point, root);
}

bool Type(HWND dialog, int id, const char* text) {
    return TypeInto(dialog, id, text, false);
}

bool ClearAndType(HWND dialog, int id, const char* text) {
    return TypeInto(dialog, id, text, true);
}

bool SelectItem(HWND dialog, int id, const char* itemText) {
    HWND list = Control(dialog, id);
    if (list == nullptr || !IsWindowEnabled(list)) {
        return false;
    }
    // By the text shown, case included (CB_FINDSTRINGEXACT would ignore case).
    const std::vector<std::string> items = ListItems(dialog, id);
    LRESULT index = CB_ERR;
    for (size_t i = 0; i < items.size() && index == CB_ERR; ++i) {
        if (items[i] == itemText) {
            index = static_cast<LRESULT>(i);
        }
    }
    LRESULT selected = CB_ERR;
    return index != CB_ERR && Send(list, CB_SETCURSEL, index, 0, &selected) && selected == index &&
           Send(GetParent(list), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                reinterpret_cast<LPARAM>(list));
}

std::vector<std::string> ListItems(HWND dialog, int id) {
    std::vector<std::string> items;
    HWND list = Control(dialog, id);
    if (list == nullptr) {
        return items;
    }
    const bool listBox = IsListBox(list);
    const UINT countMessage = listBox ? LB_GETCOUNT : CB_GETCOUNT;
    const UINT lengthMessage = listBox ? LB_GETTEXTLEN : CB_GETLBTEXTLEN;
    const UINT textMessage = listBox ? LB_GETTEXT : CB_GETLBTEXT;
    LRESULT count = 0;
    if (!Send(list, countMessage, 0, 0, &count) || count < 0) {
        return items;
    }
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = 0;
        if (!Send(list, lengthMessage, i, 0, &length) || length < 0) {
            break;
        }
        std::string text(static_cast<size_t>(length) + 1, '\0');
        LRESULT copied = 0;
        if (!Send(list, textMessage, i, reinterpret_cast<LPARAM>(&text[0]), &copied) ||
            copied < 0) {
            break;
        }
        text.resize(static_cast<size_t>(copied) <= static_cast<size_t>(length) ? copied : 0);
        items.push_back(text);
    }
    return items;
}

bool WaitForMessageBox(const char* caption, DWORD timeoutMs, MessageBoxSeen* seen) {
    return WaitForMessageBoxOfProcess(0, caption, timeoutMs, seen);
}

bool WaitForMessageBoxOfProcess(DWORD processId, const char* caption, DWORD timeoutMs,
                                MessageBoxSeen* seen) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            found =
                FindWindowNow({processId, "#32770", caption, WindowSearch::kMessageBox, nullptr});
            return found != nullptr;
        },
        timeoutMs);
    if (found == nullptr) {
        return false;
    }
    if (seen != nullptr) {
        seen->window = found;
        seen->caption = StoredCaption(found);
        seen->text = Text(found, kMessageBoxTextId);
    }
    return true;
}

bool Answer(const MessageBoxSeen& box, int buttonId, DWORD timeoutMs) {
    HWND button = Control(box.window, buttonId);
    if (button == nullptr || !PostAndWake(button, BM_CLICK, 0, 0, box.window)) {
        return false;
    }
    return WaitUntil([&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); },
                     timeoutMs);
}

bool NoMessageBox(const char* caption, DWORD ms) {
    return !WaitForMessageBox(caption, ms, nullptr);
}

} // namespace winbench
