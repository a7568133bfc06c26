// The Agent page: the agent switched on or off on the target, its reference server, check
// interval and alerts, the sources it used lately, and the door to the drift graph.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "applet/agent_history.h"
#include "applet/applet_state_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "config/registry.h"
#include "config/registry_keys.h"
#include "config/settings.h"
#include "history/drift_file_win.h"
#include "history/drift_graph_win.h"
#include "resources/resource.h"
#include "timesrc/clock_math.h"

namespace {

constexpr UINT_PTR kHistoryTimer = 1;
constexpr UINT kHistoryMs = 2000;

// Controls shown only without a family product, and enabled only with the agent ticked.
constexpr int kOptionControls[] = {
    IDC_AGENT_REFERENCE,      IDC_AGENT_INTERVAL,        IDC_AGENT_ALERT_UNVERIFIED,
    IDC_AGENT_ALERT_OFF,      IDC_AGENT_REFERENCE_LABEL, IDC_AGENT_REFERENCE_HINT,
    IDC_AGENT_INTERVAL_LABEL, IDC_AGENT_INTERVAL_UNIT,   IDC_AGENT_THRESHOLD_UNIT};

bool g_initializing = false;
uint8_t g_shownRing[kRingBytes] = {}; // the ring the list was last built from

bool FamilyInstalled() {
    return CurrentEnvironment().familyProduct != kFamilyNone;
}

void ApplyEnableRules(HWND page) {
    const LRESULT lines = SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_GETCOUNT, 0, 0);
    const AgentEnableRules rules = AgentControlsEnabled(IsChecked(page, IDC_AGENT_ENABLE),
                                                        IsChecked(page, IDC_AGENT_ALERT_OFF),
                                                        lines > 0 ? static_cast<size_t>(lines) : 0);
    for (int id : kOptionControls) {
        EnableControl(page, id, rules.options);
    }
    EnableControl(page, IDC_AGENT_THRESHOLD, rules.threshold);
    EnableControl(page, IDC_AGENT_CLEAR_HISTORY, rules.clear);
}

// The host name of an address by reverse lookup, "" when there is none.
void LookUpName(uint32_t address, char* name, size_t size) {
    name[0] = '\0';
    const hostent* host =
        gethostbyaddr(reinterpret_cast<const char*>(&address), sizeof(address), AF_INET);
    if (host != nullptr && host->h_name != nullptr) {
        std::snprintf(name, size, "%s", host->h_name);
    }
}

bool LocalTimeOf(uint32_t seconds, CalendarTime* out) {
    const uint64_t ticks = UnixToFileTime(seconds);
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local;
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &parts)) {
        return false;
    }
    *out = CalendarTime{parts.wYear, parts.wMonth,  parts.wDay,   parts.wDayOfWeek,
                        parts.wHour, parts.wMinute, parts.wSecond};
    return true;
}

// Rebuilds the list from the ring, newest first, only when the ring's bytes changed: otherwise
// the user's selection and scroll position stay. True when it rebuilt the list.
bool FillHistory(HWND page) {
    uint8_t ring[kRingBytes];
    ReadBinary(kAgentKeyPath, kLastUsedTimeSourceValue, ring, sizeof(ring));
    if (std::memcmp(ring, g_shownRing, sizeof(ring)) == 0) {
        return false;
    }
    std::memcpy(g_shownRing, ring, sizeof(ring));
    HWND list = GetDlgItem(page, IDC_AGENT_HISTORY);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    BusyCursor(true);
    const bool lookUp = Applet().settings.dnsLookups != 0;
    for (size_t slot = kRingSlots; slot-- > 0;) {
        RingSlot entry;
        CalendarTime when;
        if (!ReadRingSlot(ring, slot, &entry) || !LocalTimeOf(entry.time, &when)) {
            continue;
        }
        char name[256] = "";
        if (lookUp) {
            LookUpName(entry.address, name, sizeof(name));
        }
        char line[400];
        FormatHistoryLine(when, entry.address, name, line, sizeof(line));
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    }
    BusyCursor(false);
    return true;
}

void Initialize(HWND page) {
    AppletState& applet = Applet();
    SettingsRecord& settings = applet.settings;
    g_initializing = true;
    // A family product decides whether the agent runs: the change is saved by the next OK or
    // Apply, without lighting the Apply button.
    if ((applet.baseline.unreadable & kValueAgentEnabled) == 0 && ApplyForceDisable(&settings)) {
        applet.changedValues |= kValueAgentEnabled;
        applet.settingsDirty = true;
    }
    SetupHelpLink(page);
    const int tabs[] = {90, 160};
    SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_SETTABSTOPS, 2, reinterpret_cast<LPARAM>(tabs));
    SetDlgItemInt(page, IDC_AGENT_INTERVAL, IntervalMinutes(settings.agentPollInterval), FALSE);
    SetDlgItemTextA(page, IDC_AGENT_REFERENCE, settings.referenceClock);
    CheckDlgButton(page, IDC_AGENT_ENABLE,
                   settings.agentEnabled != 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_AGENT_ALERT_UNVERIFIED,
                   settings.alertIfUnverified != 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_AGENT_ALERT_OFF,
                   settings.alertIfUnsynchronized != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemInt(page, IDC_AGENT_THRESHOLD, settings.alertThreshold, FALSE);

    const bool family = FamilyInstalled();
    SetDlgItemTextA(page, IDC_AGENT_NOTE, family ? kAgentFamilyNote : kAgentOverrideNote);
    EnableControl(page, IDC_AGENT_ENABLE, !family);
    for (int id : kOptionControls) {
        ShowControl(page, id, !family);
    }
    ShowControl(page, IDC_AGENT_THRESHOLD, !family);
    ShowControl(page, IDC_AGENT_REMOVE, false);
    std::memset(g_shownRing, 0, sizeof(g_shownRing));
    g_initializing = false;
}

void ReadPage(HWND page) {
    SettingsRecord& settings = Applet().settings;
    char text[64];
    std::snprintf(settings.referenceClock, sizeof(settings.referenceClock), "%s",
                  ReadTrimmedText(page, IDC_AGENT_REFERENCE, text, 63));
    settings.agentPollInterval = IntervalSeconds(ReadUnsigned(page, IDC_AGENT_INTERVAL));
    settings.alertThreshold = ReadUnsigned(page, IDC_AGENT_THRESHOLD);
    settings.agentEnabled = IsChecked(page, IDC_AGENT_ENABLE) ? 1 : 0;
    settings.alertIfUnverified = IsChecked(page, IDC_AGENT_ALERT_UNVERIFIED) ? 1 : 0;
    settings.alertIfUnsynchronized = IsChecked(page, IDC_AGENT_ALERT_OFF) ? 1 : 0;
}

uint32_t ValueOfControl(int id) {
    switch (id) {
    case IDC_AGENT_REFERENCE:
        return kValueReferenceClock;
    case IDC_AGENT_INTERVAL:
        return kValueAgentInterval;
    case IDC_AGENT_THRESHOLD:
        return kValueAgentThreshold;
    case IDC_AGENT_ALERT_UNVERIFIED:
        return kValueAgentUnverified;
    case IDC_AGENT_ALERT_OFF:
        return kValueAgentUnsynchronized;
    default:
        return kValueAgentEnabled;
    }
}

void MarkChanged(HWND page, int id) {
    MarkValuesChanged(page, ValueOfControl(id));
}

void ShowGraph(HWND page) {
    AppletState& applet = Applet();
    if (applet.graphWindow != nullptr && IsWindow(applet.graphWindow)) {
        SetForegroundWindow(applet.graphWindow);
        SetFocus(applet.graphWindow);
        return;
    }
    char path[MAX_PATH + 1];
    if (!DriftFilePath(TargetOrNull(), path, sizeof(path))) {
        return;
    }
    applet.graphWindow =
        OpenDriftGraph(AppletModule(), page, true, false, CurrentEnvironment().systemFolder, path);
}

void ClearHistory(HWND page) {
    if (ShowMessage(page, MB_YESNO | MB_ICONQUESTION,
                    "Do you want to delete the synchronization history records? This will clear "
                    "the points in the graph, and clear the list of recently-used servers.\r\n") !=
        IDYES) {
        return;
    }
    ClearDriftFileOf(TargetOrNull());
    DeleteValue(kAgentKeyPath, kLastUsedTimeSourceValue);
    SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_RESETCONTENT, 0, 0);
    std::memset(g_shownRing, 0, sizeof(g_shownRing));
    ApplyEnableRules(page);
}

void OnCommand(HWND page, int id, int code) {
    switch (id) {
    case IDC_AGENT_REFERENCE:
    case IDC_AGENT_INTERVAL:
    case IDC_AGENT_THRESHOLD:
        if (code == EN_UPDATE && !g_initializing) {
            MarkChanged(page, id);
        }
        break;
    case IDC_AGENT_ALERT_UNVERIFIED:
        if (code == BN_CLICKED) {
            MarkChanged(page, id);
        }
        break;
    case IDC_AGENT_ALERT_OFF:
    case IDC_AGENT_ENABLE:
        if (code == BN_CLICKED) {
            MarkChanged(page, id);
            ApplyEnableRules(page);
        }
        break;
    case IDC_AGENT_SHOW_GRAPH:
        if (code == BN_CLICKED) {
            ShowGraph(page);
        }
        break;
    case IDC_AGENT_CLEAR_HISTORY:
        if (code == BN_CLICKED) {
            ClearHistory(page);
        }
        break;
    case IDC_HELP_LINK:
        if (code == STN_CLICKED) {
            OpenHelpLink(page, "agenttab");
        }
        break;
    default:
        break;
    }
}

INT_PTR OnNotify(HWND page, const NMHDR* header) {
    switch (header->code) {
    case PSN_SETACTIVE:
        FillHistory(page);
        ApplyEnableRules(page);
        SetTimer(page, kHistoryTimer, kHistoryMs, nullptr);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case PSN_KILLACTIVE:
        KillTimer(page, kHistoryTimer);
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

INT_PTR CALLBACK AgentPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
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
        if (wParam == kHistoryTimer && FillHistory(page)) {
            // The list has just got or lost its lines: "Clear History" follows.
            ApplyEnableRules(page);
        }
        return TRUE;
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            HelpLinkColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    default:
        if (message == kGraphClosedMessage) {
            Applet().graphWindow = nullptr;
            return TRUE;
        }
        return FALSE;
    }
}
