// Whether the Windows Time service follows a network source at all, judged from what the agent
// polls and loads, and the episodes of "synchronized with itself" that the agent reports once.
//
// Signatures, from the service's documented behaviour (what its status query shows as "Source"):
//
//   reference identifier "LOCL" (0x4C4F434C, the ASCII letters in network byte order), any
//   stratum (the service reports stratum 1 for it)
//       -> "Local CMOS Clock": the service serves its own hardware clock, as it does when it is
//          set up as a reliable source with no peer, or falls back to the local clock.
//   reference identifier "VINC" (0x56494E43)
//       -> "VM IC Time Synchronization Provider": the virtual machine's host, through the
//          hypervisor's integration time provider, not a network server.
//   stratum 0, reference identifier 0, or no synchronization ever (last sync time at or before
//   1 January 1900)
//       -> "Free-running System Clock": the service has no source and lets the clock run.
//   anything else
//       -> a network source (its reference identifier is the partner's IPv4 address).
//
// Each of these is only a finding when the service is meant to follow network sources: its type
// is NTP, NT5DS or AllSync. With NoSync (or a type the service does not know) a local source is
// what was asked for.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ClaimedSource : uint8_t {
    kNetwork,
    kLocalCmosClock,
    kFreeRunning,
    kVirtualMachineHost,
};

// What the agent knows of the service: the polled reference identifier (network byte order, as
// GetTimeSysInfo gives it), stratum and last sync time (file time), and the loaded "Type"
// (the SyncType codes of the settings).
struct ServiceSourceFacts {
    uint32_t refId;
    uint8_t stratum;
    uint64_t lastSyncTime;
    uint32_t syncType;
};

// Whether a "Type" (the SyncType codes) asks the service to follow network sources: NTP, NT5DS
// or AllSync.
bool ExpectsNetworkSources(uint32_t syncType);

struct SourceVerdict {
    ClaimedSource source;
    bool followsNoNetworkSource; // a local source while the type asks for network ones
    const char* claimedText;     // the source in the service's own words, or "a network source"
};

SourceVerdict JudgeTimeSource(const ServiceSourceFacts& facts);

// The same judgement from the status record's partner text alone, as the management client sees
// it: the agent writes the partner's reference identifier as a dotted address ("76.79.67.76" for
// "LOCL"). Only the identifiers above are recognised; the type is not known there.
ClaimedSource ClaimedSourceFromPartner(const char* partnerName);
const char* ClaimedSourceText(ClaimedSource source);

// What the status record (request 200) tells of the service's source: its partner is a local or
// host identifier, or the agent has seen no synchronization in the minute since it started (the
// service then runs on its local clock at stratum 1, which the agent does not count as
// synchronized, or has no source at all). Times in seconds since 1970.
struct StatusSourceVerdict {
    bool followsNoNetworkSource;
    const char* claimedText; // the source in words
};
StatusSourceVerdict JudgeStatusRecordSource(const char* partnerName, uint32_t lastSyncTime,
                                            uint32_t agentStartTime, uint32_t now);

// The outcome of one sync check as the episode needs it.
struct CheckOutcome {
    bool completed;       // the check walked to its end (a stop can cut it short)
    bool verified;        // a source answered
    int64_t offsetMs;     // when verified: reference minus local clock
    char source[64];      // the source that answered
    uint32_t thresholdMs; // the alert threshold; 0: no alert for a clock that is off
    bool warnUnverified;  // "Alert if Unverified" is set
};

enum class SelfSyncEvent : uint8_t { kNone, kWarn, kRecovered };

// One episode of "synchronized with itself" at a time: it opens with a warning at the first
// completed check that either finds the clock off by more than the threshold or (when warnings of
// an unverified clock are on) cannot verify it, while the service follows no network source; and
// closes with one recovery event when the service's source is a network one again.
class SelfSyncWatch {
public:
    // After each check.
    SelfSyncEvent OnCheck(const SourceVerdict& verdict, const CheckOutcome& outcome);
    // At each poll of the service's state.
    SelfSyncEvent OnPoll(const SourceVerdict& verdict);
    bool inEpisode() const { return inEpisode_; }

private:
    bool inEpisode_ = false;
};

// The warning: "Windows Time is set to follow network time servers, but its source is Local CMOS
// Clock. The agent measured the clock 3 seconds, 12 milliseconds slow against 127.0.0.1, more
// than the alert threshold." or, unverified, "... The agent could not verify the clock against
// any source."
void FormatSelfSyncWarning(const SourceVerdict& verdict, const CheckOutcome& outcome, char* out,
                           size_t size);
// The recovery: "Windows Time follows a network time source again (partner A.B.C.D)."
void FormatSelfSyncRecovery(uint32_t refId, char* out, size_t size);

// Identifiers of the agent's added events. The service's event callback takes a type and a text
// only, so the agent ends these texts with " (Horologix event N)" for filters to find.
constexpr uint16_t kEventSelfSyncWarning = 2301;
constexpr uint16_t kEventSelfSyncRecovered = 2302;
constexpr uint16_t kEventDriftWarning = 2303;
