// The Agent page: the agent switched on or off on the target, its reference server, check
// interval and alerts, the sources it used lately, and the door to the drift graph.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "applet/agent_history.h"
#include "applet/agent_rules.h"
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
// A HistoryLookup's answer (LPARAM: the lookup).
constexpr UINT kHistoryNamesMessage = WM_APP + 18;

// Controls shown only without a family product, and enabled only with the agent ticked.
constexpr int kOptionControls[] = {
    IDC_AGENT_REFERENCE,      IDC_AGENT_INTERVAL,        IDC_AGENT_ALERT_UNVERIFIED,
    IDC_AGENT_ALERT_OFF,      IDC_AGENT_REFERENCE_LABEL, IDC_AGENT_REFERENCE_HINT,
    IDC_AGENT_INTERVAL_LABEL, IDC_AGENT_INTERVAL_UNIT,   IDC_AGENT_THRESHOLD_UNIT};

bool FamilyInstalled() {
    return CurrentEnvironment().familyProduct != kFamilyNone;
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

// The host names of a ring's addresses, looked up off the page thread.
class HistoryLookup final : public PageWork {
public:
    HistoryLookup(unsigned sequence, const uint8_t (&ring)[kRingBytes]) : sequence(sequence) {
        std::memcpy(this->ring, ring, sizeof(this->ring));
    }
    void Run() override {
        for (size_t slot = 0; slot < kRingSlots; ++slot) {
            RingSlot entry;
            names[slot][0] = '\0';
            if (ReadRingSlot(ring, slot, &entry)) {
                LookUpName(entry.address, names[slot], sizeof(names[slot]));
            }
        }
    }

    const unsigned sequence;
    uint8_t ring[kRingBytes];
    char names[kRingSlots][256];
};

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

class AgentPage final : public Page {
public:
    explicit AgentPage(HWND window) : Page(window, "agenttab") {}

protected:
    void Initialize() override;
    void Fill() override;
    void Activated() override;
    void Read() override;
    void Command(int id, int code) override;
    bool Message(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void ApplyEnableRules();
    bool FillHistory(bool lookUpHere);
    void ShowHistory(const uint8_t (&ring)[kRingBytes], const char (*names)[256]);
    void ShowGraph();
    void ClearHistory();

    uint8_t shownRing_[kRingBytes] = {}; // the ring the list was last built (or asked) from
    unsigned lookups_ = 0;               // the latest lookup asked; older answers are dropped
};

void AgentPage::ApplyEnableRules() {
    HWND page = window();
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

// The list from a ring, newest first, with the host names looked up for it (none without).
void AgentPage::ShowHistory(const uint8_t (&ring)[kRingBytes], const char (*names)[256]) {
    HWND list = GetDlgItem(window(), IDC_AGENT_HISTORY);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (size_t slot = kRingSlots; slot-- > 0;) {
        RingSlot entry;
        CalendarTime when;
        if (!ReadRingSlot(ring, slot, &entry) || !LocalTimeOf(entry.time, &when)) {
            continue;
        }
        char line[400];
        FormatHistoryLine(when, entry.address, names != nullptr ? names[slot] : "", line,
                          sizeof(line));
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    }
}

// Rebuilds the list from the ring only when the ring's bytes changed: otherwise the user's
// selection and scroll position stay. With name lookups on, lookUpHere looks the names up at
// once (the page being shown); otherwise a worker looks them up and the list is rebuilt when
// its answer comes. True when it rebuilt the list here.
bool AgentPage::FillHistory(bool lookUpHere) {
    uint8_t ring[kRingBytes];
    ReadBinary(kAgentKeyPath, kLastUsedTimeSourceValue, ring, sizeof(ring));
    if (std::memcmp(ring, shownRing_, sizeof(ring)) == 0) {
        return false;
    }
    std::memcpy(shownRing_, ring, sizeof(ring));
    const bool lookUp = Applet().settings.dnsLookups != 0;
    if (lookUp && !lookUpHere) {
        StartPageWork(window(), kHistoryNamesMessage,
                      new (std::nothrow) HistoryLookup(++lookups_, ring));
        return false;
    }
    // Looked up here, while the page is being shown; an answer still on its way is out of date.
    HistoryLookup lookup(++lookups_, ring);
    BusyCursor(true);
    if (lookUp) {
        lookup.Run();
    }
    ShowHistory(ring, lookUp ? lookup.names : nullptr);
    BusyCursor(false);
    return true;
}

void AgentPage::Initialize() {
    HWND page = window();
    AppletState& applet = Applet();
    SettingsRecord& settings = applet.settings;
    // A family product decides whether the agent runs: the change is saved by the next OK or
    // Apply, without lighting the Apply button.
    if ((applet.baseline.unreadable & kValueAgentEnabled) == 0 && ApplyForceDisable(&settings)) {
        applet.changedValues |= kValueAgentEnabled;
        applet.settingsDirty = true;
    }
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

    const AgentPageLayout layout = AgentPageLayoutOf(FamilyInstalled());
    SetDlgItemTextA(page, IDC_AGENT_NOTE, layout.note);
    EnableControl(page, IDC_AGENT_ENABLE, layout.agentBoxEnabled);
    for (int id : kOptionControls) {
        ShowControl(page, id, layout.optionsShown);
    }
    ShowControl(page, IDC_AGENT_THRESHOLD, layout.optionsShown);
    ShowControl(page, IDC_AGENT_REMOVE, false);
    std::memset(shownRing_, 0, sizeof(shownRing_));
}

void AgentPage::Fill() {
    FillHistory(true);
    ApplyEnableRules();
}

void AgentPage::Activated() {
    SetTimer(window(), kHistoryTimer, kHistoryMs, nullptr);
}

void AgentPage::Read() {
    HWND page = window();
    KillTimer(page, kHistoryTimer);
    char reference[64];
    StoreAgentFields(AgentPageFields{ReadTrimmedText(page, IDC_AGENT_REFERENCE, reference, 63),
                                     ReadUnsigned(page, IDC_AGENT_INTERVAL),
                                     ReadUnsigned(page, IDC_AGENT_THRESHOLD),
                                     IsChecked(page, IDC_AGENT_ENABLE),
                                     IsChecked(page, IDC_AGENT_ALERT_UNVERIFIED),
                                     IsChecked(page, IDC_AGENT_ALERT_OFF)},
                     &Applet().settings);
}

void AgentPage::ShowGraph() {
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
    applet.graphWindow = OpenDriftGraph(AppletModule(), window(), true, false,
                                        CurrentEnvironment().systemFolder, path);
}

void AgentPage::ClearHistory() {
    HWND page = window();
    if (ShowMessage(page, MB_YESNO | MB_ICONQUESTION,
                    "Do you want to delete the synchronization history records? This will clear "
                    "the points in the graph, and clear the list of recently-used servers.\r\n") !=
        IDYES) {
        return;
    }
    ClearDriftFileOf(TargetOrNull());
    DeleteValue(kAgentKeyPath, kLastUsedTimeSourceValue);
    SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_RESETCONTENT, 0, 0);
    std::memset(shownRing_, 0, sizeof(shownRing_));
    ++lookups_; // a lookup on its way would bring the cleared lines back
    ApplyEnableRules();
}

void AgentPage::Command(int id, int code) {
    switch (id) {
    case IDC_AGENT_REFERENCE:
    case IDC_AGENT_INTERVAL:
    case IDC_AGENT_THRESHOLD:
        if (code == EN_UPDATE) {
            MarkChanged(ValueOfControl(id));
        }
        break;
    case IDC_AGENT_ALERT_UNVERIFIED:
        if (code == BN_CLICKED) {
            MarkChanged(ValueOfControl(id));
        }
        break;
    case IDC_AGENT_ALERT_OFF:
    case IDC_AGENT_ENABLE:
        if (code == BN_CLICKED) {
            MarkChanged(ValueOfControl(id));
            ApplyEnableRules();
        }
        break;
    case IDC_AGENT_SHOW_GRAPH:
        if (code == BN_CLICKED) {
            ShowGraph();
        }
        break;
    case IDC_AGENT_CLEAR_HISTORY:
        if (code == BN_CLICKED) {
            ClearHistory();
        }
        break;
    default:
        break;
    }
}

bool AgentPage::Message(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        if (wParam == kHistoryTimer && FillHistory(false)) {
            // The list has just got or lost its lines: "Clear History" follows.
            ApplyEnableRules();
        }
        return true;
    }
    if (message == kHistoryNamesMessage) {
        const HistoryLookup* lookup = TakePageWork<HistoryLookup>(lParam);
        if (lookup->sequence == lookups_) {
            ShowHistory(lookup->ring, lookup->names);
            ApplyEnableRules();
        }
        delete lookup;
        return true;
    }
    if (message == kGraphClosedMessage) {
        Applet().graphWindow = nullptr;
        return true;
    }
    return false;
}

} // namespace

INT_PTR CALLBACK AgentPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunPage(page, message, wParam, lParam,
                   [](HWND window) -> Page* { return new (std::nothrow) AgentPage(window); });
}
