// The decisions of a sync check that need no system: which sources to ask and in what order,
// how a reading becomes a variance, when it is worth an alert, and the texts of the warnings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent/sync_follower.h"
#include "config/settings.h"

// A reference clock, up to 64 distinct ring partners and six servers.
constexpr size_t kMaxCheckSources = 1 + kSourceRingEntries + kMaxTimeServers;

struct CheckSourceList {
    size_t count;
    char names[kMaxCheckSources][64];
};

// The sources of one check, in the order they are asked: the reference clock when set; the
// "Last Used Time Source" ring from the newest entry to the oldest, each address once, empty
// entries skipped; then the non-empty names of the first serverCount servers. The reference
// clock and the servers are not compared with the ring or each other.
void PlanCheckSources(const char* referenceClock, const uint8_t ring[kSourceRingSize],
                      const SettingsRecord& settings, CheckSourceList* out);

// The variance in milliseconds of an offset in 100 ns units, truncated toward zero
// (-1,999,999 units is -199 ms); positive when the local clock is behind the source.
int64_t OffsetToMilliseconds(int64_t offset);

// Whether a variance is worth the "clock is wrong" alert: alerts enabled, a threshold set, and
// the variance strictly beyond threshold seconds in either direction.
bool ExceedsAlertThreshold(int64_t varianceMs, uint32_t alertIfUnsynchronized,
                           uint32_t thresholdSeconds);

// The threshold beyond which a variance is alerted, in milliseconds; 0 when no alert is raised
// (alerts off or no threshold).
uint32_t AlertThresholdMs(const SettingsRecord& settings);

// The reason inserted into "Unable to verify the system clock time; %s.".
const char* UnverifiedReason(bool anySourceTried);

// A sample's reference identifier: the source as a dotted IPv4 address in network byte order,
// or all bits set when it is a name.
uint32_t SampleReferenceId(const char* source);
// The sample's delay: delayMs x 10,000 as a 32-bit product, zero-extended.
uint64_t SampleDelay(uint32_t delayMs);
