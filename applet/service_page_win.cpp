// The Service page: whether the Windows Time service runs on the target, starting and stopping
// it, its start-up type, and on Windows XP and later its own debug log file.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <initializer_list>
#include <cstring>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
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
constexpr char kStartText[] = "S&tart";
constexpr char kStopText[] = "S&top";
constexpr int kLogControls[] = {
    IDC_SERVICE_LOG_GROUP,    IDC_SERVICE_LOG_NOTE,    IDC_SERVICE_PATH_LABEL,
    IDC_SERVICE_SIZE_LABEL,   IDC_SERVICE_SIZE_UNIT,   IDC_SERVICE_ENTRIES_LABEL,
    IDC_SERVICE_ENTRIES_NOTE, IDC_SERVICE_LOG_ENABLE,  IDC_SERVICE_LOG_PATH,
    IDC_SERVICE_LOG_SIZE,     IDC_SERVICE_LOG_ENTRIES, IDC_SERVICE_SHOW_LOG};

bool g_initializing = false;

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

void RefreshStatus(HWND page) {
    const bool running = ControlTimeService(page, TargetOrNull(), kTimeServiceIsRunning, false);
    char sentence[400];
    std::snprintf(sentence, sizeof(sentence), "The Windows Time service on %s is %s",
                  TargetDisplayName(), running ? "running" : "stopped");
    SetDlgItemTextIfDifferent(page, IDC_SERVICE_STATUS, sentence);
    SetDlgItemTextIfDifferent(page, IDC_SERVICE_START_STOP, running ? kStopText : kStartText);
}

// Defaults for an empty log setup, and the log controls enabled with the check box.
void ApplyLogDefaults(HWND page) {
    if (ReadUnsigned(page, IDC_SERVICE_LOG_SIZE) == 0) {
        SetDlgItemInt(page, IDC_SERVICE_LOG_SIZE, 3, FALSE);
    }
    char text[256];
    if (ReadTrimmedText(page, IDC_SERVICE_LOG_PATH, text, 255)[0] == '\0') {
        const char* folder = CurrentEnvironment().systemFolder;
        char path[32];
        std::snprintf(path, sizeof(path), "%c:\\w32time.log", folder[0] != '\0' ? folder[0] : 'C');
        SetDlgItemTextA(page, IDC_SERVICE_LOG_PATH, path);
    }
    if (ReadTrimmedText(page, IDC_SERVICE_LOG_ENTRIES, text, 255)[0] == '\0') {
        SetDlgItemTextA(page, IDC_SERVICE_LOG_ENTRIES, "0-300");
    }
    const bool on = IsChecked(page, IDC_SERVICE_LOG_ENABLE);
    for (int id : {IDC_SERVICE_LOG_PATH, IDC_SERVICE_LOG_SIZE, IDC_SERVICE_LOG_ENTRIES,
                   IDC_SERVICE_SHOW_LOG}) {
        EnableControl(page, id, on);
    }
}

void Initialize(HWND page) {
    SettingsRecord& settings = Applet().settings;
    g_initializing = true;
    SetupHelpLink(page);
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
    ApplyLogDefaults(page);
    RefreshStatus(page);
    g_initializing = false;
}

void ReadPage(HWND page) {
    SettingsRecord& settings = Applet().settings;
    const LRESULT index = SendDlgItemMessageA(page, IDC_SERVICE_STARTUP, CB_GETCURSEL, 0, 0);
    settings.serviceStart = StartOfStartupIndex(static_cast<int>(index));
    if (!LaterThan2000()) {
        return;
    }
    if (!IsChecked(page, IDC_SERVICE_LOG_ENABLE)) {
        settings.fileLogging = 0;
        return;
    }
    settings.fileLogSize = LogSizeBytes(ReadUnsigned(page, IDC_SERVICE_LOG_SIZE));
    char text[256];
    std::snprintf(
        settings.fileLogName, sizeof(settings.fileLogName), "%s",
        ReadTrimmedText(page, IDC_SERVICE_LOG_PATH, text, sizeof(settings.fileLogName) - 1));
    std::snprintf(
        settings.fileLogEntries, sizeof(settings.fileLogEntries), "%s",
        ReadTrimmedText(page, IDC_SERVICE_LOG_ENTRIES, text, sizeof(settings.fileLogEntries) - 1));
    settings.fileLogging = settings.fileLogSize != 0 && settings.fileLogName[0] != '\0' &&
                                   settings.fileLogEntries[0] != '\0'
                               ? 1
                               : 0;
}

void StartOrStop(HWND page) {
    BusyCursor(true);
    char label[32];
    GetDlgItemTextA(page, IDC_SERVICE_START_STOP, label, sizeof(label));
    if (std::strcmp(label, kStopText) == 0) {
        ControlTimeService(page, TargetOrNull(), kTimeServiceStop, true);
    } else {
        HWND list = GetDlgItem(page, IDC_SERVICE_STARTUP);
        if (SendMessageA(list, CB_GETCURSEL, 0, 0) == kStartupDisabled) {
            // Starting sets the start type to automatic in the service manager: the list
            // follows, without marking a change.
            SendMessageA(list, CB_SETCURSEL, kStartupAutomatic, 0);
        }
        ControlTimeService(page, TargetOrNull(), kTimeServiceStart, true);
    }
    Sleep(kAfterControlPauseMs);
    RefreshStatus(page);
    UpdateSyncNowButton(Applet().clientPage);
    if (LaterThan2000()) {
        UpdateTimePartner(Applet().clientPage);
    }
    BusyCursor(false);
}

void ShowLog(HWND page) {
    char typed[256];
    ReadTrimmedText(page, IDC_SERVICE_LOG_PATH, typed, 255);
    char path[600];
    if (TargetIsRemote()) {
        if (typed[0] != '\0' && typed[1] == ':') {
            typed[1] = '$';
        }
        std::snprintf(path, sizeof(path), "\\\\%s\\%s", Applet().targetMachine, typed);
    } else {
        std::snprintf(path, sizeof(path), "%s", typed);
    }
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

void OnCommand(HWND page, int id, int code) {
    switch (id) {
    case IDC_SERVICE_STARTUP:
        if (code == CBN_SELCHANGE) {
            MarkValuesChanged(page, kValueServiceStart);
        }
        break;
    case IDC_SERVICE_START_STOP:
        if (code == BN_CLICKED) {
            StartOrStop(page);
        }
        break;
    case IDC_SERVICE_LOG_ENABLE:
        if (code == BN_CLICKED && LaterThan2000()) {
            // Ticking writes the log's three values as shown (defaults included); unticking
            // deletes them.
            Applet().changedValues |= kFileLogValues;
            Applet().settingsDirty = true;
            ApplyLogDefaults(page);
            MarkPageChanged(page);
        }
        break;
    case IDC_SERVICE_LOG_PATH:
    case IDC_SERVICE_LOG_SIZE:
    case IDC_SERVICE_LOG_ENTRIES:
        if (code == EN_UPDATE && LaterThan2000() && !g_initializing) {
            MarkValuesChanged(page, LogValueOfControl(id));
        }
        break;
    case IDC_SERVICE_SHOW_LOG:
        if (code == BN_CLICKED && LaterThan2000()) {
            ShowLog(page);
        }
        break;
    case IDC_HELP_LINK:
        if (code == STN_CLICKED) {
            OpenHelpLink(page, "servicetab");
        }
        break;
    default:
        break;
    }
}

INT_PTR OnNotify(HWND page, const NMHDR* header) {
    switch (header->code) {
    case PSN_SETACTIVE:
        RefreshStatus(page);
        SetTimer(page, kRefreshTimer, kRefreshMs, nullptr);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case PSN_KILLACTIVE:
        KillTimer(page, kRefreshTimer);
        ReadPage(page);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, FALSE);
        return TRUE;
    case PSN_APPLY:
        ApplySettings(page);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, PSNRET_NOERROR);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

INT_PTR CALLBACK ServicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        Initialize(page);
        return TRUE;
    case WM_COMMAND:
        OnCommand(page, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(page, reinterpret_cast<const NMHDR*>(lParam));
    case WM_TIMER:
        if (wParam == kRefreshTimer) {
            RefreshStatus(page);
        }
        return TRUE;
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            HelpLinkColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    default:
        return FALSE;
    }
}
