// The local time zone's name and state, asked of the system, for status records.
#pragma once

#include "timesrc/time_zone.h"

#include <cstdint>

// Writes the local zone's name into a 32-byte field (at most 31 bytes, ANSI, "unknown" when the
// system gives none) and returns kZoneStateNone, kZoneStateDaylight or kZoneStateStandard.
uint32_t CurrentTimeZoneName(char* field);
