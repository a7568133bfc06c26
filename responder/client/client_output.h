// What the management client prints: the agent's records as named fields, rendered as readable
// lines or as one JSON object; times in UTC ISO 8601 and decimal points whatever the locale; the
// monitoring check's verdict; and the history as CSV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history/drift_record.h"
#include "responder/management_protocol.h"
#include "responder/status_records.h"

// One named value. Texts are quoted in JSON, numbers and booleans are not.
struct Field {
    std::string key;
    std::string value;
    bool quoted;
};
using Fields = std::vector<Field>;

void AddText(Fields* fields, const char* key, const std::string& value);
void AddNumber(Fields* fields, const char* key, int64_t value);
void AddUnsigned(Fields* fields, const char* key, uint64_t value);
// A number with digits decimals, always with a decimal point.
void AddDecimal(Fields* fields, const char* key, double value, int digits);
void AddBoolean(Fields* fields, const char* key, bool value);

// {"key":value,...} on one line.
std::string RenderJson(const Fields& fields);
// "key: value" lines, keys aligned, each line prefixed by indent.
std::string RenderLines(const Fields& fields, const char* indent = "");
// "key=value key=value" on one line, texts with spaces in double quotes: one line per host.
std::string RenderCompact(const Fields& fields);
// A JSON string literal.
std::string JsonQuote(const std::string& text);

// "2024-07-03T17:12:05Z"; "never" for 0.
std::string IsoUtc(uint32_t seconds);
// A calendar record as "2024-07-03T17:12:05.321", with "Z" for UTC.
std::string IsoCalendar(const CalendarRecord& time, bool utc);
// Seconds since 1970 of a calendar record read as UTC; false for impossible dates.
bool CalendarToUnix(const CalendarRecord& time, double* seconds);

// Reads a moment given as seconds since 1970, as "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS][Z]" (UTC
// always), or as a span before now: "-90s", "-15m", "-12h", "-7d". False for anything else.
bool ParseMoment(const char* text, uint32_t now, uint32_t* seconds);

// The release a status record's flags word names: "Windows XP", ... or "unknown".
const char* ReleaseName(uint32_t flags);
// The zone state of bits 30-31: "none", "daylight" or "standard".
const char* ZoneStateName(uint32_t state);
// The installed family products of the status record's word, comma separated.
std::string ProductNames(uint16_t word);
// A drift record's source: "Averaged Time", "unresolved" or the dotted address.
std::string DriftSourceText(uint32_t address);
// The Windows Time service's "Type" code as its name.
const char* TimeServiceTypeName(uint8_t type);

Fields VersionFields(const VersionRecord& record);
Fields AgentStatusFields(const AgentStatus& status);
Fields StatusRecordFields(const StatusRecord& record);
Fields TimeZoneFields(const TimeZoneFacts& facts);
Fields DriftRecordFields(const DriftRecord& record);

// History as CSV: the header line, and one line per record.
std::string DriftCsvHeader();
std::string DriftCsvLine(const DriftRecord& record);

// Plugin exit codes of monitoring systems.
enum CheckState { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };
const char* CheckStateName(int state);
// The worse of two states: CRITICAL, then WARNING, then UNKNOWN, then OK.
int WorseState(int a, int b);

struct CheckInput {
    bool answered;          // the agent sent its status block
    int64_t varianceMs;     // its last verified variance
    uint32_t agentNow;      // the block's snapshot time, the agent's clock
    uint32_t maxAgeSeconds; // 0: the age of the last verification is not checked
    bool historyAnswered;   // the history request was answered
    bool verified;          // a verification was recorded within maxAgeSeconds
    uint32_t newestCheck;   // the newest such verification, seconds since 1970
};
struct CheckResult {
    int state;
    std::string line; // "QX OK - ... | perfdata"
};
// A threshold in the monitoring plugins' range syntax: "10" (alert outside 0..10), "10:"
// (below 10), "~:10" (above 10), "10:20" (outside 10..20), "@10:20" (inside 10..20, ends
// included).
struct ThresholdRange {
    bool inside;    // '@': alert inside the range
    bool haveStart; // false for "~": no lower end
    double start;
    bool haveEnd; // false for "N:": no upper end
    double end;
    std::string text; // as given
};
// False for anything else, and for a start above the end.
bool ParseThresholdRange(const std::string& text, ThresholdRange* range);
// The range "0:limit" that a plain number gives.
ThresholdRange UpperLimit(int64_t limit);
// Whether the value raises the threshold's state.
bool RangeAlerts(const ThresholdRange& range, double value);

// The verdict on |variance| in ms: in the crit range's alert zone CRITICAL, else in the warn
// range's WARNING; no verification within the age CRITICAL; no answer UNKNOWN. The perf data
// holds the signed variance in ms with both ranges.
CheckResult EvaluateCheck(const std::string& host, const CheckInput& input,
                          const ThresholdRange& warn, const ThresholdRange& crit);
// The same with plain limits: |variance| over crit ms CRITICAL, over warn ms WARNING.
CheckResult EvaluateCheck(const std::string& host, const CheckInput& input, int64_t warnMs,
                          int64_t critMs);
