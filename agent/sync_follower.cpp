#include "agent/sync_follower.h"

#include <cstdio>
#include <cstring>

const char kPartnerInitializing[] = "Unknown - Windows Time service initializing";
const char kPartnerChecking[] = "Checking sources - please wait";
const char kPartnerFailed[] = "Unknown - Windows Time synchronization failed";
const char kPartnerLost[] = "Unknown - Windows Time lost synchronization";
const char kPartnerStopped[] = "Unknown - Agent stopped";
const char kPartnerNotManaging[] = "N/A - Windows Time not managing the clock";

namespace {
// Unsynchronized polls after which the service's synchronization counts as failed.
constexpr uint32_t kFailedAfterPolls = 19;
} // namespace

bool IsSynchronized(const PolledState& state) {
    return state.lastSyncTime > kFileTime1900 && state.stratum > 1;
}

void FormatPartnerText(uint32_t refId, const char* hostName, uint32_t tsFlags, char* out,
                       size_t size) {
    uint8_t bytes[4];
    std::memcpy(bytes, &refId, sizeof(bytes));
    const char* suffix = tsFlags == 1 ? " [hardware]" : tsFlags == 2 ? " [authenticated]" : "";
    std::snprintf(out, size, "%u.%u.%u.%u (%s)%s", bytes[0], bytes[1], bytes[2], bytes[3],
                  hostName != nullptr && hostName[0] != '\0' ? hostName : "no name", suffix);
}

void PushLastUsedSource(uint8_t ring[kSourceRingSize], uint32_t refId, uint32_t time) {
    std::memmove(ring, ring + 8, kSourceRingSize - 8);
    std::memcpy(ring + kSourceRingSize - 8, &refId, 4);
    std::memcpy(ring + kSourceRingSize - 4, &time, 4);
}

void SyncFollower::SetStateText(const char* text) {
    host_.SetPartnerText(host_.ServiceManagesClock() ? text : kPartnerNotManaging);
}

void SyncFollower::Start(uint32_t now) {
    host_.SetPending(true);
    host_.SetPartnerText(kPartnerInitializing);
    if (host_.Active() && host_.RunCheck(0, kReasonStartup, false)) {
        lastCheckTime_ = now;
    }
}

void SyncFollower::TimeJumped() {
    SetStateText(kPartnerChecking);
    host_.SetPending(true);
    wasSynced_ = false;
    unsyncedPolls_ = 0;
    pendingReason_ = kReasonTriggered;
}

void SyncFollower::NewSynchronization(const PolledState& state) {
    host_.SetPending(false);
    host_.CountSyncEvent(true);
    const uint32_t syncTime = FileTimeToUnixSeconds(state.currentTime);
    lastRefId_ = state.refId;
    host_.NoteSynchronization(syncTime, state.refId);

    char hostName[256] = "";
    host_.LookUpPartner(state.refId, hostName, sizeof(hostName));
    char name[63];
    if (hostName[0] != '\0') {
        std::snprintf(name, sizeof(name), "%s", hostName);
    } else {
        uint8_t bytes[4];
        std::memcpy(bytes, &state.refId, sizeof(bytes));
        std::snprintf(name, sizeof(name), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    }
    host_.SetPartnerName(name);

    char text[512];
    FormatPartnerText(state.refId, hostName, state.tsFlags, text, sizeof(text));
    host_.SetPartnerText(text);
    host_.RecordLastUsedSource(state.refId, syncTime);

    if (host_.Active() && host_.RunCheck(syncTime, pendingReason_, true)) {
        lastCheckTime_ = syncTime;
    }
}

void SyncFollower::Poll(const PolledState& state) {
    const bool synced = IsSynchronized(state);
    if (synced != wasSynced_) {
        if (synced) {
            NewSynchronization(state);
        } else {
            SetStateText(kPartnerLost);
        }
        wasSynced_ = synced;
        unsyncedPolls_ = 0;
        pendingReason_ = kReasonScheduled;
        return;
    }
    if (!synced) {
        if (++unsyncedPolls_ == kFailedAfterPolls) {
            host_.SetPending(false);
            host_.CountSyncEvent(false);
            SetStateText(kPartnerFailed);
        }
    } else if (state.refId != lastRefId_) {
        NewSynchronization(state);
    }

    const uint32_t interval = host_.AgentPollInterval();
    const uint32_t now = FileTimeToUnixSeconds(state.currentTime);
    if (host_.Active() && interval != 0 && now >= lastCheckTime_ + interval) {
        lastCheckTime_ = now;
        host_.RunCheck(now, kReasonSyncCheck, false);
    }
}

void SyncFollower::Stop() {
    host_.SetPartnerText(kPartnerStopped);
}
