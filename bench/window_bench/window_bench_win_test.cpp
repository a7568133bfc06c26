// The window bench driving real windows of another thread and process: a two-page property
// sheet built here, a stand-in applet through the Control Panel sequence and through
// window-driver.exe, and the web addresses ShellExecute hands to url-recorder.exe.
#include "bench/window_bench/window_bench_win.h"

#include "common/unique_handle_win.h"

#include <commctrl.h>
#include <prsht.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using namespace winbench;

// Control ids of the test sheet.
constexpr int kEdit = 101;
constexpr int kAskButton = 102;
constexpr int kList = 103;
constexpr int kCheck = 104;
constexpr int kSecondStatic = 201;

// An in-memory dialog template: header, font, then items, each DWORD aligned.
class DialogTemplate {
public:
    explicit DialogTemplate(short width, short height) {
        Dword(WS_CHILD | DS_CONTROL | DS_SETFONT);
        Dword(0);
        words_.push_back(0); // item count, counted by Add
        words_.insert(words_.end(), {0, 0, static_cast<WORD>(width), static_cast<WORD>(height)});
        words_.insert(words_.end(), {0, 0}); // no menu, the default class
        Text(L"");
        words_.push_back(8);
        Text(L"MS Shell Dlg");
    }

    void Add(WORD classAtom, int id, DWORD style, short x, short y, short width, short height,
             const wchar_t* text) {
        if (words_.size() % 2 != 0) {
            words_.push_back(0);
        }
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        words_.insert(words_.end(),
                      {static_cast<WORD>(x), static_cast<WORD>(y), static_cast<WORD>(width),
                       static_cast<WORD>(height), static_cast<WORD>(id), 0xFFFF, classAtom});
        Text(text);
        words_.push_back(0); // no creation data
        ++words_[4];
    }

    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Dword(DWORD value) {
        words_.push_back(LOWORD(value));
        words_.push_back(HIWORD(value));
    }
    void Text(const wchar_t* text) {
        while (*text != L'\0') {
            words_.push_back(*text++);
        }
        words_.push_back(0);
    }
    std::vector<WORD> words_;
};

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kComboClass = 0x0085;

// What the pages saw, written on the sheet's thread.
struct PagesSeen {
    std::atomic<int> editChanges{0};
    std::atomic<int> selectionChanges{0};
    std::atomic<int> selectedIndex{-1};
    std::atomic<int> answer{0};
    std::atomic<int> applies{0};
    std::atomic<int> secondActivations{0};
    std::atomic<int> linkClicks{0};
    bool filling = false;
};
PagesSeen* seen = nullptr;

INT_PTR CALLBACK FirstPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        seen->filling = true;
        for (const char* item : {"Disabled", "Automatic", "Manual"}) {
            SendDlgItemMessageA(page, kList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        }
        SendDlgItemMessageA(page, kList, CB_SETCURSEL, 1, 0);
        SetDlgItemTextA(page, kEdit, "start");
        seen->filling = false;
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == kEdit && HIWORD(wParam) == EN_CHANGE && !seen->filling) {
            ++seen->editChanges;
            PropSheet_Changed(GetParent(page), page);
        } else if (LOWORD(wParam) == kList && HIWORD(wParam) == CBN_SELCHANGE) {
            ++seen->selectionChanges;
            seen->selectedIndex =
                static_cast<int>(SendDlgItemMessageA(page, kList, CB_GETCURSEL, 0, 0));
        } else if (LOWORD(wParam) == kAskButton && HIWORD(wParam) == BN_CLICKED) {
            char value[64];
            GetDlgItemTextA(page, kEdit, value, sizeof(value));
            char question[128];
            snprintf(question, sizeof(question), "Replace \"%s\"?\r\nThe old value is lost.",
                     value);
            seen->answer =
                MessageBoxA(page, question, "Bench question", MB_YESNO | MB_ICONQUESTION);
        }
        return TRUE;
    case WM_NOTIFY:
        if (reinterpret_cast<NMHDR*>(lParam)->code == PSN_APPLY) {
            ++seen->applies;
            SetWindowLongPtrA(page, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK SecondPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kSecondStatic && HIWORD(wParam) == STN_CLICKED) {
        ++seen->linkClicks;
        return TRUE;
    }
    if (message == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->code == PSN_SETACTIVE) {
        ++seen->secondActivations;
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

// The sheet's own folder, where the bench's programs are built beside it.
std::string ProgramFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\'));
}

std::string ClassesCommand(const char* protocol) {
    char command[1024] = "";
    LONG size = sizeof(command);
    const std::string key = std::string(protocol) + "\\shell\\open\\command";
    if (RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), command, &size) != ERROR_SUCCESS) {
        return "";
    }
    return command;
}

TEST(WindowBench, drives_a_two_page_sheet_on_another_thread_as_a_user) {
    PagesSeen pages;
    seen = &pages;
    DialogTemplate first(220, 120);
    first.Add(kEditClass, kEdit, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 10, 10, 120, 14, L"");
    first.Add(kButtonClass, kAskButton, BS_PUSHBUTTON | WS_TABSTOP, 140, 10, 60, 14, L"&Ask");
    first.Add(kComboClass, kList, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 10, 34, 120, 60, L"");
    first.Add(kButtonClass, kCheck, BS_AUTOCHECKBOX | WS_TABSTOP, 10, 56, 120, 12, L"&Enable");
    DialogTemplate second(220, 120);
    second.Add(kStaticClass, kSecondStatic, SS_LEFT | SS_NOTIFY, 10, 10, 120, 12, L"Second page");

    PROPSHEETPAGEA sheetPages[2] = {};
    const DialogTemplate* templates[2] = {&first, &second};
    const DLGPROC procedures[2] = {FirstPageProc, SecondPageProc};
    const char* titles[2] = {"First", "Se&cond"};
    for (int i = 0; i < 2; ++i) {
        sheetPages[i].dwSize = sizeof(sheetPages[i]);
        sheetPages[i].dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
        sheetPages[i].pResource = templates[i]->get();
        sheetPages[i].pfnDlgProc = procedures[i];
        sheetPages[i].pszTitle = titles[i];
    }
    PROPSHEETHEADERA header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_PROPSHEETPAGE;
    header.pszCaption = "Bench Sheet";
    header.nPages = 2;
    header.ppsp = sheetPages;

    AppletSession session;
    ASSERT_TRUE(session.Run([&] { return PropertySheetA(&header); }));
    HWND sheet = WaitForSheet("Bench Sheet", kPatienceMs);
    ASSERT_NE(sheet, nullptr) << "no sheet (is there a display?)";
    EXPECT_EQ(WaitForWindow("#32770", "Bench Sheet", 0), sheet);
    EXPECT_EQ(TabTitles(sheet), (std::vector<std::string>{"First", "Se&cond"}));
    HWND page = CurrentPage(sheet);
    ASSERT_NE(page, nullptr);
    EXPECT_FALSE(IsEnabled(sheet, kApplyButton));

    // Typing over the selection: one EN_CHANGE per character, the sheet told of the change.
    EXPECT_EQ(Text(page, kEdit), "start");
    ASSERT_TRUE(Type(page, kEdit, "abc"));
    EXPECT_EQ(Text(page, kEdit), "abc");
    EXPECT_EQ(pages.editChanges, 3);
    EXPECT_TRUE(IsEnabled(sheet, kApplyButton));
    ASSERT_TRUE(ClearAndType(page, kEdit, "12"));
    EXPECT_EQ(Text(page, kEdit), "12");
    EXPECT_EQ(pages.editChanges, 6); // Backspace, then two characters
    ASSERT_TRUE(ClearAndType(page, kEdit, ""));
    EXPECT_EQ(Text(page, kEdit), "");
    ASSERT_TRUE(Type(page, kEdit, "42"));

    // Drop-down list: picked by the text shown, the page told as by a user's choice.
    EXPECT_EQ(ListItems(page, kList),
              (std::vector<std::string>{"Disabled", "Automatic", "Manual"}));
    EXPECT_TRUE(SelectItem(page, kList, "Manual"));
    EXPECT_EQ(pages.selectionChanges, 1);
    EXPECT_EQ(pages.selectedIndex, 2);
    EXPECT_EQ(Text(page, kList), "Manual");
    EXPECT_FALSE(SelectItem(page, kList, "manual"));
    EXPECT_FALSE(SelectItem(page, kList, "Sometimes"));
    EXPECT_EQ(pages.selectionChanges, 1);

    EXPECT_FALSE(IsChecked(page, kCheck));
    ASSERT_TRUE(Click(page, kCheck));
    EXPECT_TRUE(WaitUntil([&] { return IsChecked(page, kCheck); }, kPatienceMs));

    // A click that opens a modal box on the sheet's thread: read it, answer it. The sheet
    // itself is never taken for a message box, nor the box for a sheet.
    EXPECT_TRUE(NoMessageBox("Bench Sheet", 100));
    EXPECT_TRUE(NoMessageBox("Bench question", 100));
    ASSERT_TRUE(Click(page, kAskButton));
    MessageBoxSeen box;
    ASSERT_TRUE(
        WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Bench question", kPatienceMs, &box));
    EXPECT_EQ(box.caption, "Bench question");
    EXPECT_EQ(WaitForSheet("Bench question", 0), nullptr);
    EXPECT_EQ(box.text, "Replace \"42\"?\r\nThe old value is lost.");
    EXPECT_FALSE(Answer(box, IDOK, 500)); // a Yes/No box has no OK
    ASSERT_TRUE(Answer(box, IDNO));
    EXPECT_TRUE(WaitUntil([&] { return pages.answer == IDNO; }, kPatienceMs));
    EXPECT_TRUE(NoMessageBox("Bench question", 200));

    // Pages by tab title, with or without the mnemonic's "&".
    EXPECT_FALSE(SelectPage(sheet, "Third", 500));
    ASSERT_TRUE(SelectPage(sheet, "Second"));
    HWND secondPage = CurrentPage(sheet);
    EXPECT_NE(secondPage, page);
    EXPECT_EQ(Text(secondPage, kSecondStatic), "Second page");
    EXPECT_TRUE(IsVisible(secondPage, kSecondStatic));
    EXPECT_FALSE(IsVisible(secondPage, kEdit));
    EXPECT_EQ(pages.secondActivations, 1);
    // A static that notifies, as a help link drawn by one.
    ASSERT_TRUE(Click(secondPage, kSecondStatic));
    EXPECT_TRUE(WaitUntil([&] { return pages.linkClicks == 1; }, kPatienceMs));
    ASSERT_TRUE(SelectPage(sheet, "First"));
    EXPECT_EQ(CurrentPage(sheet), page);
    EXPECT_EQ(Text(page, kEdit), "42");

    // Apply: the page applies, the button goes grey; OK closes the sheet.
    ASSERT_TRUE(PressSheetButton(sheet, kApplyButton));
    EXPECT_TRUE(WaitUntil([&] { return pages.applies == 1; }, kPatienceMs));
    EXPECT_TRUE(WaitUntil([&] { return !IsEnabled(sheet, kApplyButton); }, kPatienceMs));
    EXPECT_FALSE(PressSheetButton(sheet, kApplyButton));
    ASSERT_TRUE(PressSheetButton(sheet, IDOK));
    ASSERT_TRUE(session.Wait(kPatienceMs));
    EXPECT_GE(pages.applies, 2);
    EXPECT_FALSE(IsWindow(sheet));
    EXPECT_EQ(WaitForWindow("#32770", "Bench Sheet", 0), nullptr);
    seen = nullptr;
}

TEST(WindowBench, runs_an_applet_through_the_control_panel_sequence) {
    const std::string applet = ProgramFolder() + "\\fake-applet.cpl";
    AppletSession session;
    ASSERT_TRUE(session.Open(applet.c_str())) << GetLastError();
    MessageBoxSeen box;
    ASSERT_TRUE(
        WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Fake applet", kPatienceMs, &box));
    EXPECT_EQ(box.text, "Double-clicked");
    EXPECT_TRUE(session.Running());
    ASSERT_TRUE(Answer(box, IDOK));
    ASSERT_TRUE(session.Wait(kPatienceMs));

    const AppletOutcome& outcome = session.Outcome();
    EXPECT_EQ(outcome.initAnswer, 1);
    EXPECT_EQ(outcome.countAnswer, 1);
    EXPECT_EQ(outcome.info.idIcon, 1);
    EXPECT_EQ(outcome.info.idName, 2);
    EXPECT_EQ(outcome.info.idInfo, 3);
    EXPECT_EQ(outcome.info.lData, 77);
    EXPECT_EQ(outcome.result, 5);
    EXPECT_EQ(outcome.lastError, 1234u);
    auto calls = reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("fake-applet.cpl"), "AppletCalls")));
    ASSERT_NE(calls, nullptr);
    EXPECT_STREQ(calls(), "1 2 3 5 6 7"); // INIT, GETCOUNT, INQUIRE, DBLCLK, STOP, EXIT

    AppletSession missing;
    EXPECT_FALSE(missing.Open((ProgramFolder() + "\\no-such-applet.cpl").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

// The driver's protocol as a screenshot script uses it: commands in, one answer line each.
TEST(WindowBench, window_driver_answers_one_line_per_command) {
#ifndef _WIN64
    GTEST_SKIP() << "window-driver.exe is built for 64 bits only";
#endif
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueKernelHandle inRead, inWrite, outRead, outWrite;
    ASSERT_TRUE(CreatePipe(inRead.put(), inWrite.put(), &inherit, 0));
    ASSERT_TRUE(CreatePipe(outRead.put(), outWrite.put(), &inherit, 0));
    SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.get();
    startup.hStdOutput = outWrite.get();
    startup.hStdError = outWrite.get();
    std::string command = "\"" + ProgramFolder() + "\\window-driver.exe\" \"" + ProgramFolder() +
                          "\\fake-applet.cpl\"";
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &process))
        << GetLastError();
    UniqueKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    inRead.reset();
    outWrite.reset();

    const char script[] = "text 1\n"
                          "frobnicate\n"
                          "answer IDOK\n"
                          "wait-box Fake applet 30000\n"
                          "answer IDYES\n"
                          "answer IDOK\n"
                          "quit\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(inWrite.get(), script, sizeof(script) - 1, &written, nullptr));
    inWrite.reset();
    // Each of the driver's own waits ends as soon as its window shows.
    if (WaitForSingleObject(processHandle.get(), 2 * kPatienceMs) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle.get(), 1);
        FAIL() << "window-driver did not end";
    }
    std::string output;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(outRead.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        output.append(chunk, got);
    }
    EXPECT_EQ(output, "error no sheet (use wait-sheet)\n"
                      "error no sheet (use wait-sheet)\n"
                      "error no message box seen\n"
                      "ok Double-clicked\n"
                      "error the box has no such button or stayed open\n"
                      "ok\n"
                      "ok result 5 last-error 1234\n");
}

TEST(WindowBench, records_the_addresses_shell_execute_opens) {
    const std::string before = ClassesCommand("https");
    ClearRecordedUrls();
    // The prefix's browser comes back also when an assertion ends the test early.
    ScopeExit restore([] {
        RemoveUrlRecorder();
        ClearRecordedUrls();
    });
    ASSERT_TRUE(InstallUrlRecorder((ProgramFolder() + "\\url-recorder.exe").c_str()))
        << GetLastError();
    EXPECT_NE(ClassesCommand("https").find("url-recorder.exe\" \"%1\""), std::string::npos);
    EXPECT_EQ(ClassesCommand("http"), ClassesCommand("https"));
    // Installing again keeps what was there first for the removal.
    ASSERT_TRUE(InstallUrlRecorder((ProgramFolder() + "\\url-recorder.exe").c_str()));

    const char* addresses[] = {"https://example.invalid/x?y=1",
                               "http://example.invalid/help/service.htm#servicetab"};
    for (size_t i = 0; i < 2; ++i) {
        const auto status = reinterpret_cast<INT_PTR>(
            ShellExecuteA(nullptr, "open", addresses[i], nullptr, nullptr, SW_SHOWNORMAL));
        EXPECT_GT(status, 32) << addresses[i];
        // One at a time, so that the order in the log is the order opened.
        EXPECT_TRUE(WaitForRecordedUrls(i + 1, kPatienceMs)) << addresses[i];
    }
    EXPECT_EQ(RecordedUrls(), (std::vector<std::string>{addresses[0], addresses[1]}));
    ClearRecordedUrls();
    EXPECT_TRUE(RecordedUrls().empty());

    ASSERT_TRUE(RemoveUrlRecorder()) << GetLastError();
    EXPECT_EQ(ClassesCommand("https"), before);
    EXPECT_EQ(ClassesCommand("https").find("url-recorder"), std::string::npos);
}

} // namespace
