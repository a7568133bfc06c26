// The name and state of the local time zone for status records: the decision over the system's
// answer, apart from the call that asks for it.
#pragma once

#include <cstddef>
#include <cstdint>

// The zone state reported in status records.
constexpr uint32_t kZoneStateNone = 0;
constexpr uint32_t kZoneStateDaylight = 1;
constexpr uint32_t kZoneStateStandard = 2;

// The system's answer to the time-zone query.
constexpr uint32_t kZoneAnswerUnknown = 0; // no daylight-saving rules known
constexpr uint32_t kZoneAnswerStandard = 1;
constexpr uint32_t kZoneAnswerDaylight = 2;
constexpr uint32_t kZoneAnswerFailed = 0xFFFFFFFF;

constexpr size_t kZoneNameFieldSize = 32;

enum class ZoneName { kNone, kStandard, kDaylight };

struct ZoneChoice {
    uint32_t state;
    ZoneName name;
};

// Which state to report and which of the zone's names to show, from the system's answer. A zone
// without daylight-saving rules counts as standard time on the NT platform and as no state on
// Windows 9x.
ZoneChoice ChooseZoneName(uint32_t answer, bool isNT);

// Stores an ANSI zone name into a 32-byte field: zero-filled, at most 31 bytes of the name, and
// "unknown" when the name is missing or empty.
void StoreZoneName(const char* name, char* field);
