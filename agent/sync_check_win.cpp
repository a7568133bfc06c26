// The sync check: asks the reference clock, the recent partners and the configured servers in
// turn until one answers, records its verdict, offers it to the service as a time sample, and
// alerts when the clock is off by more than the threshold or cannot be verified at all.
#include "agent/agent_interfaces_win.h"

#include <cstdio>
#include <cstring>

#include "agent/agent_state_win.h"
#include "agent/sync_check.h"
#include "config/registry.h"
#include "config/registry_keys.h"
#include "history/drift_file_win.h"
#include "timesrc/ntp_query_win.h"
#include "timesrc/time_format.h"

namespace {

// Each source gets the engine's usual two seconds.
constexpr uint32_t kSourceTimeoutMs = 2000;

bool ShutdownRequested() {
    HANDLE shutdown = Agent().events[kShutdownEvent];
    return shutdown != nullptr && WaitForSingleObject(shutdown, 0) == WAIT_OBJECT_0;
}

void QueryService(TimeSysInfo info, void* out) {
    if (GetTimeSysInfoFunc* query = Agent().callbacks.pfnGetTimeSysInfo) {
        query(info, out);
    }
}

void PublishSample(const char* source, const SourceReading& reading, uint32_t inputProvider) {
    TimeSample sample{};
    sample.dwSize = sizeof(TimeSample);
    sample.dwRefid = SampleReferenceId(source);
    sample.toOffset = reading.offset;
    sample.toDelay = static_cast<int64_t>(SampleDelay(static_cast<uint32_t>(reading.delayMs)));
    sample.tpDispersion = 0;
    QueryService(TSI_TickCount, &sample.nSysTickCount);
    QueryService(TSI_PhaseOffset, &sample.nSysPhaseOffset);
    sample.nLeapFlags = 0;
    sample.nStratum = 2;
    sample.dwTSFlags = 2;
    if (MultiByteToWideChar(CP_ACP, 0, source, -1, sample.wszUniqueName, 256) == 0) {
        sample.wszUniqueName[255] = L'\0';
    }
    AgentState& agent = Agent();
    LockAgentShared();
    agent.lastSample = sample;
    agent.sampleAvailable = inputProvider != 0;
    UnlockAgentShared();
    // Tell the service a sample is waiting instead of leaving it to its next poll.
    if (inputProvider != 0 && agent.callbacks.pfnAlertSamplesAvail != nullptr) {
        agent.callbacks.pfnAlertSamplesAvail();
    }
}

} // namespace

bool VerifyAgainstSource(const char* source, uint32_t when, uint8_t reason, bool afterSync,
                         CheckOutcome* outcome) {
    RaiseThreadPriority(true);
    const SourceReading reading =
        QueryNtpSource(source, kSourceTimeoutMs, Agent().events[kShutdownEvent]);
    RaiseThreadPriority(false);
    if (!reading.ok) {
        return false;
    }
    const int64_t offsetMs = OffsetToMilliseconds(reading.offset);
    StatusAddOffset(offsetMs);

    const SettingsRecord settings = AgentSettingsCopy();
    if (Agent().active) {
        // A history that could not be opened at start (held by another program, read-only) is
        // taken up by the first check after the obstacle has gone; an open file stays in use.
        OpenDriftFile(nullptr);
        AppendDriftRecord(offsetMs, when != 0 ? when : UnixTimeNow(), afterSync ? 1 : 0,
                          static_cast<CheckReason>(reason), source, StatusRole());
    }
    PublishSample(source, reading, settings.agentInputProvider);
    if (outcome != nullptr) {
        outcome->completed = true;
        outcome->verified = true;
        outcome->offsetMs = offsetMs;
        std::snprintf(outcome->source, sizeof(outcome->source), "%s", source);
    }

    if (ExceedsAlertThreshold(offsetMs, settings.alertIfUnsynchronized, settings.alertThreshold)) {
        LogProviderEvent(kProductName, EVENTLOG_ERROR_TYPE,
                         "According to %s, the system clock is wrong by %s. This exceeds the alert "
                         "threshhold set in the Windows Time Control Panel applet.",
                         source, FormatMilliseconds(offsetMs));
    }
    return true;
}

bool CheckSystemClock(uint32_t when, uint8_t reason, bool afterSync, CheckOutcome* outcome) {
    const SettingsRecord settings = AgentSettingsCopy();
    if (outcome != nullptr) {
        *outcome = CheckOutcome{};
        outcome->thresholdMs = AlertThresholdMs(settings);
        outcome->warnUnverified = settings.alertIfUnverified != 0;
    }
    uint8_t ring[kSourceRingSize];
    ReadBinary(kAgentKey, kLastUsedTimeSourceValue, ring, sizeof(ring));
    static CheckSourceList sources; // agent thread only; 4.6 KB kept off its stack
    PlanCheckSources(settings.referenceClock, ring, settings, &sources);

    bool tried = false;
    for (size_t i = 0; i < sources.count; ++i) {
        // A check may walk 71 sources at two seconds each: a stop must not wait for that.
        if (ShutdownRequested()) {
            return false;
        }
        if (VerifyAgainstSource(sources.names[i], when, reason, afterSync, outcome)) {
            return true;
        }
        tried = true;
    }
    if (outcome != nullptr) {
        outcome->completed = !ShutdownRequested();
    }
    if (settings.alertIfUnverified != 0 && !ShutdownRequested()) {
        LogProviderEvent(kProductName, EVENTLOG_WARNING_TYPE,
                         "Unable to verify the system clock time; %s.", UnverifiedReason(tried));
    }
    return false;
}
