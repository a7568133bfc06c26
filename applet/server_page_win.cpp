// The Server page: whether Windows Time serves NTP to other machines and claims to be a
// reliable source, the "Net Time" announcement, and a test of the machine's own NTP server
// judged with the Client page's verdict.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <initializer_list>
#include <new>

#include "applet/applet_state_win.h"
#include "applet/client_status_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "applet/server_rules.h"
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

bool LaterThan2000() {
    return LocalSystemIdentity().os > kOsWin2000;
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

class ServerPage final : public Page {
public:
    explicit ServerPage(HWND window) : Page(window, "servertab") {}

protected:
    void Initialize() override;
    void Fill() override;
    void Read() override;
    void Command(int id, int code) override;

private:
    ServerPageControls Controls() const;
    void EnableControls();
    void SetIcon(int icon);
    bool ConfirmServerOption();
    void TestServer();

    // The family server's NTP conflict is asked about at most once while the page exists.
    bool conflictUnconfirmed_ = false;
};

ServerPageControls ServerPage::Controls() const {
    return ServerControlStates(LaterThan2000(), !IsChecked(window(), IDC_NTPSERVER_DISABLED),
                               CurrentEnvironment().familyProduct);
}

void ServerPage::EnableControls() {
    const ServerPageControls controls = Controls();
    const uint32_t policySet = Applet().policy.policySet;
    for (int id : kReliableIds) {
        EnableControl(window(), id, controls.reliableEnabled && !PolicySetsReliability(policySet));
    }
    if (PolicySetsServerOption(LaterThan2000(), policySet)) {
        for (int id : kServerIds) {
            EnableControl(window(), id, false);
        }
    }
    EnableControl(window(), IDC_TEST_SERVER, controls.testEnabled);
    EnableControl(window(), IDC_TEST_RESULT, controls.testEnabled);
}

void ServerPage::SetIcon(int icon) {
    if (const SheetResources* resources = Applet().sheet) {
        SendDlgItemMessageA(window(), IDC_TEST_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(resources->icons[icon]), 0);
    }
}

void ServerPage::Initialize() {
    const SettingsRecord& settings = Applet().settings;
    conflictUnconfirmed_ = settings.ntpServerEnabled == 0;
    const ServerPageControls controls = Controls();
    for (int id : {IDC_NTPSERVER_DISABLED, IDC_RELIABLE_NEVER, IDC_RELIABLE_ALWAYS,
                   IDC_RELIABLE_AUTOMATIC}) {
        ShowControl(window(), id, controls.laterOptions);
    }
    ShowControl(window(), IDC_RELIABLE_2000, controls.reliable2000);
    // The page has no line of its own for it: until a test runs, the result line tells that
    // Group Policy sets the locked options.
    const uint32_t policySet = Applet().policy.policySet;
    if (PolicySetsServerOption(LaterThan2000(), policySet) || PolicySetsReliability(policySet)) {
        SetDlgItemTextA(window(), IDC_TEST_RESULT, kPolicyNoteText);
    }
    SetDlgItemTextA(
        window(), IDC_NTPSERVER_DISABLED,
        ServerDisabledText(CurrentEnvironment().familyProduct, settings.ntpClientEnabled));
}

void ServerPage::Fill() {
    const SettingsRecord& settings = Applet().settings;
    if (LaterThan2000()) {
        CheckOnly(window(), kServerIds, ServerOptionOfRecord(settings));
        CheckOnly(window(), kReliableIds, ReliableOptionOfRecord(settings));
        EnableControls();
    } else {
        CheckDlgButton(window(), IDC_RELIABLE_2000,
                       settings.reliableTimeSource == 1 ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(window(), IDC_NTPSERVER_ALWAYS,
                       settings.localNtp == 1 ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(window(), IDC_NTPSERVER_AUTOMATIC,
                       settings.localNtp == 0 ? BST_CHECKED : BST_UNCHECKED);
    }
    CheckDlgButton(window(), IDC_NET_TIME_SERVER,
                   settings.timeSource != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetIcon(kIconUnknown);
}

void ServerPage::Read() {
    SettingsRecord& settings = Applet().settings;
    settings.timeSource = IsChecked(window(), IDC_NET_TIME_SERVER) ? 1 : 0;
    if (!LaterThan2000()) {
        settings.localNtp = IsChecked(window(), IDC_NTPSERVER_ALWAYS) ? 1 : 0;
        settings.reliableTimeSource = IsChecked(window(), IDC_RELIABLE_2000) ? 1 : 0;
        return;
    }
    int server = CheckedIndex(window(), kServerIds);
    if (server < 0) {
        // Nothing chosen (a record whose flags select nothing) reads as "Disabled".
        server = kServerDisabled;
    }
    StoreServerOptions(server, CheckedIndex(window(), kReliableIds), &settings);
}

// A click on one of the three server options. False when the user keeps the family server's NTP.
bool ServerPage::ConfirmServerOption() {
    const bool later = LaterThan2000();
    if (!later) {
        return true;
    }
    if (ServerConflictAsked(later, conflictUnconfirmed_, FamilyServerServesNtp())) {
        const int answer =
            ShowMessage(GetParent(window()), MB_YESNO | MB_ICONQUESTION,
                        "Quorvex II Server is configured to serve NTP. If you enable the Windows "
                        "Time NTP server, the Quorvex II NTP server will automatically be "
                        "disabled. Quorvex II will continue serving other time protocols.\r\n\r\n"
                        "Are you sure this is what you want to do?\r\n");
        if (answer == IDNO) {
            CheckOnly(window(), kServerIds, kServerDisabled);
            return false;
        }
    }
    conflictUnconfirmed_ = false;
    EnableControls();
    SetIcon(kIconUnknown);
    return true;
}

void ServerPage::TestServer() {
    HWND page = window();
    EnableWindow(page, FALSE);
    BusyCursor(true);
    SetIcon(kIconUnknown);
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
    SetIcon(icon);
    SetDlgItemTextA(page, IDC_TEST_RESULT, text);
    BusyCursor(false);
    EnableWindow(page, TRUE);
}

void ServerPage::Command(int id, int code) {
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
    case IDC_NTPSERVER_DISABLED:
    case IDC_NTPSERVER_ALWAYS:
    case IDC_NTPSERVER_AUTOMATIC:
        if (ConfirmServerOption()) {
            MarkChanged(ServerOptionValues(LaterThan2000()));
        }
        break;
    case IDC_RELIABLE_NEVER:
    case IDC_RELIABLE_ALWAYS:
    case IDC_RELIABLE_AUTOMATIC:
        MarkChanged(kValueAnnounceFlags);
        break;
    case IDC_RELIABLE_2000:
        MarkChanged(kValueReliableSource);
        break;
    case IDC_NET_TIME_SERVER:
        MarkChanged(kValueTimeSource);
        break;
    case IDC_TEST_SERVER:
        TestServer();
        break;
    default:
        break;
    }
}

} // namespace

INT_PTR CALLBACK ServerPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunPage(page, message, wParam, lParam,
                   [](HWND window) -> Page* { return new (std::nothrow) ServerPage(window); });
}
