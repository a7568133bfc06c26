// The Client page in its two variants: how Windows Time finds its sources and which servers it
// asks (with their modes on later releases), the live status display, and "Sync Now".
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <initializer_list>
#include <new>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/client_rules.h"
#include "applet/client_status_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "config/registry.h"
#include "config/service_control_win.h"
#include "config/registry_keys.h"
#include "config/settings.h"
#include "resources/resource.h"

namespace {

constexpr UINT_PTR kSyncNowTimer = 1;
constexpr UINT kAfterRefusedMs = 500;
constexpr UINT kAfterAcceptedMs = 17000;
constexpr UINT kQuestionStyle = MB_YESNOCANCEL | MB_ICONQUESTION;
constexpr uint32_t kFamilySettingsSize = 335;
constexpr size_t kFamilySlaveOffset = 4;
// Posted at initialization when the page changed the record itself: the sheet takes a change
// only once it has finished creating its first page.
constexpr UINT kMarkChangedMessage = WM_APP + 14;
// Posted at activation: what needs the service manager or the network (the "Sync Now" state and
// a status pass) waits until the sheet is on the screen.
constexpr UINT kRefreshMessage = WM_APP + 15;

constexpr int kIntervalControls[] = {IDC_CLIENT_INTERVAL, IDC_CLIENT_INTERVAL_LABEL,
                                     IDC_CLIENT_INTERVAL_UNIT};
constexpr int kOptionIds[] = {IDC_CLIENT_DISABLED, IDC_CLIENT_NOSYNC, IDC_CLIENT_NT5DS,
                              IDC_CLIENT_ALLSYNC, IDC_CLIENT_NTP};

// What each server row showed when it was filled, and the mode the user picked in it since.
struct RowState {
    uint32_t shownFlags;
    int origin; // stored entry behind the slot the row showed, -1 for none
    int pickedMode;
};

int RowOfControl(const int (&ids)[kClientRows], int id) {
    for (int i = 0; i < kClientRows; ++i) {
        if (ids[i] == id) {
            return i;
        }
    }
    return -1;
}

bool HoldsText(HWND page, int id) {
    char text[512];
    return ReadTrimmedText(page, id, text, sizeof(text) - 1)[0] != '\0';
}

bool FamilyServerSlave() {
    if (ReadBoolean(kFamilyServerParametersKey, kSlaveModeValue, 0) == 1) {
        return true;
    }
    unsigned char blob[kFamilySettingsSize] = {};
    ReadBinary(kFamilyServerParametersKey, "Server Settings", blob, sizeof(blob));
    return blob[kFamilySlaveOffset] != 0;
}

// The Client page on both templates: later is the template of releases after Windows 2000
// (100), otherwise the Windows 2000 one (151), whose server names are shorter and which has
// neither mode lists, interval nor time-source line.
class ClientPage final : public Page {
public:
    ClientPage(HWND window, bool later) : Page(window, ClientHelpSubject(later)), later_(later) {}

protected:
    void Initialize() override;
    void Fill() override;
    void Activated() override;
    void Read() override;
    void Command(int id, int code) override;
    bool Message(UINT message, WPARAM wParam, LPARAM lParam) override;
    void Destroyed() override { DetachClientPage(window()); }

private:
    int CheckedOption() const;
    void SelectOption(int option);
    void FillControls();
    void EnableControls();
    void FillRowState(int row);
    void ReadServerRows();
    void ShowMoreServersNote();
    void ImposeFamilyValues(uint32_t imposed);
    void SetCaptionAndHeader();
    bool ShowFamilyNote();
    void SetStatusIcon(int icon);
    void FollowEditFocus(int row, bool focused);
    void RefreshButtons();
    void SyncNow();

    const bool later_;
    RowState rows_[kClientRows] = {};
};

int ClientPage::CheckedOption() const {
    for (int option = kClientDisabled; option <= kClientNtp; ++option) {
        if (IsChecked(window(), kOptionIds[option])) {
            return option;
        }
    }
    return kClientNone;
}

void ClientPage::SelectOption(int option) {
    for (int id : kOptionIds) {
        CheckDlgButton(window(), id, BST_UNCHECKED);
    }
    if (option >= kClientDisabled && option <= kClientNtp) {
        CheckDlgButton(window(), kOptionIds[option], BST_CHECKED);
    }
}

void ClientPage::FillRowState(int row) {
    const AppletState& applet = Applet();
    const bool used = static_cast<uint32_t>(row) < applet.settings.serverCount;
    rows_[row].shownFlags = used ? applet.settings.servers[row].flags : kDefaultServerFlags;
    rows_[row].origin = used ? applet.serverOrigins[row] : -1;
    rows_[row].pickedMode = -1;
}

// The rows read back into the record's slots, as many characters per row as the template's
// names hold.
void ClientPage::ReadServerRows() {
    const size_t maxChars = later_ ? 511 : 127;
    char texts[kClientRows][512];
    ServerRow rows[kClientRows];
    for (int i = 0; i < kClientRows; ++i) {
        texts[i][0] = '\0';
        GetDlgItemTextA(window(), kServerEditIds[i], texts[i], static_cast<int>(maxChars + 1));
        rows[i] = ServerRow{texts[i], rows_[i].shownFlags, rows_[i].origin, rows_[i].pickedMode};
    }
    AppletState& applet = Applet();
    RebuildServerSlots(rows, &applet.settings, applet.serverOrigins);
}

// The note on stored servers beyond the six rows: they are kept, after the rows.
void ClientPage::ShowMoreServersNote() {
    const size_t rows = kClientRows;
    const size_t stored = CountServerListEntries(Applet().baseline.serverList);
    char note[128];
    FormatMoreServersNote(stored > rows ? stored - rows : 0, note, sizeof(note));
    SetDlgItemTextA(window(), IDC_CLIENT_MORE_SERVERS, note);
    ShowControl(window(), IDC_CLIENT_MORE_SERVERS, note[0] != '\0');
}

// A family product owning the clock: the values it imposes count as changed.
void ClientPage::ImposeFamilyValues(uint32_t imposed) {
    if (imposed == 0) {
        return;
    }
    Applet().changedValues |= imposed;
    Applet().settingsDirty = true;
    PostMessageA(window(), kMarkChangedMessage, 0, 0);
}

void ClientPage::SetCaptionAndHeader() {
    char caption[300];
    std::snprintf(caption, sizeof(caption), "Windows Time Service - %s", TargetDisplayName());
    SetWindowTextA(GetParent(window()), caption);
    SetDlgItemTextA(window(), IDC_CLIENT_HEADER, PageHeaderText());
}

// The family note, and whether a family product owns the clock.
bool ClientPage::ShowFamilyNote() {
    const uint32_t product = CurrentEnvironment().familyProduct;
    const FamilyClockNote note =
        FamilyClockNoteOf(product, product == kFamilyServer && FamilyServerSlave());
    // Where Group Policy sets what this page shows, the line says so in place of the
    // introduction; a family product's word comes first.
    if ((Applet().policy.policySet & kClientPolicyValues) != 0) {
        char text[512];
        std::snprintf(text, sizeof(text), "%s%s%s", product != kFamilyNone ? note.text : "",
                      product != kFamilyNone ? " " : "", kPolicyNoteText);
        SetDlgItemTextA(window(), IDC_CLIENT_NOTE, text);
    } else {
        SetDlgItemTextA(window(), IDC_CLIENT_NOTE, note.text);
    }
    return note.ownsClock;
}

void ClientPage::SetStatusIcon(int icon) {
    if (const SheetResources* resources = Applet().sheet) {
        SendDlgItemMessageA(window(), IDC_STATUS_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(resources->icons[icon]), 0);
    }
}

// Server rows, and on the later template the interval and the mode lists, as the chosen option
// and the typed names leave them.
void ClientPage::EnableControls() {
    bool named[kClientRowCount] = {};
    if (later_) {
        for (int i = 0; i < kClientRows; ++i) {
            named[i] = HoldsText(window(), kServerEditIds[i]);
        }
    }
    ClientPageControls controls = ClientControlStates(later_, CheckedOption(), false, named);
    LockPolicySettings(Applet().policy.policySet, later_, &controls);
    if (Applet().policy.policySet != 0) {
        for (int option = kClientDisabled; option <= kClientNtp; ++option) {
            if (!controls.options[option]) {
                EnableControl(window(), kOptionIds[option], false);
            }
        }
    }
    for (int i = 0; i < kClientRows; ++i) {
        EnableControl(window(), kServerEditIds[i], controls.serverEdits);
        if (later_) {
            EnableControl(window(), kServerModeIds[i], controls.modeLists[i]);
        }
    }
    if (later_) {
        for (int id : kIntervalControls) {
            EnableControl(window(), id, controls.interval);
        }
    }
}

// A row's variance and stratum cells: emptied and disabled while the user types in its server
// edit, so the status pass leaves the row alone.
void ClientPage::FollowEditFocus(int row, bool focused) {
    SetDlgItemTextA(window(), kVarianceIds[row], "");
    SetDlgItemTextA(window(), kStratumIds[row], "");
    EnableControl(window(), kVarianceIds[row], !focused);
    EnableControl(window(), kStratumIds[row], !focused);
}

void ClientPage::FillControls() {
    const SettingsRecord& settings = Applet().settings;
    SelectOption(later_ ? ClientOptionOfRecord(settings) : Client2000OptionOfRecord(settings));
    if (later_) {
        SetDlgItemInt(window(), IDC_CLIENT_INTERVAL, settings.ntpClientPollInterval, FALSE);
    }
    for (int i = 0; i < kClientRows; ++i) {
        const bool used = static_cast<uint32_t>(i) < settings.serverCount;
        const TimeServerEntry& entry = settings.servers[i];
        SetDlgItemTextA(window(), kServerEditIds[i], used ? entry.name : "");
        if (later_) {
            SendDlgItemMessageA(window(), kServerModeIds[i], CB_SETCURSEL,
                                ServerModeIndexOfFlags(used ? entry.flags : kDefaultServerFlags),
                                0);
        }
        FillRowState(i);
    }
    EnableControls();
}

void ClientPage::Initialize() {
    SetCaptionAndHeader();
    if (later_) {
        for (int id : kServerModeIds) {
            HWND list = GetDlgItem(window(), id);
            SendMessageA(list, CB_RESETCONTENT, 0, 0);
            for (const char* item : kServerModeNames) {
                SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
            }
        }
    }
    SetStatusIcon(kIconUnknown);
    if (ShowFamilyNote()) {
        const bool named[kClientRowCount] = {};
        const ClientPageControls locked = ClientControlStates(later_, kClientNone, true, named);
        for (int option = kClientNoSync; option <= kClientNtp; ++option) {
            if (!locked.options[option]) {
                EnableControl(window(), kOptionIds[option], false);
            }
        }
        AppletState& applet = Applet();
        // A value Group Policy sets is not the family's to change either.
        const uint32_t untouchable = applet.baseline.unreadable | applet.policy.policySet;
        ImposeFamilyValues(later_ ? ImposeFamilyClockOwner(&applet.settings, untouchable)
                                  : ImposeFamilyClockOwner2000(&applet.settings, untouchable));
    }
    ShowMoreServersNote();
    AttachClientPage(window());
    EnableControl(window(), IDC_SYNC_NOW, false); // until the service is asked, once shown
    if (!later_) {
        ShowControl(window(), IDC_SYNC_NOW, Applet().remoteWin2000);
    }
}

void ClientPage::Fill() {
    FillControls();
    if (later_) {
        UpdateTimePartner(window());
    }
}

void ClientPage::Activated() {
    PostMessageA(window(), kRefreshMessage, 0, 0);
}

void ClientPage::Read() {
    SettingsRecord& settings = Applet().settings;
    if (later_) {
        StoreClientOption(CheckedOption(), &settings);
        ReadServerRows();
        settings.ntpClientPollInterval =
            SpecialPollIntervalOfTyped(ReadUnsigned(window(), IDC_CLIENT_INTERVAL));
    } else {
        settings.syncType = SyncTypeOfClient2000Option(CheckedOption());
        ReadServerRows();
    }
}

// The "Sync Now" button from what is known of the service, and (later template) the time-source
// line from the agent's record.
void ClientPage::RefreshButtons() {
    UpdateSyncNowButton(window());
    if (later_) {
        UpdateTimePartner(window());
    }
}

// "Sync Now": applies pending changes when the user wants them, then asks the service to
// synchronize, tells the result and looks again once the service had time to act.
void ClientPage::SyncNow() {
    HWND sheet = GetParent(window());
    int result = 0;
    bool applied = false;
    if (Applet().settingsDirty) {
        const int answer = ShowMessage(
            sheet, kQuestionStyle,
            "Do you want to apply your changes before telling the machine to resynchronize?");
        if (answer == IDCANCEL) {
            return;
        }
        if (answer == IDYES) {
            Filling([this, &result] {
                Read();
                result = ApplySettings(window());
                FillControls();
            });
            applied = true;
        }
    }
    if (!applied) {
        result = static_cast<int>(TriggerDemandSync(TargetOrNull(), FALSE, 1));
    }
    EnableControl(window(), IDC_SYNC_NOW, false);
    if (later_) {
        NoteSyncPending();
        SetDlgItemTextA(window(), IDC_TIME_SOURCE, "Please wait....");
    }
    if (result != 0) {
        ShowMessage(sheet, 0,
                    "The Windows Time service reported an error while trying to trigger clock "
                    "synchronization. No further information is available.");
    } else if (later_) {
        ShowMessage(sheet, 0,
                    "The Windows Time service accepted the synchronization trigger. Check the "
                    "Event Viewer log in approximately 30 seconds\r\nto determine the "
                    "synchronization status.\r\n\r\nNote: The clock correction may take several "
                    "hours to complete if the variance is significant, or it may happen "
                    "immediately.");
    } else {
        ShowMessage(sheet, 0,
                    "The Windows Time service accepted the synchronization trigger. Check the "
                    "Event Viewer log for error messages\r\nto determine the synchronization "
                    "status.\r\n\r\nNote: The clock correction may occur immediately, or over an "
                    "indeterminate period of time.");
    }
    SetTimer(window(), kSyncNowTimer, result != 0 ? kAfterRefusedMs : kAfterAcceptedMs, nullptr);
}

void ClientPage::Command(int id, int code) {
    if (id == IDC_SYNC_NOW) {
        if (code == BN_CLICKED) {
            SyncNow();
        }
        return;
    }
    for (int option : kOptionIds) {
        if (id == option) {
            if (code != BN_CLICKED) {
                return;
            }
            // The button follows the option at once; the service is not asked again here.
            UpdateSyncNowButton(window());
            MarkChanged(ClientOptionValues(later_));
            EnableControls();
            return;
        }
    }
    const int row = RowOfControl(kServerEditIds, id);
    if (row >= 0) {
        if (code != EN_SETFOCUS && code != EN_KILLFOCUS && code != EN_UPDATE) {
            return;
        }
        // A fill writes every row: the button follows once it is done, not at each row.
        if (!initializing()) {
            UpdateSyncNowButton(window());
        }
        if (code == EN_SETFOCUS || code == EN_KILLFOCUS) {
            FollowEditFocus(row, code == EN_SETFOCUS);
        } else if (!initializing()) {
            MarkChanged(kValueServerList);
            if (later_) {
                EnableControl(window(), kServerModeIds[row], HoldsText(window(), id));
            }
        }
        return;
    }
    if (!later_ || initializing()) {
        return;
    }
    const int modeRow = RowOfControl(kServerModeIds, id);
    if (modeRow >= 0 && code == CBN_SELCHANGE) {
        rows_[modeRow].pickedMode =
            static_cast<int>(SendDlgItemMessageA(window(), id, CB_GETCURSEL, 0, 0));
        MarkChanged(kValueServerList);
    } else if (id == IDC_CLIENT_INTERVAL && code == EN_UPDATE) {
        MarkChanged(kValueClientInterval);
    }
}

bool ClientPage::Message(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_TIMER:
        if (wParam == kSyncNowTimer) {
            KillTimer(window(), kSyncNowTimer);
            RefreshButtons();
        }
        return true;
    case kMarkChangedMessage:
        MarkSheetChanged();
        return true;
    case kRefreshMessage:
        RefreshButtons();
        RequestStatusCheck();
        return true;
    case kSyncNowStateMessage:
        UpdateSyncNowButton(window());
        return true;
    default:
        return false;
    }
}

} // namespace

INT_PTR CALLBACK ClientPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunPage(page, message, wParam, lParam, [](HWND window) -> Page* {
        return new (std::nothrow) ClientPage(window, true);
    });
}

INT_PTR CALLBACK Client2000PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunPage(page, message, wParam, lParam, [](HWND window) -> Page* {
        return new (std::nothrow) ClientPage(window, false);
    });
}
