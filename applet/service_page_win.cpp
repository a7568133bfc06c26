// The Service page: whether the Windows Time service runs on the target, starting and stopping
// it, its start-up type, and on Windows XP and later its own debug log file.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <initializer_list>
#include <cstring>
#include <new>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "applet/client_status_win.h"
#include "applet/service_rules.h"
#include "common/error_text_win.h"
#include "common/remote_machine_win.h"
#include "common/system_identity.h"
#include "common/text_trim.h"
#include "common/unique_handle_win.h"
#include "config/service_control_win.h"
#include "config/text_view_win.h"
#include "resources/resource.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 2000;
constexpr DWORD kAfterControlPauseMs = 500;
constexpr int kLogControls[] = {
    IDC_SERVICE_LOG_GROUP,    IDC_SERVICE_LOG_NOTE,    IDC_SERVICE_PATH_LABEL,
    IDC_SERVICE_SIZE_LABEL,   IDC_SERVICE_SIZE_UNIT,   IDC_SERVICE_ENTRIES_LABEL,
    IDC_SERVICE_ENTRIES_NOTE, IDC_SERVICE_LOG_ENABLE,  IDC_SERVICE_LOG_PATH,
    IDC_SERVICE_LOG_SIZE,     IDC_SERVICE_LOG_ENTRIES, IDC_SERVICE_SHOW_LOG};

uint32_t LogValueOfControl(int id) {
    switch (id) {
    case IDC_SERVICE_LOG_PATH:
        return kValueFileLogName;
    case IDC_SERVICE_LOG_SIZE:
        return kValueFileLogSize;
    default:
        return kValueFileLogEntries;
    }
}

bool LaterThan2000() {
    return LocalSystemIdentity().os > kOsWin2000;
}

bool TimeServiceRunning(const char* machine) {
    return ControlTimeService(nullptr, machine, kTimeServiceIsRunning, false);
}

class ServicePage final : public Page {
public:
    explicit ServicePage(HWND window) : Page(window, "servicetab") {}

protected:
    void Initialize() override;
    void Activated() override;
    void Read() override;
    void Command(int id, int code) override;
    bool Message(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void RefreshStatus();
    void ApplyLogDefaults();
    void StartOrStop();
    void ShowLog();

    bool running_ = false; // as the service manager last answered
};

// Asks the service manager whether the service runs, and shows the status sentence and the
// Start/Stop caption drawn from the answer. The service manager is asked on the page thread,
// as every start and stop is: one thread at a time talks to it for this page.
void ServicePage::RefreshStatus() {
    running_ = TimeServiceRunning(TargetOrNull());
    char sentence[400];
    SetDlgItemTextIfDifferent(
        window(), IDC_SERVICE_STATUS,
        FormatServiceStatus(TargetDisplayName(), running_, sentence, sizeof(sentence)));
    SetDlgItemTextIfDifferent(window(), IDC_SERVICE_START_STOP, StartStopCaption(running_));
}

// Defaults for an empty log setup, and the log controls enabled with the check box.
void ServicePage::ApplyLogDefaults() {
    HWND page = window();
    if (ReadUnsigned(page, IDC_SERVICE_LOG_SIZE) == 0) {
        SetDlgItemInt(page, IDC_SERVICE_LOG_SIZE, kDefaultLogMegabytes, FALSE);
    }
    char text[256];
    if (ReadTrimmedText(page, IDC_SERVICE_LOG_PATH, text, 255)[0] == '\0') {
        char path[32];
        SetDlgItemTextA(
            page, IDC_SERVICE_LOG_PATH,
            FormatDefaultLogPath(CurrentEnvironment().systemFolder, path, sizeof(path)));
    }
    if (ReadTrimmedText(page, IDC_SERVICE_LOG_ENTRIES, text, 255)[0] == '\0') {
        SetDlgItemTextA(page, IDC_SERVICE_LOG_ENTRIES, kDefaultLogEntries);
    }
    const bool on = LogFieldsEnabled(IsChecked(page, IDC_SERVICE_LOG_ENABLE));
    for (int id : {IDC_SERVICE_LOG_PATH, IDC_SERVICE_LOG_SIZE, IDC_SERVICE_LOG_ENTRIES,
                   IDC_SERVICE_SHOW_LOG}) {
        EnableControl(page, id, on);
    }
}

void ServicePage::Initialize() {
    HWND page = window();
    SettingsRecord& settings = Applet().settings;
    HWND list = GetDlgItem(page, IDC_SERVICE_STARTUP);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (const char* item : {"Disabled", "Automatic", "Manual"}) {
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    SendMessageA(list, CB_SETCURSEL, StartupIndexOfStart(settings.serviceStart), 0);
    if (LaterThan2000()) {
        CheckDlgButton(page, IDC_SERVICE_LOG_ENABLE,
                       settings.fileLogging != 0 ? BST_CHECKED : BST_UNCHECKED);
        SetDlgItemTextA(page, IDC_SERVICE_LOG_PATH, settings.fileLogName);
        SetDlgItemTextA(page, IDC_SERVICE_LOG_ENTRIES, settings.fileLogEntries);
        SetDlgItemInt(page, IDC_SERVICE_LOG_SIZE, LogSizeMegabytes(settings.fileLogSize), FALSE);
    } else {
        for (int id : kLogControls) {
            ShowControl(page, id, false);
        }
    }
    ApplyLogDefaults();
    RefreshStatus();
}

void ServicePage::Activated() {
    RefreshStatus();
    SetTimer(window(), kRefreshTimer, kRefreshMs, nullptr);
}

void ServicePage::Read() {
    HWND page = window();
    KillTimer(page, kRefreshTimer);
    SettingsRecord& settings = Applet().settings;
    const LRESULT index = SendDlgItemMessageA(page, IDC_SERVICE_STARTUP, CB_GETCURSEL, 0, 0);
    settings.serviceStart = StartOfStartupIndex(static_cast<int>(index));
    if (!LaterThan2000()) {
        return;
    }
    char path[256];
    char entries[256];
    StoreLogFields(
        IsChecked(page, IDC_SERVICE_LOG_ENABLE), ReadUnsigned(page, IDC_SERVICE_LOG_SIZE),
        ReadTrimmedText(page, IDC_SERVICE_LOG_PATH, path, sizeof(settings.fileLogName) - 1),
        ReadTrimmedText(page, IDC_SERVICE_LOG_ENTRIES, entries,
                        sizeof(settings.fileLogEntries) - 1),
        &settings);
}

void ServicePage::StartOrStop() {
    BusyCursor(true);
    HWND list = GetDlgItem(window(), IDC_SERVICE_STARTUP);
    const StartStopAction action =
        StartStopActionOf(running_, static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0)));
    if (action.stop) {
        ControlTimeService(window(), TargetOrNull(), kTimeServiceStop, true);
    } else {
        // Starting sets the start type to automatic in the service manager: the list follows,
        // without marking a change.
        SendMessageA(list, CB_SETCURSEL, action.startupIndex, 0);
        ControlTimeService(window(), TargetOrNull(), kTimeServiceStart, true);
    }
    Sleep(kAfterControlPauseMs);
    RefreshStatus();
    // The Client page's "Sync Now" and time-source line follow the service.
    NoteTimeServiceRunning(running_);
    UpdateSyncNowButton(Applet().clientPage);
    if (LaterThan2000()) {
        UpdateTimePartner(Applet().clientPage);
    }
    BusyCursor(false);
}

void ServicePage::ShowLog() {
    HWND page = window();
    char typed[256];
    ReadTrimmedText(page, IDC_SERVICE_LOG_PATH, typed, 255);
    char path[600];
    FormatLogFilePath(typed, TargetIsRemote() ? Applet().targetMachine : nullptr, path,
                      sizeof(path));
    HWND sheet = GetParent(page);
    UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        file.reset();
        ViewTextFile(page, path, false);
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
        ShowMessage(sheet, 0,
                    "The log file \"%s\" was not found. If you have just enabled logging, "
                    "remember that you have to stop and restart the Windows Time service before "
                    "your changes take effect. Otherwise, check the Event Viewer for error "
                    "messages related to creating the log file.",
                    path);
    } else if (error == ERROR_PATH_NOT_FOUND) {
        ShowMessage(sheet, 0,
                    "The path for \"%s\" was not found. Check your typing (or create the folder "
                    "if necessary), and then stop and restart the Windows Time service.",
                    path);
    } else {
        ShowMessage(sheet, 0, "Unable to open %s; %s", path, SystemErrorText(error));
    }
}

void ServicePage::Command(int id, int code) {
    switch (id) {
    case IDC_SERVICE_STARTUP:
        if (code == CBN_SELCHANGE) {
            MarkChanged(kValueServiceStart);
        }
        break;
    case IDC_SERVICE_START_STOP:
        if (code == BN_CLICKED) {
            StartOrStop();
        }
        break;
    case IDC_SERVICE_LOG_ENABLE:
        if (code == BN_CLICKED && LaterThan2000()) {
            // Ticking writes the log's three values as shown (defaults included); unticking
            // deletes them. The sheet is told last, once the fields follow the box.
            ApplyLogDefaults();
            MarkChanged(kFileLogValues);
        }
        break;
    case IDC_SERVICE_LOG_PATH:
    case IDC_SERVICE_LOG_SIZE:
    case IDC_SERVICE_LOG_ENTRIES:
        if (code == EN_UPDATE && LaterThan2000()) {
            MarkChanged(LogValueOfControl(id));
        }
        break;
    case IDC_SERVICE_SHOW_LOG:
        if (code == BN_CLICKED && LaterThan2000()) {
            ShowLog();
        }
        break;
    default:
        break;
    }
}

bool ServicePage::Message(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_TIMER:
        if (wParam == kRefreshTimer) {
            RefreshStatus();
        }
        return true;
    default:
        return false;
    }
}

} // namespace

INT_PTR CALLBACK ServicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunPage(page, message, wParam, lParam,
                   [](HWND window) -> Page* { return new (std::nothrow) ServicePage(window); });
}
