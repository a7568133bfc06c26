// The agent thread: follows the Windows Time service once a second, serves the management
// socket, hands the port over to a family service, and asks the service for demand syncs.
#include "agent/agent_state_win.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/agent_interfaces_win.h"
#include "agent/poll_clock.h"
#include "agent/sync_check.h"
#include "agent/sync_follower.h"
#include "agent/time_source_judge.h"
#include "config/registry.h"
#include "config/service_control_win.h"
#include "config/registry_keys.h"
#include "history/drift_trend.h"

namespace {

constexpr DWORD kPollMs = 1000;
constexpr WCHAR kProviderNameW[] = L"Horologix";

// Milliseconds from the tick count, carried past its 49.7-day wrap; the agent thread's own.
uint64_t ThreadMilliseconds() {
    static DWORD last = 0;
    static uint64_t high = 0;
    const DWORD now = GetTickCount();
    if (now < last) {
        high += 1ull << 32;
    }
    last = now;
    return high | now;
}

void WINAPI FreeProviderStatus(SetProviderStatusInfo* info) {
    if (info != nullptr) {
        LocalFree(info->pHr);
        LocalFree(info->pdwSysStratum);
        LocalFree(info);
    }
}

void AnnounceRunning() {
    AgentState& agent = Agent();
    if (agent.callbacks.pfnSetProviderStatus == nullptr) {
        return;
    }
    auto* info =
        static_cast<SetProviderStatusInfo*>(LocalAlloc(LPTR, sizeof(SetProviderStatusInfo)));
    auto* result = static_cast<HRESULT*>(LocalAlloc(LPTR, sizeof(HRESULT)));
    auto* stratum = static_cast<DWORD*>(LocalAlloc(LPTR, sizeof(DWORD)));
    if (info == nullptr || result == nullptr || stratum == nullptr) {
        LocalFree(info);
        LocalFree(result);
        LocalFree(stratum);
        return;
    }
    info->tpsCurrentState = TPS_Running;
    info->dwStratum = 4;
    info->wszProvName = const_cast<LPWSTR>(kProviderNameW);
    info->hWaitEvent = nullptr;
    info->pfnFree = FreeProviderStatus;
    info->pHr = result;
    info->pdwSysStratum = stratum;
    agent.callbacks.pfnSetProviderStatus(info);
}

PolledState PollService() {
    PolledState state{};
    GetTimeSysInfoFunc* query = Agent().callbacks.pfnGetTimeSysInfo;
    if (query != nullptr) {
        query(TSI_CurrentTime, &state.currentTime);
        query(TSI_LastSyncTime, &state.lastSyncTime);
        query(TSI_TSFlags, &state.tsFlags);
        query(TSI_ReferenceIdentifier, &state.refId);
        query(TSI_Stratum, &state.stratum);
    }
    return state;
}

void SelectReadReadiness(bool enable) {
    AgentState& agent = Agent();
    if (agent.responderSocket != INVALID_SOCKET) {
        WSAEventSelect(agent.responderSocket, enable ? agent.events[kClientEvent] : nullptr,
                       enable ? FD_READ : 0);
    }
}

// Hours ahead within which a predicted crossing of the alert threshold is worth a warning.
uint32_t DriftWarningHours() {
    uint32_t type = 0;
    uint32_t size = 0;
    const bool present = QueryValueForm(kAgentKey, kDriftWarningHoursValue, &type, &size);
    const bool isNumber = present && type == kRegNumber && size == 4;
    return EffectiveDriftWarningHours(
        present, isNumber, isNumber ? ReadNumber(kAgentKey, kDriftWarningHoursValue, 0) : 0);
}

void LogAddedEvent(WORD type, uint16_t id, const char* text) {
    LogProviderEvent(kProductName, type, "%s (Horologix event %u)", text,
                     static_cast<unsigned>(id));
}

// What the agent says beyond the specified alerts: a service synchronized with itself, and a
// drift heading for the alert threshold.
class AgentWatches {
public:
    void NotePoll(const PolledState& state) {
        polled_ = state;
        havePoll_ = true;
        if (watch_.OnPoll(Verdict()) == SelfSyncEvent::kRecovered) {
            char text[256];
            FormatSelfSyncRecovery(state.refId, text, sizeof(text));
            LogAddedEvent(EVENTLOG_INFORMATION_TYPE, kEventSelfSyncRecovered, text);
        }
    }

    void AfterCheck(const CheckOutcome& outcome) {
        if (havePoll_ && watch_.OnCheck(Verdict(), outcome) == SelfSyncEvent::kWarn) {
            char text[400];
            FormatSelfSyncWarning(Verdict(), outcome, text, sizeof(text));
            LogAddedEvent(EVENTLOG_WARNING_TYPE, kEventSelfSyncWarning, text);
        }
        if (outcome.verified && outcome.thresholdMs != 0) {
            WatchDrift(outcome);
        }
    }

private:
    SourceVerdict Verdict() const {
        return JudgeTimeSource(ServiceSourceFacts{
            polled_.refId, polled_.stratum, polled_.lastSyncTime, AgentSettingsCopy().syncType});
    }

    void WatchDrift(const CheckOutcome& outcome) {
        const uint32_t horizon = DriftWarningHours();
        if (horizon == 0) {
            return;
        }
        records_.resize(kDriftMaxRecords);
        const size_t count = ReadNewestDriftRecords(records_.data(), records_.size());
        DriftTrendOptions options;
        options.thresholdMs = outcome.thresholdMs;
        const DriftTrend trend = AnalyzeDriftTrend(records_.data(), count, options);
        const int64_t now = UnixTimeNow();
        if (DecideDriftWarning(&drift_, trend, now, horizon)) {
            char text[400];
            FormatDriftWarning(trend, now, outcome.thresholdMs, outcome.source, text, sizeof(text));
            LogAddedEvent(EVENTLOG_WARNING_TYPE, kEventDriftWarning, text);
        }
    }

    PolledState polled_{};
    bool havePoll_ = false;
    SelfSyncWatch watch_;
    DriftWarningState drift_{};
    std::vector<DriftRecord> records_;
};

class AgentFollowerHost final : public FollowerHost {
public:
    explicit AgentFollowerHost(AgentWatches& watches) : watches_(watches) {}

    void SetPartnerText(const char* text) override {
        WriteString(kAgentKey, kCurrentPartnerValue, text);
    }
    bool ServiceManagesClock() override {
        const SettingsRecord settings = AgentSettingsCopy();
        return settings.ntpClientEnabled != 0 && settings.ntpClientInputProvider != 0 &&
               settings.syncType != kSyncNoSync;
    }
    bool Active() override { return Agent().active != 0; }
    uint32_t AgentPollInterval() override { return AgentSettingsCopy().agentPollInterval; }
    void SetPending(bool pending) override { StatusSetPending(pending); }
    void CountSyncEvent(bool success) override { StatusCountSync(success); }
    void NoteSynchronization(uint32_t lastSyncTime, uint32_t) override {
        StatusNoteSync(lastSyncTime);
    }
    void LookUpPartner(uint32_t refId, char* name, size_t size) override {
        name[0] = '\0';
        if (AgentSettingsCopy().dnsLookups == 0) {
            return;
        }
        in_addr address;
        address.s_addr = refId;
        if (const hostent* host =
                gethostbyaddr(reinterpret_cast<const char*>(&address), sizeof(address), AF_INET)) {
            if (host->h_name != nullptr) {
                std::snprintf(name, size, "%s", host->h_name);
            }
        }
    }
    void SetPartnerName(const char* name) override { StatusSetPartnerName(name); }
    void RecordLastUsedSource(uint32_t refId, uint32_t time) override {
        ::RecordLastUsedSource(refId, time);
    }
    bool RunCheck(uint32_t when, uint8_t reason, bool afterSync) override {
        CheckOutcome outcome;
        const bool verified = CheckSystemClock(when, reason, afterSync, &outcome);
        watches_.AfterCheck(outcome);
        return verified;
    }

private:
    AgentWatches& watches_;
};

// Follows the family's sync-status block after a notify pulse, or (polled) at the once-a-second
// look. The look only acts on a holder's coming and going: an agent whose management port some
// other program holds would otherwise retry the bind (1.5 s of this thread) and log its failure
// every second.
void OnNotify(bool polled) {
    AgentState& agent = Agent();
    if (!SyncStatusMapped()) {
        return;
    }
    const bool ownerPresent = SyncStatusOwnerPresent();
    if (ownerPresent && agent.active) {
        SelectReadReadiness(false);
        CloseResponder();
        InterlockedExchange(&agent.active, 0);
        agent.standingAside = true;
    } else if (ownerPresent) {
        agent.standingAside = true;
    } else if (!agent.active && (agent.standingAside || !polled)) {
        agent.standingAside = false;
        const bool opened = OpenResponder();
        InterlockedExchange(&agent.active, opened ? 1 : 0);
        SelectReadReadiness(opened);
    }
}

} // namespace

void RecordLastUsedSource(DWORD refId, DWORD time) {
    uint8_t ring[kSourceRingSize];
    ReadBinary(kAgentKey, kLastUsedTimeSourceValue, ring, sizeof(ring));
    PushLastUsedSource(ring, refId, time);
    WriteBinary(kAgentKey, kLastUsedTimeSourceValue, ring, sizeof(ring));
}

DWORD WINAPI AgentThreadMain(LPVOID) {
    AgentState& agent = Agent();
    if (AgentSettingsCopy().agentInputProvider != 0) {
        AnnounceRunning();
    }
    AgentWatches watches;
    watches.NotePoll(PollService());
    AgentFollowerHost host(watches);
    SyncFollower follower(host);
    const uint32_t started = UnixTimeNow();
    StatusMarkThreadStart(started);
    follower.Start(started);
    if (agent.active) {
        SelectReadReadiness(true);
    }

    // The poll keeps its beat whatever else wakes the thread: a stream of requests signals the
    // socket's event at every wait and would otherwise hold the poll back for as long as it lasts.
    PollClock poll(ThreadMilliseconds(), kPollMs);
    for (;;) {
        const DWORD result = WaitForMultipleObjectsEx(kAgentEventCount, agent.events, FALSE,
                                                      poll.WaitMs(ThreadMilliseconds()), TRUE);
        if (result == WAIT_OBJECT_0 + kShutdownEvent) {
            break;
        }
        switch (result) {
        case WAIT_OBJECT_0 + kSyncEvent:
            if (TriggerDemandSync(nullptr, FALSE, 1) == 0) {
                follower.DemandSyncAccepted();
            } else {
                LogProviderEvent(kProductName, EVENTLOG_ERROR_TYPE,
                                 "Attempt to trigger a demand clock sync failed");
            }
            break;
        case WAIT_OBJECT_0 + kTimeJumpEvent:
            follower.TimeJumped();
            break;
        case WAIT_OBJECT_0 + kClientEvent:
            if (agent.active) {
                HandleManagementRequest(agent.responderSocket);
                SelectReadReadiness(true);
            }
            break;
        case WAIT_OBJECT_0 + kNotifyEvent:
            OnNotify(false);
            break;
        case WAIT_TIMEOUT:
            break;
        default:
            // An I/O completion or a failed wait: wait again. A failing wait must not spin.
            if (result == WAIT_FAILED) {
                Sleep(100);
            }
            break;
        }
        if (poll.Due(ThreadMilliseconds())) {
            // Holders pulse the notify event, and a pulse that comes while this thread is busy
            // (a check can take seconds) is lost: look at the block once a second as well.
            OnNotify(true);
            const PolledState state = PollService();
            watches.NotePoll(state);
            follower.Poll(state);
            poll.Polled(ThreadMilliseconds());
        }
    }

    follower.Stop();
    if (agent.active) {
        SelectReadReadiness(false);
    }
    StatusMarkThreadEnd();
    return 0;
}
