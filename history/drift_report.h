// The synchronization summary report of a history file: the zone label of its time stamps, the
// statistics over every record and the text, section by section, free of system calls.
#pragma once

#include "history/drift_record.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Room for the zone label: a zone name of at most 127 bytes and " (GMT+hhmm)".
constexpr size_t kZoneLabelSize = 160;
constexpr size_t kZoneNameChars = 127;

// The label of UTC time stamps.
constexpr char kUtcZoneLabel[] = "Universal Coordinated Time (GMT+0)";

// The label of local time stamps: the zone's name (cut at 127 bytes), then " (GMT%c%02d%02d)"
// with "-" when baseBias alone is above 0 and "+" otherwise, and the whole hours and minutes of
// the absolute total bias. Biases are in minutes, UTC minus local time; totalBias is the base
// bias plus the standard or daylight bias in effect. Writes at most size - 1 characters.
void FormatZoneLabel(const char* zoneName, int32_t baseBias, int32_t totalBias, char* out,
                     size_t size);

// What the report is made from.
struct ReportSource {
    const DriftRecord* records; // oldest first
    uint32_t count;
    uint32_t averageInterval; // seconds between records, 0 when unknown
    bool localTime;           // time stamps in local time instead of UTC
    const char* path;         // the history file, as the report names its source
    const char* zoneLabel;
    uint32_t now; // the report's time, seconds since 1970
};

// Figures gathered in one pass over all records, oldest first.
struct ReportStatistics {
    int32_t allMin, allMax; // both start at 0
    int64_t allSum;
    uint32_t allCount;
    int32_t startupMin, startupMax; // startup and power-resume checks only
    int64_t startupSum;
    uint32_t startupCount;
    uint32_t buckets[6]; // other checks by |variance|: <100, <250, <500, <1000, <5000, more
    uint32_t nonStartupCount;
    uint32_t negative, positive;
    uint32_t corrected, notCorrected;
    uint32_t reasonCounts[11]; // 1, 2, 3, 4, 5, 6, 255, 7, 254, 253, other
    uint32_t earliest, latest; // check times, 0 when none
};
ReportStatistics GatherReportStatistics(const DriftRecord* records, uint32_t count);

// The report's text as it is written: each section in one piece, then every record line in a
// piece of its own, oldest first, and the closing line. Lines end in CR LF. With no records
// nothing is written. Any record's fields give a well-formed line.
void FormatSummaryReport(const ReportSource& source,
                         const std::function<void(const std::string& piece)>& write);
