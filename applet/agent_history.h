// The Agent page's decisions free of system calls: the lines of its history list from the
// agent's ring of recently used sources, the check interval shown in minutes, its notes and
// which controls the user may change.
#pragma once

#include <cstddef>
#include <cstdint>

#include "timesrc/time_format.h"

// The ring: 64 slots of 8 bytes, oldest first; each a reference identifier as the Windows Time
// service gave it (an IPv4 address in network byte order) and the time it became the partner
// (seconds since 1970, little-endian).
constexpr size_t kRingSlots = 64;
constexpr size_t kRingBytes = kRingSlots * 8;

struct RingSlot {
    uint32_t address;
    uint32_t time;
};
// Slot 0 .. 63 of the ring; false for an empty slot (identifier or time 0).
bool ReadRingSlot(const uint8_t ring[kRingBytes], size_t slot, RingSlot* out);

// "%02d %s %04d %02d:%02d:%02d\t%s\t%s": day, English month abbreviation, year, time, the
// dotted address ("Unknown" for 0 and all bits set) and the host name ("" for none).
void FormatHistoryLine(const CalendarTime& local, uint32_t address, const char* hostName, char* out,
                       size_t size);

// The check interval: stored in seconds, shown in whole minutes. Minutes that would not fit in
// 32 bits of seconds store the largest whole number of minutes that does.
uint32_t IntervalMinutes(uint32_t seconds);
uint32_t IntervalSeconds(uint32_t minutes);

// Note 2283 with and without a product of the family installed.
extern const char kAgentFamilyNote[];
extern const char kAgentOverrideNote[];

// Which of the page's controls are enabled, from the two check boxes and the list.
struct AgentEnableRules {
    bool options;   // server, interval, both alert boxes and their labels
    bool threshold; // the threshold edit
    bool clear;     // "Clear History"
};
AgentEnableRules AgentControlsEnabled(bool agentTicked, bool alertTicked, size_t listLines);
