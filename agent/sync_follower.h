// Following the Windows Time service's synchronization state: the decisions the agent thread
// takes at each once-a-second poll, on a time jump and at start and end, free of system calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "history/drift_record.h"

#include "timesrc/clock_math.h"

// The service's state as polled through GetTimeSysInfo.
struct PolledState {
    uint64_t currentTime;  // file time
    uint64_t lastSyncTime; // file time; 0, or any time up to kFileTime1900, when never
    uint32_t tsFlags;      // 1 hardware, 2 authenticated
    uint32_t refId;        // partner's IPv4 address in network byte order
    uint8_t stratum;
};

// Synchronized: a real last sync time and a stratum above 1.
bool IsSynchronized(const PolledState& state);

// The "Current Inbound Time Partner" texts.
extern const char kPartnerInitializing[];
extern const char kPartnerChecking[];
extern const char kPartnerFailed[];
extern const char kPartnerLost[];
extern const char kPartnerStopped[];
extern const char kPartnerNotManaging[];

// "%s (%s)%s": dotted address, host name or "no name", and " [hardware]" or " [authenticated]".
void FormatPartnerText(uint32_t refId, const char* hostName, uint32_t tsFlags, char* out,
                       size_t size);

// "Last Used Time Source": 64 entries of {reference id as given, seconds since 1970 (host
// order)}, oldest first. Drops the oldest entry and appends the new one.
constexpr size_t kSourceRingEntries = 64;
constexpr size_t kSourceRingSize = kSourceRingEntries * 8;
void PushLastUsedSource(uint8_t ring[kSourceRingSize], uint32_t refId, uint32_t time);

// What the follower needs from the agent around it.
class FollowerHost {
public:
    virtual void SetPartnerText(const char* text) = 0;
    // Whether the Windows Time service disciplines the clock at all (its NTP client is enabled
    // as input provider and the mode is not NoSync).
    virtual bool ServiceManagesClock() = 0;
    virtual bool Active() = 0;
    virtual uint32_t AgentPollInterval() = 0;
    // Status-block bookkeeping.
    virtual void SetPending(bool pending) = 0;
    virtual void CountSyncEvent(bool success) = 0;
    virtual void NoteSynchronization(uint32_t lastSyncTime, uint32_t refId) = 0;
    // Host name of the partner when reverse lookups are enabled and one is found, else "".
    virtual void LookUpPartner(uint32_t refId, char* name, size_t size) = 0;
    virtual void SetPartnerName(const char* name) = 0;
    virtual void RecordLastUsedSource(uint32_t refId, uint32_t time) = 0;
    // Runs a sync check; true when a source verified the clock.
    virtual bool RunCheck(uint32_t when, uint8_t reason, bool afterSync) = 0;

protected:
    ~FollowerHost() = default;
};

class SyncFollower {
public:
    explicit SyncFollower(FollowerHost& host) : host_(host) {}

    // Thread start: pending, the initializing text, and the start-up check when active.
    void Start(uint32_t now);
    // One poll of the service's state (each one-second time-out of the loop).
    void Poll(const PolledState& state);
    // The service reported a clock jump.
    void TimeJumped();
    // The service accepted a demand synchronization asked for by a management tool.
    void DemandSyncAccepted() { pendingReason_ = kReasonControlPanel; }
    // Thread end.
    void Stop();

    bool wasSynced() const { return wasSynced_; }
    uint32_t unsyncedPolls() const { return unsyncedPolls_; }
    uint32_t lastRefId() const { return lastRefId_; }
    CheckReason pendingReason() const { return pendingReason_; }
    uint32_t lastCheckTime() const { return lastCheckTime_; }

private:
    void NewSynchronization(const PolledState& state);
    void SetStateText(const char* text);

    FollowerHost& host_;
    bool wasSynced_ = false;
    uint32_t unsyncedPolls_ = 0;
    uint32_t lastRefId_ = 0xFFFFFFFFu;
    CheckReason pendingReason_ = kReasonScheduled;
    uint32_t lastCheckTime_ = 0;
};
