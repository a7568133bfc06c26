// The Client page in its two variants: how Windows Time finds its sources and which servers it
// asks (with their modes on later releases), the live status display, and "Sync Now".
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <initializer_list>

#include "agent/agent_state_win.h"
#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/client_rules.h"
#include "applet/client_status_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "config/registry.h"
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

// Controls whose state follows the managing options on the later template.
constexpr int kIntervalControls[] = {IDC_CLIENT_INTERVAL, IDC_CLIENT_INTERVAL_LABEL,
                                     IDC_CLIENT_INTERVAL_UNIT};
constexpr int kOptionIds[] = {IDC_CLIENT_DISABLED, IDC_CLIENT_NOSYNC, IDC_CLIENT_NT5DS,
                              IDC_CLIENT_ALLSYNC, IDC_CLIENT_NTP};

// Set while a page fills its controls: their change notifications are not the user's.
bool g_initializing = false;

// What each server row showed when it was filled, and the mode the user picked in it since.
struct RowState {
    uint32_t shownFlags;
    int origin; // stored entry behind the slot the row showed, -1 for none
    int pickedMode;
};
RowState g_rows[kClientRows];

void FillRowState(int row) {
    const AppletState& applet = Applet();
    const bool used = static_cast<uint32_t>(row) < applet.settings.serverCount;
    g_rows[row].shownFlags = used ? applet.settings.servers[row].flags : kDefaultServerFlags;
    g_rows[row].origin = used ? applet.serverOrigins[row] : -1;
    g_rows[row].pickedMode = -1;
}

// The rows read back into the record's slots; maxChars per row as the variant reads them.
void ReadServerRows(HWND page, size_t maxChars) {
    char texts[kClientRows][512];
    ServerRow rows[kClientRows];
    for (int i = 0; i < kClientRows; ++i) {
        texts[i][0] = '\0';
        GetDlgItemTextA(page, kServerEditIds[i], texts[i], static_cast<int>(maxChars + 1));
        rows[i] = ServerRow{texts[i], g_rows[i].shownFlags, g_rows[i].origin, g_rows[i].pickedMode};
    }
    AppletState& applet = Applet();
    RebuildServerSlots(rows, &applet.settings, applet.serverOrigins);
}

// The note on stored servers beyond the six rows: they are kept, after the rows.
void ShowMoreServersNote(HWND page) {
    const size_t rows = kClientRows;
    const size_t stored = CountServerListEntries(Applet().baseline.serverList);
    char note[128];
    FormatMoreServersNote(stored > rows ? stored - rows : 0, note, sizeof(note));
    SetDlgItemTextA(page, IDC_CLIENT_MORE_SERVERS, note);
    ShowControl(page, IDC_CLIENT_MORE_SERVERS, note[0] != '\0');
}

// A family product owning the clock: the values it imposes count as changed.
void ImposeFamilyValues(HWND page, uint32_t imposed) {
    if (imposed == 0) {
        return;
    }
    Applet().changedValues |= imposed;
    Applet().settingsDirty = true;
    PostMessageA(page, kMarkChangedMessage, 0, 0);
}

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

void SetCaptionAndHeader(HWND page) {
    char caption[300];
    std::snprintf(caption, sizeof(caption), "Windows Time Service - %s", TargetDisplayName());
    SetWindowTextA(GetParent(page), caption);
    SetDlgItemTextA(page, IDC_CLIENT_HEADER, PageHeaderText());
}

// The family note, and whether a family product owns the clock.
bool ShowFamilyNote(HWND page) {
    const uint32_t product = CurrentEnvironment().familyProduct;
    const FamilyClockNote note =
        FamilyClockNoteOf(product, product == kFamilyServer && FamilyServerSlave());
    SetDlgItemTextA(page, IDC_CLIENT_NOTE, note.text);
    return note.ownsClock;
}

void SetStatusIcon(HWND page, int icon) {
    if (const SheetResources* resources = Applet().sheet) {
        SendDlgItemMessageA(page, IDC_STATUS_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(resources->icons[icon]), 0);
    }
}

int CheckedOption(HWND page) {
    for (int option = kClientDisabled; option <= kClientNtp; ++option) {
        if (IsChecked(page, kOptionIds[option])) {
            return option;
        }
    }
    return kClientNone;
}

void SelectOption(HWND page, int option) {
    for (int id : kOptionIds) {
        CheckDlgButton(page, id, BST_UNCHECKED);
    }
    if (option >= kClientDisabled && option <= kClientNtp) {
        CheckDlgButton(page, kOptionIds[option], BST_CHECKED);
    }
}

// Server rows, interval and mode lists follow AllSync and NTP; a mode list needs a name too.
void EnableServerControls(HWND page) {
    const bool on = IsChecked(page, IDC_CLIENT_ALLSYNC) || IsChecked(page, IDC_CLIENT_NTP);
    for (int i = 0; i < kClientRows; ++i) {
        EnableControl(page, kServerEditIds[i], on);
        EnableControl(page, kServerModeIds[i], on && HoldsText(page, kServerEditIds[i]));
    }
    for (int id : kIntervalControls) {
        EnableControl(page, id, on);
    }
}

void EnableServerEdits2000(HWND page) {
    const bool on = IsChecked(page, IDC_CLIENT_NTP);
    for (int id : kServerEditIds) {
        EnableControl(page, id, on);
    }
}

// A row's variance and stratum cells: emptied and disabled while
// the user types in its server edit, so the status pass leaves the row alone.
void FollowEditFocus(HWND page, int row, bool focused) {
    SetDlgItemTextA(page, kVarianceIds[row], "");
    SetDlgItemTextA(page, kStratumIds[row], "");
    EnableControl(page, kVarianceIds[row], !focused);
    EnableControl(page, kStratumIds[row], !focused);
}

// --- Windows XP and later (template 100) ---

void Fill(HWND page) {
    const SettingsRecord& settings = Applet().settings;
    SelectOption(page, ClientOptionOfRecord(settings));
    SetDlgItemInt(page, IDC_CLIENT_INTERVAL, settings.ntpClientPollInterval, FALSE);
    for (int i = 0; i < kClientRows; ++i) {
        const bool used = static_cast<uint32_t>(i) < settings.serverCount;
        const TimeServerEntry& entry = settings.servers[i];
        SetDlgItemTextA(page, kServerEditIds[i], used ? entry.name : "");
        SendDlgItemMessageA(page, kServerModeIds[i], CB_SETCURSEL,
                            ServerModeIndexOfFlags(used ? entry.flags : kDefaultServerFlags), 0);
        FillRowState(i);
    }
    EnableServerControls(page);
}

void Read(HWND page) {
    SettingsRecord& settings = Applet().settings;
    StoreClientOption(CheckedOption(page), &settings);
    ReadServerRows(page, 511);
    settings.ntpClientPollInterval =
        SpecialPollIntervalOfTyped(ReadUnsigned(page, IDC_CLIENT_INTERVAL));
}

void Initialize(HWND page) {
    g_initializing = true;
    SetupHelpLink(page);
    SetCaptionAndHeader(page);
    for (int id : kServerModeIds) {
        HWND list = GetDlgItem(page, id);
        SendMessageA(list, CB_RESETCONTENT, 0, 0);
        for (const char* item : kServerModeNames) {
            SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        }
    }
    SetStatusIcon(page, kIconUnknown);
    if (ShowFamilyNote(page)) {
        for (int id : {IDC_CLIENT_NOSYNC, IDC_CLIENT_NT5DS, IDC_CLIENT_NTP, IDC_CLIENT_ALLSYNC}) {
            EnableControl(page, id, false);
        }
        for (int id : kIntervalControls) {
            EnableControl(page, id, false);
        }
        AppletState& applet = Applet();
        ImposeFamilyValues(page,
                           ImposeFamilyClockOwner(&applet.settings, applet.baseline.unreadable));
    }
    ShowMoreServersNote(page);
    AttachClientPage(page);
    EnableControl(page, IDC_SYNC_NOW, false); // until the service is asked, once the sheet shows
    g_initializing = false;
}

// --- Windows 2000 (template 151) ---

void Fill2000(HWND page) {
    const SettingsRecord& settings = Applet().settings;
    SelectOption(page, Client2000OptionOfRecord(settings));
    for (int i = 0; i < kClientRows; ++i) {
        const bool used = static_cast<uint32_t>(i) < settings.serverCount;
        SetDlgItemTextA(page, kServerEditIds[i], used ? settings.servers[i].name : "");
        FillRowState(i);
    }
    EnableServerEdits2000(page);
}

void Read2000(HWND page) {
    SettingsRecord& settings = Applet().settings;
    settings.syncType = SyncTypeOfClient2000Option(CheckedOption(page));
    ReadServerRows(page, 127);
}

void Initialize2000(HWND page) {
    g_initializing = true;
    SetupHelpLink(page);
    SetCaptionAndHeader(page);
    SetStatusIcon(page, kIconUnknown);
    if (ShowFamilyNote(page)) {
        EnableControl(page, IDC_CLIENT_NT5DS, false);
        EnableControl(page, IDC_CLIENT_NTP, false);
        AppletState& applet = Applet();
        ImposeFamilyValues(
            page, ImposeFamilyClockOwner2000(&applet.settings, applet.baseline.unreadable));
    }
    ShowMoreServersNote(page);
    AttachClientPage(page);
    EnableControl(page, IDC_SYNC_NOW, false); // until the service is asked, once the sheet shows
    ShowControl(page, IDC_SYNC_NOW, Applet().remoteWin2000);
    g_initializing = false;
}

// --- Both ---

struct Variant {
    bool later; // Windows XP and later (template 100)
    void (*read)(HWND page);
    void (*fill)(HWND page);
};
constexpr Variant kLater{true, Read, Fill};
constexpr Variant k2000{false, Read2000, Fill2000};

void RefreshButtons(HWND page, const Variant& variant) {
    UpdateSyncNowButton(page);
    if (variant.later) {
        UpdateTimePartner(page);
    }
}

// "Sync Now": applies pending changes when the user wants them, then asks the service to
// synchronize, tells the result and looks again once the service had time to act.
void SyncNow(HWND page, const Variant& variant) {
    HWND sheet = GetParent(page);
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
            g_initializing = true;
            variant.read(page);
            result = ApplySettings(page);
            variant.fill(page);
            g_initializing = false;
            applied = true;
        }
    }
    if (!applied) {
        result = static_cast<int>(TriggerDemandSync(TargetOrNull(), FALSE, 1));
    }
    EnableControl(page, IDC_SYNC_NOW, false);
    if (variant.later) {
        SetDlgItemTextA(page, IDC_TIME_SOURCE, "Please wait....");
    }
    if (result != 0) {
        ShowMessage(sheet, 0,
                    "The Windows Time service reported an error while trying to trigger clock "
                    "synchronization. No further information is available.");
    } else if (variant.later) {
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
    SetTimer(page, kSyncNowTimer, result != 0 ? kAfterRefusedMs : kAfterAcceptedMs, nullptr);
}

void OnCommand(HWND page, const Variant& variant, int id, int code) {
    if (id == IDC_SYNC_NOW) {
        if (code == BN_CLICKED) {
            SyncNow(page, variant);
        }
        return;
    }
    if (id == IDC_HELP_LINK) {
        if (code == STN_CLICKED) {
            OpenHelpLink(page, variant.later ? "clienttab" : "win2ktab");
        }
        return;
    }
    for (int option : kOptionIds) {
        if (id == option) {
            if (code != BN_CLICKED) {
                return;
            }
            RefreshButtons(page, variant);
            if (!g_initializing) {
                MarkValuesChanged(page, variant.later ? kClientOptionValues : kValueSyncType);
            }
            if (variant.later) {
                EnableServerControls(page);
            } else {
                EnableServerEdits2000(page);
            }
            return;
        }
    }
    const int row = RowOfControl(kServerEditIds, id);
    if (row >= 0) {
        if (code != EN_SETFOCUS && code != EN_KILLFOCUS && code != EN_UPDATE) {
            return;
        }
        // A fill writes every row: the buttons follow once it is done, not at each row.
        if (!g_initializing) {
            RefreshButtons(page, variant);
        }
        if (code == EN_SETFOCUS || code == EN_KILLFOCUS) {
            FollowEditFocus(page, row, code == EN_SETFOCUS);
        } else if (!g_initializing) {
            MarkValuesChanged(page, kValueServerList);
            if (variant.later) {
                EnableControl(page, kServerModeIds[row], HoldsText(page, id));
            }
        }
        return;
    }
    if (!variant.later || g_initializing) {
        return;
    }
    const int modeRow = RowOfControl(kServerModeIds, id);
    if (modeRow >= 0 && code == CBN_SELCHANGE) {
        g_rows[modeRow].pickedMode =
            static_cast<int>(SendDlgItemMessageA(page, id, CB_GETCURSEL, 0, 0));
        MarkValuesChanged(page, kValueServerList);
    } else if (id == IDC_CLIENT_INTERVAL && code == EN_UPDATE) {
        MarkValuesChanged(page, kValueClientInterval);
    }
}

INT_PTR OnNotify(HWND page, const Variant& variant, const NMHDR* header) {
    switch (header->code) {
    case PSN_SETACTIVE:
        g_initializing = true;
        variant.fill(page);
        if (variant.later) {
            UpdateTimePartner(page);
        }
        g_initializing = false;
        PostMessageA(page, kRefreshMessage, 0, 0);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case PSN_KILLACTIVE:
        variant.read(page);
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

INT_PTR PageProc(const Variant& variant, HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        if (variant.later) {
            Initialize(page);
        } else {
            Initialize2000(page);
        }
        return TRUE;
    case WM_COMMAND:
        OnCommand(page, variant, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(page, variant, reinterpret_cast<const NMHDR*>(lParam));
    case WM_TIMER:
        if (wParam == kSyncNowTimer) {
            KillTimer(page, kSyncNowTimer);
            RefreshButtons(page, variant);
        }
        return TRUE;
    case kMarkChangedMessage:
        MarkPageChanged(page);
        return TRUE;
    case kRefreshMessage:
        RefreshButtons(page, variant);
        RequestStatusCheck();
        return TRUE;
    case WM_DESTROY:
        DetachClientPage(page);
        return FALSE;
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            HelpLinkColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    default:
        return FALSE;
    }
}

} // namespace

INT_PTR CALLBACK ClientPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return PageProc(kLater, page, message, wParam, lParam);
}

INT_PTR CALLBACK Client2000PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return PageProc(k2000, page, message, wParam, lParam);
}
