#include "applet/client_status_win.h"

#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "applet/applet_state_win.h"
#include "applet/client_rules.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "common/error_text.h"
#include "common/remote_machine_win.h"
#include "common/text_trim.h"
#include "config/registry.h"
#include "config/registry_keys.h"
#include "config/service_control_win.h"
#include "config/settings.h"
#include "resources/resource.h"
#include "timesrc/ntp_query_win.h"

const int kServerEditIds[kClientRows] = {IDC_SERVER_EDIT_1, IDC_SERVER_EDIT_2, IDC_SERVER_EDIT_3,
                                         IDC_SERVER_EDIT_4, IDC_SERVER_EDIT_5, IDC_SERVER_EDIT_6};
const int kServerModeIds[kClientRows] = {IDC_SERVER_MODE_1, IDC_SERVER_MODE_2, IDC_SERVER_MODE_3,
                                         IDC_SERVER_MODE_4, IDC_SERVER_MODE_5, IDC_SERVER_MODE_6};
const int kVarianceIds[kClientRows] = {IDC_VARIANCE_1, IDC_VARIANCE_2, IDC_VARIANCE_3,
                                       IDC_VARIANCE_4, IDC_VARIANCE_5, IDC_VARIANCE_6};
const int kStratumIds[kClientRows] = {IDC_STRATUM_1, IDC_STRATUM_2, IDC_STRATUM_3,
                                      IDC_STRATUM_4, IDC_STRATUM_5, IDC_STRATUM_6};

namespace {

// The Client page as the status thread sees it. attached turns 0 when the page is destroyed;
// the thread tests it before every window call, so it never writes into a window of a page that
// has gone (a call racing the destruction reaches a dead handle, which the system refuses).
struct StatusPage {
    volatile LONG attached;
    HWND page;
    HWND edits[kClientRows];
    HWND variances[kClientRows];
    HWND stratums[kClientRows];
    HWND icon;
    HWND line;
    volatile LONG serviceRunning;
    volatile LONG syncPending;
};

StatusPage g_page{};
// The resources of the running status thread: its own reference, so fonts and icons live as
// long as it may use them.
SheetResources* g_statusResources = nullptr;

// The variance text; its one buffer belongs to the status thread, which alone calls this.
const char* FormatVariance(int64_t ms) {
    static char text[32];
    return FormatVarianceInto(ms, text, sizeof(text));
}

bool PageAttached() {
    return InterlockedCompareExchange(&g_page.attached, 0, 0) != 0;
}

bool Usable(const SheetResources* resources) {
    return PageAttached() && resources != nullptr && resources->windowsOpen != 0;
}

bool Stopped(const SheetResources* resources) {
    return !Usable(resources) || WaitForSingleObject(resources->stopEvent, 0) == WAIT_OBJECT_0;
}

void SetText(const SheetResources* resources, HWND control, const char* text) {
    if (Usable(resources)) {
        SetTextIfDifferent(control, text);
    }
}

void SetFont(const SheetResources* resources, HWND control, HFONT font) {
    if (Usable(resources)) {
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

// The target machine's clock against the local one: 0 for this machine; otherwise its NTP
// server's answer, else its remote time of day. False when neither answers.
bool MachineOffset(const SheetResources* resources, int64_t* offset) {
    *offset = 0;
    if (!TargetIsRemote()) {
        return true;
    }
    const char* machine = Applet().targetMachine;
    const SourceReading reading =
        QueryNtpSource(machine, kStatusQueryTimeoutMs, resources->stopEvent);
    if (reading.ok) {
        *offset = reading.offset;
        return true;
    }
    if (RemoteTimeOfDay(machine, offset)) {
        return true;
    }
    *offset = 0;
    return false;
}

// Looks at the target's time service (the service manager, remotely for a remote target) and
// has the page decide its "Sync Now" button on its own thread.
void ReportServiceState(const SheetResources* resources, HWND page) {
    NoteTimeServiceRunning(
        ControlTimeService(nullptr, TargetOrNull(), kTimeServiceIsRunning, false));
    if (Usable(resources)) {
        SendMessageTimeoutA(page, kSyncNowStateMessage, 0, 0, SMTO_NORMAL, kStatusPeriodMs,
                            nullptr);
    }
}

} // namespace

void NoteTimeServiceRunning(bool running) {
    InterlockedExchange(&g_page.serviceRunning, running ? 1 : 0);
}

void NoteSyncPending() {
    InterlockedExchange(&g_page.syncPending, 1);
}

void AttachClientPage(HWND page) {
    g_page = StatusPage{};
    g_page.page = page;
    for (int i = 0; i < kClientRows; ++i) {
        g_page.edits[i] = GetDlgItem(page, kServerEditIds[i]);
        g_page.variances[i] = GetDlgItem(page, kVarianceIds[i]);
        g_page.stratums[i] = GetDlgItem(page, kStratumIds[i]);
    }
    g_page.icon = GetDlgItem(page, IDC_STATUS_ICON);
    g_page.line = GetDlgItem(page, IDC_STATUS_LINE);
    InterlockedExchange(&g_page.attached, 1);
    AppletState& applet = Applet();
    applet.clientPage = page;
    if (applet.statusThread != nullptr) {
        ResumeThread(applet.statusThread);
    }
}

void DetachClientPage(HWND page) {
    if (g_page.page != page) {
        return;
    }
    InterlockedExchange(&g_page.attached, 0);
    AppletState& applet = Applet();
    applet.clientPage = nullptr;
    // The sheet is closing: a pass in flight ends at its next check instead of running on.
    if (applet.sheet != nullptr) {
        SetEvent(applet.sheet->stopEvent);
    }
}

void RequestStatusCheck() {
    if (const SheetResources* resources = Applet().sheet) {
        SetEvent(resources->checkNowEvent);
    }
}

DWORD SyncStatusThread(SheetResources* resources) {
    g_statusResources = resources;
    const HANDLE events[2] = {resources->stopEvent, resources->checkNowEvent};
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, kStatusPeriodMs);
        if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_TIMEOUT) {
            break; // the stop event, or the wait failed
        }
        if (!Usable(resources)) {
            continue;
        }
        const HWND page = g_page.page;
        ReportServiceState(resources, page);
        CheckSyncStatus(page);
        ReportServiceState(resources, page);
        if (Applet().targetOs > kOsWin2000) {
            UpdateTimePartner(page);
        }
    }
    g_statusResources = nullptr;
    return 0;
}

int CheckSyncStatus(HWND page) {
    const SheetResources* resources = g_statusResources;
    if (page == nullptr || page != g_page.page || Stopped(resources)) {
        return 1;
    }
    SetText(resources, g_page.line, "Checking synchronization status....");
    int64_t machineOffset = 0;
    const bool machineKnown = MachineOffset(resources, &machineOffset);

    uint64_t sum = 0;
    uint32_t answered = 0;
    for (int i = 0; i < kClientRows; ++i) {
        if (Stopped(resources)) {
            return 1;
        }
        HWND variance = g_page.variances[i];
        HWND stratum = g_page.stratums[i];
        // Disabled while its server edit has the focus: the user is typing there.
        if (variance == nullptr || !IsWindowEnabled(variance)) {
            continue;
        }
        char name[255] = "";
        GetWindowTextA(g_page.edits[i], name, sizeof(name));
        TrimWhitespace(name);
        const bool named = name[0] != '\0';
        SetFont(resources, variance, resources->boldFont);
        SetFont(resources, stratum, resources->boldFont);
        SetText(resources, variance, named ? "Checking" : "");
        SetText(resources, stratum, named ? "?" : "");
        if (named) {
            const SourceReading reading =
                QueryNtpSource(name, kStatusQueryTimeoutMs, resources->stopEvent);
            const int socketError = WSAGetLastError();
            if (Stopped(resources)) {
                return 1;
            }
            char text[64];
            char stratumText[8] = "-";
            if (reading.ok) {
                const int64_t difference = reading.offset - machineOffset;
                std::snprintf(text, sizeof(text), "%s%s",
                              FormatVariance(VarianceMs(reading.offset, machineOffset)),
                              machineKnown ? "" : " ???");
                sum += static_cast<uint64_t>(difference < 0 ? -difference : difference);
                ++answered;
                std::snprintf(stratumText, sizeof(stratumText), "%u", reading.reply[1]);
            } else if (reading.error == kErrorInvalidTime) {
                std::snprintf(text, sizeof(text), "Clock Not Set");
            } else {
                std::snprintf(text, sizeof(text), "%s", ShortSocketErrorText(socketError));
            }
            if (WaitForSingleObject(resources->stopEvent, kStatusRowPauseMs) == WAIT_OBJECT_0) {
                return 1;
            }
            SetText(resources, variance, text);
            SetText(resources, stratum, stratumText);
        }
        SetFont(resources, variance, resources->normalFont);
        SetFont(resources, stratum, resources->normalFont);
    }

    const StatusVerdict verdict = JudgeSyncStatus(answered, sum, machineKnown);
    if (Usable(resources)) {
        SendMessageA(g_page.icon, STM_SETICON,
                     reinterpret_cast<WPARAM>(resources->icons[verdict.icon]), 0);
    }
    SetText(resources, g_page.line, verdict.line);
    return 1;
}

int ClientStatusIcon() {
    const SheetResources* resources = Applet().sheet;
    if (!PageAttached() || resources == nullptr) {
        return kVerdictUnknown;
    }
    const auto shown = reinterpret_cast<HICON>(SendMessageA(g_page.icon, STM_GETICON, 0, 0));
    for (int i = 0; i < kStatusIconCount; ++i) {
        if (shown != nullptr && shown == resources->icons[i]) {
            return i;
        }
    }
    return kVerdictUnknown;
}

void UpdateTimePartner(HWND page) {
    if (page == nullptr || !PageAttached() || page != g_page.page) {
        return;
    }
    const SettingsRecord& settings = Applet().settings;
    char text[256];
    if (settings.agentFilePresent == 0) {
        std::snprintf(text, sizeof(text), "Unknown - Agent applet not present");
    } else if (settings.agentInstalled == 0) {
        std::snprintf(text, sizeof(text), "Unknown - Agent applet not installed");
    } else if (settings.agentEnabled != 0) {
        ReadString(kAgentKeyPath, kCurrentPartnerValue, text, 255, "Unknown: no record");
    } else {
        std::snprintf(text, sizeof(text), "Unknown - Agent disabled");
    }
    if (PageAttached()) {
        SetDlgItemTextIfDifferent(page, IDC_TIME_SOURCE, text);
        InterlockedExchange(&g_page.syncPending, 0);
    }
}

void UpdateSyncNowButton(HWND page) {
    if (page == nullptr || !PageAttached() || page != g_page.page) {
        return;
    }
    // Only the two options that leave nothing to synchronize matter here.
    const int option = IsChecked(page, IDC_CLIENT_DISABLED) ? kClientDisabled
                       : IsChecked(page, IDC_CLIENT_NOSYNC) ? kClientNoSync
                                                            : kClientNone;
    const bool allowed =
        SyncNowAllowed(InterlockedCompareExchange(&g_page.serviceRunning, 0, 0) != 0, option,
                       InterlockedCompareExchange(&g_page.syncPending, 0, 0) != 0);
    EnableControl(page, IDC_SYNC_NOW, allowed);
}
