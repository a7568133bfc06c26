#include "responder/client/client_output.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "timesrc/time_format.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

bool LeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool ValidDate(int64_t year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int last = kDays[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0);
    return day <= last;
}

// Reads exactly count digits.
bool Digits(const char*& p, int count, int* value) {
    *value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
        *value = *value * 10 + (p[i] - '0');
    }
    p += count;
    return true;
}

bool NeedsQuotes(const std::string& text) {
    return text.empty() || text.find_first_of(" \"=") != std::string::npos;
}

std::string Hex(uint64_t value, int width) {
    return Format("0x%0*" PRIX64, width, value);
}

} // namespace

void AddText(Fields* fields, const char* key, const std::string& value) {
    fields->push_back(Field{key, value, true});
}

void AddNumber(Fields* fields, const char* key, int64_t value) {
    fields->push_back(Field{key, Format("%" PRId64, value), false});
}

void AddUnsigned(Fields* fields, const char* key, uint64_t value) {
    fields->push_back(Field{key, Format("%" PRIu64, value), false});
}

void AddDecimal(Fields* fields, const char* key, double value, int digits) {
    // The C library formats in the "C" locale unless a program changes it; this one never does.
    fields->push_back(Field{key, Format("%.*f", digits, value), false});
}

void AddBoolean(Fields* fields, const char* key, bool value) {
    fields->push_back(Field{key, value ? "true" : "false", false});
}

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Texts from the agent are 8-bit in its code page: keep each byte readable.
                out += Format("\\u%04x", c);
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string RenderJson(const Fields& fields) {
    std::string out = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) {
            out += ",";
        }
        out += JsonQuote(fields[i].key) + ":" +
               (fields[i].quoted ? JsonQuote(fields[i].value) : fields[i].value);
    }
    return out + "}";
}

std::string RenderLines(const Fields& fields, const char* indent) {
    size_t width = 0;
    for (const Field& field : fields) {
        width = field.key.size() > width ? field.key.size() : width;
    }
    std::string out;
    for (const Field& field : fields) {
        out += indent + field.key + ":" + std::string(width + 1 - field.key.size(), ' ') +
               field.value + "\n";
    }
    return out;
}

std::string RenderCompact(const Fields& fields) {
    std::string out;
    for (const Field& field : fields) {
        if (!out.empty()) {
            out += " ";
        }
        out += field.key + "=" + (NeedsQuotes(field.value) ? JsonQuote(field.value) : field.value);
    }
    return out;
}

std::string IsoUtc(uint32_t seconds) {
    if (seconds == 0) {
        return "never";
    }
    const CalendarTime t = UtcCalendarTime(seconds);
    return Format("%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
}

std::string IsoCalendar(const CalendarRecord& t, bool utc) {
    return Format("%04u-%02u-%02uT%02u:%02u:%02u.%03u%s", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.milliseconds, utc ? "Z" : "");
}

bool CalendarToUnix(const CalendarRecord& t, double* seconds) {
    if (!ValidDate(t.year, t.month, t.day) || t.hour > 23 || t.minute > 59 || t.second > 60 ||
        t.milliseconds > 999) {
        return false;
    }
    const int64_t days = DaysFromCivil(t.year, t.month, t.day);
    *seconds = static_cast<double>(days * 86400 + t.hour * 3600 + t.minute * 60 + t.second) +
               t.milliseconds / 1000.0;
    return true;
}

bool ParseMoment(const char* text, uint32_t now, uint32_t* seconds) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    if (text[0] == '-') {
        char* end = nullptr;
        const unsigned long long count = std::strtoull(text + 1, &end, 10);
        if (end == text + 1 || end[0] == '\0' || end[1] != '\0') {
            return false;
        }
        const unsigned long long unit = end[0] == 's'   ? 1
                                        : end[0] == 'm' ? 60
                                        : end[0] == 'h' ? 3600
                                        : end[0] == 'd' ? 86400
                                                        : 0;
        if (unit == 0 || count > now / unit) {
            return false;
        }
        *seconds = static_cast<uint32_t>(now - count * unit);
        return true;
    }
    const char* p = text;
    int year, month, day;
    if (std::strlen(text) >= 10 && Digits(p, 4, &year) && *p++ == '-' && Digits(p, 2, &month) &&
        *p++ == '-' && Digits(p, 2, &day)) {
        if (!ValidDate(year, month, day) || year < 1970) {
            return false;
        }
        int hour = 0, minute = 0, second = 0;
        if (*p == 'T' || *p == ' ') {
            ++p;
            if (!Digits(p, 2, &hour) || *p++ != ':' || !Digits(p, 2, &minute)) {
                return false;
            }
            if (*p == ':' && !(++p, Digits(p, 2, &second))) {
                return false;
            }
            if (*p == 'Z') {
                ++p;
            }
        }
        if (*p != '\0' || hour > 23 || minute > 59 || second > 59) {
            return false;
        }
        const int64_t value =
            DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
        if (value > 0xFFFFFFFFll) {
            return false;
        }
        *seconds = static_cast<uint32_t>(value);
        return true;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || text[0] < '0' || text[0] > '9' || value > 0xFFFFFFFFull) {
        return false;
    }
    *seconds = static_cast<uint32_t>(value);
    return true;
}

const char* ReleaseName(uint32_t flags) {
    if (flags & (1u << 27)) {
        return "Windows Server 2008 or later";
    }
    if (flags & (1u << 26)) {
        return "Windows Vista";
    }
    if (flags & (1u << 20)) {
        return "Windows Server 2003";
    }
    if (flags & (1u << 19)) {
        return "Windows XP";
    }
    if (flags & (1u << 18)) {
        return "Windows 2000";
    }
    if (flags & (1u << 17)) {
        return "Windows NT 4.0";
    }
    if (flags & (1u << 16)) {
        return "Windows NT 3.x";
    }
    if (flags & kFlagWin9x) {
        return "Windows 9x";
    }
    return "unknown";
}

const char* ZoneStateName(uint32_t state) {
    switch (state) {
    case 1:
        return "daylight";
    case 2:
        return "standard";
    default:
        return "none";
    }
}

std::string ProductNames(uint16_t word) {
    static const struct {
        uint16_t bit;
        const char* name;
    } kProducts[] = {{0x0001, "server"},       {0x0002, "client"},
                     {0x0004, "thin client"},  {0x0100, "ultra-thin client"},
                     {0x0008, "set"},          {0x0010, "manager"},
                     {0x0020, "monitor"},      {0x0040, "update server"},
                     {0x0080, "audit server"}, {0x0200, "agent"}};
    std::string names;
    for (const auto& product : kProducts) {
        if (word & product.bit) {
            names += (names.empty() ? "" : ", ") + std::string(product.name);
        }
    }
    return names.empty() ? "none" : names;
}

std::string DriftSourceText(uint32_t address) {
    if (address == 0) {
        return "Averaged Time";
    }
    if (address == 0xFFFFFFFFu) {
        return "unresolved";
    }
    const auto* b = reinterpret_cast<const uint8_t*>(&address);
    return Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

const char* TimeServiceTypeName(uint8_t type) {
    switch (type) {
    case 0:
        return "not set";
    case 1:
        return "NoSync";
    case 2:
        return "NT5DS";
    case 3:
        return "AllSync";
    case 4:
        return "NTP";
    case 5:
        return "disabled";
    default:
        return "unknown";
    }
}

Fields VersionFields(const VersionRecord& r) {
    Fields f;
    AddText(&f, "version", r.versionText);
    AddText(&f, "build",
            Format("%u.%u, %04u-%02u-%02u", r.major, r.minor, r.buildYear, r.buildMonthDay / 100,
                   r.buildMonthDay % 100));
    AddUnsigned(&f, "role", r.role);
    AddText(&f, "installed", IsoUtc(r.installTime));
    AddBoolean(&f, "nt", r.isNT != 0);
    AddText(&f, "computer", r.computerName);
    return f;
}

Fields AgentStatusFields(const AgentStatus& s) {
    Fields f;
    AddUnsigned(&f, "role", s.role);
    AddText(&f, "version", s.versionText);
    AddText(&f, "snapshot", IsoUtc(s.snapshotTime));
    AddText(&f, "agent_started", IsoUtc(s.agentStartTime));
    AddText(&f, "statistics_reset", IsoUtc(s.statisticsResetTime));
    AddText(&f, "last_sync", IsoUtc(s.lastSyncTime));
    AddBoolean(&f, "pending", (s.statusFlags & kStatusPending) != 0);
    AddText(&f, "partner", s.partnerName);
    AddText(&f, "protocol",
            s.protocol == kProtocolNtp    ? "NTP/SNTP"
            : s.protocol == kProtocolNone ? "none"
                                          : Format("%u", s.protocol));
    AddNumber(&f, "last_variance_ms", s.lastOffsetMs);
    AddNumber(&f, "variance_sum_ms", s.offsetSumMs);
    AddText(&f, "time_zone", s.timeZoneName);
    AddText(&f, "time_service_type", TimeServiceTypeName(s.timeServiceType));
    AddUnsigned(&f, "syncs", s.syncSuccesses);
    AddUnsigned(&f, "sync_failures", s.syncFailures);
    AddUnsigned(&f, "sync_events", s.syncEvents);
    AddUnsigned(&f, "replies_sent", s.repliesSent[0]);
    AddText(&f, "last_reply", IsoUtc(s.lastReplyTime[0]));
    AddUnsigned(&f, "receive_errors", s.receiveErrors[0]);
    AddUnsigned(&f, "bytes_received", s.bytesReceived);
    AddUnsigned(&f, "bytes_sent", s.bytesSent);
    return f;
}

Fields StatusRecordFields(const StatusRecord& r) {
    Fields f;
    AddText(&f, "installation_id", Hex(r.installationId, 8));
    AddText(&f, "computer", r.computerName);
    AddText(&f, "version", r.versionText);
    AddUnsigned(&f, "role", r.flags & 0xF);
    AddText(&f, "release", ReleaseName(r.flags));
    AddBoolean(&f, "nt", (r.flags & kFlagNT) != 0);
    AddText(&f, "flags", Hex(r.flags, 8));
    AddText(&f, "utc", IsoCalendar(r.utcTime, true));
    AddText(&f, "local", IsoCalendar(r.localTime, false));
    AddText(&f, "time_zone", r.timeZoneName);
    AddText(&f, "zone_state", ZoneStateName(r.flags >> kFlagZoneShift));
    AddText(&f, "now", IsoUtc(r.now));
    AddText(&f, "installed", IsoUtc(r.installTime));
    AddText(&f, "agent_started", IsoUtc(r.agentStartTime));
    AddText(&f, "last_sync", IsoUtc(r.lastSyncTime));
    AddText(&f, "partner", r.partnerName);
    AddNumber(&f, "last_variance_ms", r.lastOffsetMs);
    AddUnsigned(&f, "syncs", r.syncSuccesses);
    AddUnsigned(&f, "sync_failures", r.syncFailures);
    AddUnsigned(&f, "sync_events", r.syncEvents);
    AddText(&f, "products", ProductNames(r.products));
    AddText(&f, "products_word", Hex(r.products, 4));
    return f;
}

Fields TimeZoneFields(const TimeZoneFacts& facts) {
    Fields f;
    AddText(&f, "standard_name", facts.standardName);
    AddBoolean(&f, "auto_daylight_disabled", facts.disableAutoDaylight != 0);
    return f;
}

Fields DriftRecordFields(const DriftRecord& r) {
    Fields f;
    AddText(&f, "checked", IsoUtc(r.checkTime));
    AddUnsigned(&f, "check_time", r.checkTime);
    AddNumber(&f, "variance_ms", r.varianceMs);
    AddText(&f, "source", DriftSourceText(r.sourceAddress));
    AddText(&f, "reason", CheckReasonName(r.reason));
    AddText(&f, "role", RoleName(RecordRole(r)));
    AddBoolean(&f, "corrected", IsCorrected(r));
    AddText(&f, "phase_adjust", PhaseAdjustText(r));
    return f;
}

std::string DriftCsvHeader() {
    return "checked,check_time,variance_ms,source,reason,role,corrected,phase_adjust\n";
}

std::string DriftCsvLine(const DriftRecord& r) {
    return Format("%s,%u,%d,%s,%s,%s,%d,%s\n", IsoUtc(r.checkTime).c_str(), r.checkTime,
                  r.varianceMs, DriftSourceText(r.sourceAddress).c_str(), CheckReasonName(r.reason),
                  RoleName(RecordRole(r)), IsCorrected(r) ? 1 : 0, PhaseAdjustText(r));
}

const char* CheckStateName(int state) {
    switch (state) {
    case kCheckOk:
        return "OK";
    case kCheckWarning:
        return "WARNING";
    case kCheckCritical:
        return "CRITICAL";
    default:
        return "UNKNOWN";
    }
}

int WorseState(int a, int b) {
    static const int kRank[] = {0, 2, 3, 1}; // OK, WARNING, CRITICAL, UNKNOWN
    const int ra = a >= 0 && a <= 3 ? kRank[a] : 1;
    const int rb = b >= 0 && b <= 3 ? kRank[b] : 1;
    return ra >= rb ? a : b;
}

namespace {

// A decimal number filling the whole text.
bool ParseDecimal(const std::string& text, double* value) {
    if (text.empty() || text.size() > 32) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+')) {
            return false;
        }
    }
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

} // namespace

bool ParseThresholdRange(const std::string& text, ThresholdRange* range) {
    ThresholdRange r{false, true, 0.0, true, 0.0, text};
    std::string rest = text;
    if (!rest.empty() && rest[0] == '@') {
        r.inside = true;
        rest.erase(0, 1);
    }
    const size_t colon = rest.find(':');
    if (colon == std::string::npos) {
        if (!ParseDecimal(rest, &r.end)) {
            return false;
        }
    } else {
        const std::string start = rest.substr(0, colon);
        const std::string end = rest.substr(colon + 1);
        if (start == "~") {
            r.haveStart = false;
        } else if (!start.empty() && !ParseDecimal(start, &r.start)) {
            return false;
        }
        if (end.empty()) {
            r.haveEnd = false;
        } else if (!ParseDecimal(end, &r.end)) {
            return false;
        }
    }
    if (r.haveStart && r.haveEnd && r.start > r.end) {
        return false;
    }
    *range = r;
    return true;
}

ThresholdRange UpperLimit(int64_t limit) {
    return ThresholdRange{
        false, true, 0.0, true, static_cast<double>(limit), Format("%" PRId64, limit)};
}

bool RangeAlerts(const ThresholdRange& r, double value) {
    const bool within = (!r.haveStart || value >= r.start) && (!r.haveEnd || value <= r.end);
    return r.inside ? within : !within;
}

CheckResult EvaluateCheck(const std::string& host, const CheckInput& in, int64_t warnMs,
                          int64_t critMs) {
    return EvaluateCheck(host, in, UpperLimit(warnMs), UpperLimit(critMs));
}

CheckResult EvaluateCheck(const std::string& host, const CheckInput& in, const ThresholdRange& warn,
                          const ThresholdRange& crit) {
    CheckResult result{kCheckUnknown, ""};
    if (!in.answered) {
        result.line = "QX UNKNOWN - " + host + ": no answer to the status request";
        return result;
    }
    const double magnitude =
        static_cast<double>(in.varianceMs < 0 ? -in.varianceMs : in.varianceMs);
    int state = RangeAlerts(crit, magnitude)   ? kCheckCritical
                : RangeAlerts(warn, magnitude) ? kCheckWarning
                                               : kCheckOk;
    std::string text = Format("%s: variance %" PRId64 " ms", host.c_str(), in.varianceMs);
    std::string perf = Format("variance=%" PRId64 "ms;%s;%s;;", in.varianceMs, warn.text.c_str(),
                              crit.text.c_str());
    if (in.maxAgeSeconds != 0) {
        if (!in.historyAnswered) {
            state = WorseState(state, kCheckUnknown);
            text += ", history not answered (request 160 prohibited?)";
        } else if (!in.verified) {
            state = kCheckCritical;
            text += Format(", no verification in the last %u s", in.maxAgeSeconds);
        } else {
            const uint32_t age = in.agentNow > in.newestCheck ? in.agentNow - in.newestCheck : 0;
            text += ", last verification " + IsoUtc(in.newestCheck);
            perf += Format(" age=%us;;%u;0;", age, in.maxAgeSeconds);
        }
    }
    result.state = state;
    result.line = std::string("QX ") + CheckStateName(state) + " - " + text + " | " + perf;
    return result;
}
