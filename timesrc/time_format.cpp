#include "timesrc/time_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr size_t kStampTextSize = 40;
constexpr size_t kDurationTextSize = 256;

// Days since 1970-01-01 to year, month, day (H. Hinnant's civil_from_days, with the era of 400
// years that keeps every step in non-negative integers for our unsigned input).
void CivilFromDays(uint64_t days, int64_t* year, int* month, int* day) {
    const uint64_t z = days + 719468; // days since 0000-03-01
    const uint64_t era = z / 146097;
    const uint64_t dayOfEra = z - era * 146097;
    const uint64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    *month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    *year = static_cast<int64_t>(yearOfEra + era * 400) + (*month <= 2 ? 1 : 0);
}

const char* Plural(uint64_t count) {
    return count == 1 ? "" : "s";
}

// Appends one unit ("%s%d unit%s") with the separator when something is already written.
void AppendUnit(char* text, uint64_t count, const char* unit) {
    const size_t used = std::strlen(text);
    if (used + 1 >= kDurationTextSize) {
        return;
    }
    std::snprintf(text + used, kDurationTextSize - used, "%s%" PRIu64 " %s%s", used > 0 ? ", " : "",
                  count, unit, Plural(count));
}

bool ValidCalendarTime(const CalendarTime& time) {
    // The local conversion comes from the platform: check every field before it indexes a name
    // table or is printed into a fixed area.
    return time.year >= 0 && time.year <= 9999 && time.month >= 1 && time.month <= 12 &&
           time.day >= 1 && time.day <= 31 && time.weekday >= 0 && time.weekday <= 6 &&
           time.hour >= 0 && time.hour <= 23 && time.minute >= 0 && time.minute <= 59 &&
           time.second >= 0 && time.second <= 60;
}

} // namespace

CalendarTime UtcCalendarTime(uint64_t seconds) {
    CalendarTime time = {};
    const uint64_t days = seconds / 86400;
    const uint64_t secondOfDay = seconds % 86400;
    CivilFromDays(days, &time.year, &time.month, &time.day);
    time.weekday = static_cast<int>((days + 4) % 7); // 1 January 1970 was a Thursday
    time.hour = static_cast<int>(secondOfDay / 3600);
    time.minute = static_cast<int>(secondOfDay / 60 % 60);
    time.second = static_cast<int>(secondOfDay % 60);
    return time;
}

char* FormatAddress(uint32_t address, char* buffer) {
    if (buffer == nullptr) {
        return buffer;
    }
    if (address == 0 || address == 0xFFFFFFFF) {
        std::snprintf(buffer, kAddressTextSize, "Unknown");
        return buffer;
    }
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof(bytes));
    std::snprintf(buffer, kAddressTextSize, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return buffer;
}

const char* FormatTimestamp(uint32_t moment, bool local) {
    static char utcText[kStampTextSize];
    static char localText[kStampTextSize];

    CalendarTime time = {};
    if (local) {
        if (!LocalCalendarTime(moment, &time)) {
            return "Error";
        }
    } else {
        time = UtcCalendarTime(moment);
    }
    if (!ValidCalendarTime(time)) {
        return "Error";
    }

    char* text = local ? localText : utcText;
    std::snprintf(text, kStampTextSize, "%s %02d %s %04d %02d:%02d:%02d%s", kWeekdays[time.weekday],
                  time.day, kMonths[time.month - 1], static_cast<int>(time.year), time.hour,
                  time.minute, time.second, local ? "" : " UTC");
    return text;
}

const char* FormatSeconds(uint32_t seconds) {
    static char text[kDurationTextSize];
    text[0] = '\0';

    const uint32_t days = seconds / 86400;
    const uint32_t hours = seconds % 86400 / 3600;
    const uint32_t minutes = seconds % 3600 / 60;
    const uint32_t rest = seconds % 60;

    if (days != 0) {
        AppendUnit(text, days, "day");
    }
    // Once a larger unit is shown, hours and minutes follow even when they are 0.
    if (days != 0 || hours != 0 || minutes != 0) {
        if (days != 0 || hours != 0) {
            AppendUnit(text, hours, "hour");
        }
        AppendUnit(text, minutes, "minute");
    }
    // Seconds that are 0 are left out, whatever was shown before.
    if (rest != 0) {
        AppendUnit(text, rest, "second");
    }
    if (text[0] == '\0') {
        AppendUnit(text, seconds, "second");
    }
    return text;
}

const char* FormatMilliseconds(int64_t milliseconds) {
    static char text[kDurationTextSize];
    text[0] = '\0';

    // The absolute value in unsigned arithmetic, so that INT64_MIN does not overflow.
    const uint64_t value = milliseconds < 0 ? 0 - static_cast<uint64_t>(milliseconds)
                                            : static_cast<uint64_t>(milliseconds);
    const uint64_t parts[] = {
        value / 86400000, value % 86400000 / 3600000, value % 3600000 / 60000, value % 60000 / 1000,
        value % 1000,
    };
    static constexpr const char* kUnits[] = {"day", "hour", "minute", "second", "millisecond"};

    // From the largest unit that is not 0 down, every unit is shown, milliseconds always.
    size_t first = 0;
    while (first < 4 && parts[first] == 0) {
        ++first;
    }
    for (size_t i = first; i < 5; ++i) {
        AppendUnit(text, parts[i], kUnits[i]);
    }
    return text;
}
