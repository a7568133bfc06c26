// The Server page: whether Windows Time serves NTP to other machines and claims to be a
// reliable source, the "Net Time" announcement, and a test of the machine's own NTP server
// judged with the Client page's verdict.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <initializer_list>

#include "applet/applet_state_win.h"
#include "applet/client_rules.h"
#include "applet/client_status_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "common/error_text_win.h"
#include "common/system_identity.h"
#include "config/settings.h"
#include "resources/resource.h"
#include "timesrc/ntp_query_win.h"

namespace {

constexpr DWORD kTestPauseMs = 500;
constexpr int kServerIds[] = {IDC_NTPSERVER_DISABLED, IDC_NTPSERVER_ALWAYS,
                              IDC_NTPSERVER_AUTOMATIC};
constexpr int kReliableIds[] = {IDC_RELIABLE_NEVER, IDC_RELIABLE_ALWAYS, IDC_RELIABLE_AUTOMATIC};

// The family server's NTP conflict is asked about at most once while the page exists.
bool g_conflictUnconfirmed = false;

bool LaterThan2000() {
    return LocalSystemIdentity().os > kOsWin2000;
}

void SetIcon(HWND page, int icon) {
    if (const SheetResources* resources = Applet().sheet) {
        SendDlgItemMessageA(page, IDC_TEST_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(resources->icons[icon]), 0);
    }
}

void CheckOnly(HWND page, const int (&ids)[3], int index) {
    for (int i = 0; i < 3; ++i) {
        CheckDlgButton(page, ids[i], i == index ? BST_CHECKED : BST_UNCHECKED);
    }
}

int CheckedIndex(HWND page, const int (&ids)[3]) {
    for (int i = 0; i < 3; ++i) {
        if (IsChecked(page, ids[i])) {
            return i;
        }
    }
    return -1;
}

void ApplyEnableRules(HWND page) {
    const bool serving = !IsChecked(page, IDC_NTPSERVER_DISABLED);
    for (int id : kReliableIds) {
        EnableControl(page, id, serving);
    }
    const bool testable = serving || CurrentEnvironment().familyProduct == kFamilyServer;
    EnableControl(page, IDC_TEST_SERVER, testable);
    EnableControl(page, IDC_TEST_RESULT, testable);
}

void Initialize(HWND page) {
    const SettingsRecord& settings = Applet().settings;
    g_conflictUnconfirmed = settings.ntpServerEnabled == 0;
    SetupHelpLink(page);
    const bool later = LaterThan2000();
    for (int id : {IDC_NTPSERVER_DISABLED, IDC_RELIABLE_NEVER, IDC_RELIABLE_ALWAYS,
                   IDC_RELIABLE_AUTOMATIC}) {
        ShowControl(page, id, later);
    }
    ShowControl(page, IDC_RELIABLE_2000, !later);
    SetDlgItemTextA(
        page, IDC_NTPSERVER_DISABLED,
        ServerDisabledText(CurrentEnvironment().familyProduct, settings.ntpClientEnabled));
}

void Fill(HWND page) {
    const SettingsRecord& settings = Applet().settings;
    if (LaterThan2000()) {
        for (int id : kServerIds) {
            CheckDlgButton(page, id, BST_UNCHECKED);
        }
        CheckOnly(page, kServerIds, ServerOptionOfRecord(settings));
        CheckOnly(page, kReliableIds, ReliableOptionOfRecord(settings));
        ApplyEnableRules(page);
    } else {
        CheckDlgButton(page, IDC_RELIABLE_2000,
                       settings.reliableTimeSource == 1 ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(page, IDC_NTPSERVER_ALWAYS,
                       settings.localNtp == 1 ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(page, IDC_NTPSERVER_AUTOMATIC,
                       settings.localNtp == 0 ? BST_CHECKED : BST_UNCHECKED);
    }
    CheckDlgButton(page, IDC_NET_TIME_SERVER,
                   settings.timeSource != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetIcon(page, kIconUnknown);
}

void Read(HWND page) {
    SettingsRecord& settings = Applet().settings;
    settings.timeSource = IsChecked(page, IDC_NET_TIME_SERVER) ? 1 : 0;
    if (!LaterThan2000()) {
        settings.localNtp = IsChecked(page, IDC_NTPSERVER_ALWAYS) ? 1 : 0;
        settings.reliableTimeSource = IsChecked(page, IDC_RELIABLE_2000) ? 1 : 0;
        return;
    }
    int server = CheckedIndex(page, kServerIds);
    if (server < 0) {
        // Nothing chosen (a record whose flags select nothing) reads as "Disabled".
        server = kServerDisabled;
    }
    StoreServerOptions(server, CheckedIndex(page, kReliableIds), &settings);
}

// A click on one of the three server options. False when the user keeps the family server's NTP.
bool ConfirmServerOption(HWND page) {
    if (!LaterThan2000()) {
        return true;
    }
    if (g_conflictUnconfirmed && FamilyServerServesNtp()) {
        const int answer =
            ShowMessage(GetParent(page), MB_YESNO | MB_ICONQUESTION,
                        "Quorvex II Server is configured to serve NTP. If you enable the Windows "
                        "Time NTP server, the Quorvex II NTP server will automatically be "
                        "disabled. Quorvex II will continue serving other time protocols.\r\n\r\n"
                        "Are you sure this is what you want to do?\r\n");
        if (answer == IDNO) {
            CheckOnly(page, kServerIds, kServerDisabled);
            return false;
        }
    }
    g_conflictUnconfirmed = false;
    ApplyEnableRules(page);
    SetIcon(page, kIconUnknown);
    return true;
}

void TestServer(HWND page) {
    EnableWindow(page, FALSE);
    BusyCursor(true);
    SetIcon(page, kIconUnknown);
    SetDlgItemTextA(page, IDC_TEST_RESULT, "Testing...Please wait...");
    UpdateWindow(page);
    const char* host = TargetDisplayName();
    const SourceReading reading = QueryNtpSource(host, 0);
    char text[700];
    int icon = kIconUnknown;
    if (reading.ok) {
        Sleep(kTestPauseMs);
        FormatServerTestSuccess(host, reading.reply, ClientStatusIcon(), &icon, text, sizeof(text));
    } else {
        if (reading.error == kErrorInvalidTime) {
            Sleep(kTestPauseMs);
        }
        FormatServerTestFailure(host, reading.error, LastSocketErrorText(), &icon, text,
                                sizeof(text));
    }
    SetIcon(page, icon);
    SetDlgItemTextA(page, IDC_TEST_RESULT, text);
    BusyCursor(false);
    EnableWindow(page, TRUE);
}

void OnCommand(HWND page, int id, int code) {
    if (code != BN_CLICKED && !(id == IDC_HELP_LINK && code == STN_CLICKED)) {
        return;
    }
    switch (id) {
    case IDC_NTPSERVER_DISABLED:
    case IDC_NTPSERVER_ALWAYS:
    case IDC_NTPSERVER_AUTOMATIC:
        if (ConfirmServerOption(page)) {
            MarkValuesChanged(page, LaterThan2000() ? kValueAnnounceFlags | kValueServerEnabled
                                                    : kValueLocalNtp);
        }
        break;
    case IDC_RELIABLE_NEVER:
    case IDC_RELIABLE_ALWAYS:
    case IDC_RELIABLE_AUTOMATIC:
        MarkValuesChanged(page, kValueAnnounceFlags);
        break;
    case IDC_RELIABLE_2000:
        MarkValuesChanged(page, kValueReliableSource);
        break;
    case IDC_NET_TIME_SERVER:
        MarkValuesChanged(page, kValueTimeSource);
        break;
    case IDC_TEST_SERVER:
        TestServer(page);
        break;
    case IDC_HELP_LINK:
        OpenHelpLink(page, "servertab");
        break;
    default:
        break;
    }
}

INT_PTR OnNotify(HWND page, const NMHDR* header) {
    switch (header->code) {
    case PSN_SETACTIVE:
        Fill(page);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case PSN_KILLACTIVE:
        Read(page);
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

INT_PTR CALLBACK ServerPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        Initialize(page);
        return TRUE;
    case WM_COMMAND:
        OnCommand(page, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(page, reinterpret_cast<const NMHDR*>(lParam));
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            HelpLinkColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    default:
        return FALSE;
    }
}
