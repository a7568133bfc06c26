// Fuzz target: the texts of moments, durations and addresses over their whole input range, and
// the clock arithmetic between file times, seconds and counter ticks.
//
// Input: u64 value (read as milliseconds, seconds, a moment, a file time and an address), u64
// counter frequency, u64 counter ticks, then a clock anchor (u64 file time, u64 counter, u64 wrap
// correction, u32 tick increment), u64 the counter now, u64 the plain system time, u8 options
// (bit 0: anchored while reading), then priority raises and lowerings, one byte each.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/fuzz_support.h"
#include "timesrc/clock_math.h"
#include "timesrc/ntp_source.h"
#include "timesrc/time_format.h"

namespace {

using Wide = __int128;

// Reads a duration text back: "N unit[s]" pieces joined by ", ", largest unit first, each unit
// at most once, "s" exactly when N is not 1. Returns the sum in milliseconds and the units seen
// as bits (0 days ... 4 milliseconds); false when the text does not have that shape.
bool ReadDuration(const char* text, Wide* total, unsigned* units) {
    static const char* const kNames[] = {"day", "hour", "minute", "second", "millisecond"};
    static const Wide kMs[] = {86400000, 3600000, 60000, 1000, 1};
    *total = 0;
    *units = 0;
    int previous = -1;
    const char* c = text;
    for (;;) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        Wide count = 0;
        while (*c >= '0' && *c <= '9') {
            count = count * 10 + (*c++ - '0');
            if (count > Wide{UINT64_MAX}) {
                return false;
            }
        }
        if (*c++ != ' ') {
            return false;
        }
        int unit = -1;
        for (int i = 0; i < 5; ++i) {
            const size_t length = std::strlen(kNames[i]);
            if (std::strncmp(c, kNames[i], length) == 0 &&
                (c[length] == 's' || c[length] == ',' || c[length] == '\0')) {
                unit = i;
                c += length;
                break;
            }
        }
        if (unit <= previous) {
            return false;
        }
        const bool plural = *c == 's';
        if (plural != (count != 1)) {
            return false;
        }
        c += plural;
        *total += count * kMs[unit];
        *units |= 1u << unit;
        previous = unit;
        if (*c == '\0') {
            return true;
        }
        if (c[0] != ',' || c[1] != ' ') {
            return false;
        }
        c += 2;
    }
}

void CheckDurations(uint64_t value) {
    const uint32_t seconds = static_cast<uint32_t>(value);
    const char* text = FormatSeconds(seconds);
    FUZZ_CHECK(std::strlen(text) < 256);
    Wide total;
    unsigned units;
    FUZZ_CHECK(ReadDuration(text, &total, &units));
    FUZZ_CHECK(total == Wide{seconds} * 1000);
    FUZZ_CHECK((units & 16) == 0);
    // Once days or hours are shown, minutes are too; days bring hours.
    FUZZ_CHECK((units & 1) == 0 || (units & 6) == 6);
    FUZZ_CHECK((units & 2) == 0 || (units & 4) != 0);

    const int64_t milliseconds = static_cast<int64_t>(value);
    text = FormatMilliseconds(milliseconds);
    FUZZ_CHECK(std::strlen(text) < 256);
    FUZZ_CHECK(ReadDuration(text, &total, &units));
    const Wide magnitude = milliseconds < 0 ? -Wide{milliseconds} : Wide{milliseconds};
    FUZZ_CHECK(total == magnitude);
    // Every unit from the largest shown down to milliseconds.
    FUZZ_CHECK((units & 16) != 0 && ((units + (units & -units)) & 31) == 0);
}

void CheckStamps(uint64_t value) {
    const uint32_t moment = static_cast<uint32_t>(value);
    const time_t seconds = static_cast<time_t>(moment);
    struct tm broken = {};
    char expected[64];

    FUZZ_CHECK(gmtime_r(&seconds, &broken) != nullptr);
    std::strftime(expected, sizeof(expected), "%a %d %b %Y %H:%M:%S UTC", &broken);
    const char* text = FormatTimestamp(moment, false);
    FUZZ_CHECK(std::strlen(text) < 40);
    FUZZ_CHECK(std::strcmp(text, expected) == 0);

    text = FormatTimestamp(moment, true);
    FUZZ_CHECK(std::strlen(text) < 40);
    if (localtime_r(&seconds, &broken) != nullptr) {
        std::strftime(expected, sizeof(expected), "%a %d %b %Y %H:%M:%S", &broken);
        FUZZ_CHECK(std::strcmp(text, expected) == 0);
    } else {
        FUZZ_CHECK(std::strcmp(text, "Error") == 0);
    }

    // Any 64-bit count of seconds gives fields in range, and the C library's where it has one.
    const CalendarTime calendar = UtcCalendarTime(value);
    FUZZ_CHECK(calendar.month >= 1 && calendar.month <= 12 && calendar.day >= 1 &&
               calendar.day <= 31 && calendar.weekday >= 0 && calendar.weekday <= 6 &&
               calendar.hour >= 0 && calendar.hour <= 23 && calendar.minute >= 0 &&
               calendar.minute <= 59 && calendar.second >= 0 && calendar.second <= 59 &&
               calendar.year >= 1970);
    const time_t wide = static_cast<time_t>(value);
    if (value <= static_cast<uint64_t>(INT64_MAX) && gmtime_r(&wide, &broken) != nullptr) {
        FUZZ_CHECK(calendar.year == int64_t{broken.tm_year} + 1900 &&
                   calendar.month == broken.tm_mon + 1 && calendar.day == broken.tm_mday &&
                   calendar.weekday == broken.tm_wday && calendar.hour == broken.tm_hour &&
                   calendar.minute == broken.tm_min && calendar.second == broken.tm_sec);
    }
}

void CheckAddress(uint64_t value) {
    const uint32_t address = static_cast<uint32_t>(value >> 32);
    char buffer[kAddressTextSize + 8];
    std::memset(buffer, 0x7E, sizeof(buffer));
    FUZZ_CHECK(FormatAddress(address, buffer) == buffer);
    FUZZ_CHECK(std::memchr(buffer, '\0', kAddressTextSize) != nullptr);
    for (size_t i = kAddressTextSize; i < sizeof(buffer); ++i) {
        FUZZ_CHECK(buffer[i] == 0x7E);
    }
    uint32_t parsed = 0;
    if (address == 0 || address == 0xFFFFFFFF) {
        FUZZ_CHECK(std::strcmp(buffer, "Unknown") == 0);
    } else {
        FUZZ_CHECK(ParseDottedAddress(buffer, &parsed) && parsed == address);
    }
}

void CheckFileTimes(uint64_t fileTime) {
    const Wide since1970 = Wide{fileTime} - Wide{kFileTimeUnixEpoch};
    // Truncation toward zero, as C++ division does.
    const Wide unix = since1970 / 10000000;
    FUZZ_CHECK(Wide{FileTimeToUnix(fileTime)} == unix);
    const uint32_t stored = FileTimeToUnixSeconds(fileTime);
    FUZZ_CHECK(Wide{stored} == (unix <= 0 ? 0 : unix > 0xFFFFFFFF ? 0xFFFFFFFF : unix));

    const uint32_t seconds = static_cast<uint32_t>(fileTime);
    const uint64_t back = UnixToFileTime(seconds);
    FUZZ_CHECK(Wide{back} == (Wide{seconds} + Wide{kSecondsFrom1601To1970}) * 10000000);
    FUZZ_CHECK(FileTimeToUnixSeconds(back) == seconds);
}

void CheckCounter(uint64_t ticks, uint64_t frequency) {
    const uint64_t units = CounterTicksToFileTime(ticks, frequency);
    if (frequency == 0) {
        FUZZ_CHECK(units == 0);
        return;
    }
    const Wide exact = Wide{ticks} * 10000000 / Wide{frequency};
    if (frequency <= UINT64_MAX / kFileTimeUnitsPerSecond && exact <= Wide{UINT64_MAX}) {
        FUZZ_CHECK(Wide{units} == exact);
    }
}

void CheckInterpolation(FuzzInput& input) {
    ClockAnchor anchor{};
    anchor.fileTime = input.U64();
    anchor.counter = input.U64();
    anchor.wrapCorrection = input.U64();
    anchor.tickIncrement = input.U32();
    anchor.frequency = input.U64();
    const uint64_t now = input.U64();
    const uint64_t plain = input.U64();
    const bool anchoredWhileReading = (input.U8() & 1) != 0;

    const uint64_t elapsed = ElapsedCounterTicks(anchor, now, anchoredWhileReading);
    if (now >= anchor.counter) {
        FUZZ_CHECK(elapsed == now - anchor.counter);
    } else {
        FUZZ_CHECK(elapsed <= anchor.wrapCorrection);
    }
    // The precise time never strays from the plain one by more than a clock step and 1 ms.
    const uint64_t precise = InterpolatedFileTime(anchor, now, anchoredWhileReading, plain);
    const Wide apart = Wide{precise} - Wide{plain};
    FUZZ_CHECK(precise == plain ||
               (apart >= -10000 && apart <= Wide{anchor.tickIncrement} + 10000));

    uint64_t middle = 0;
    if (AnchorCounter(anchor.counter, now, anchor.frequency, &middle)) {
        FUZZ_CHECK(middle >= anchor.counter && middle <= now);
    }
}

void CheckPriorityNesting(FuzzInput& input) {
    PriorityNesting table[kPriorityTableEntries] = {};
    while (input.remaining() != 0) {
        const uint8_t step = input.U8();
        const uint32_t thread = step & 15;
        const bool on = (step & 16) != 0;
        uint32_t before = 0;
        bool tracked = false;
        for (const PriorityNesting& entry : table) {
            if (thread != 0 && entry.threadId == thread) {
                before = entry.count;
                tracked = true;
            }
        }
        const bool critical = NestThreadPriority(table, thread, on);
        if (tracked) {
            FUZZ_CHECK(critical == (on || before > 1));
        } else {
            FUZZ_CHECK(critical == on);
        }
        for (size_t i = 0; i < kPriorityTableEntries; ++i) {
            FUZZ_CHECK((table[i].threadId == 0) == (table[i].count == 0));
            for (size_t j = i + 1; j < kPriorityTableEntries; ++j) {
                FUZZ_CHECK(table[i].threadId == 0 || table[i].threadId != table[j].threadId);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone with daylight-saving rules, so that the local texts cross their changes.
    setenv("TZ", "America/New_York", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint64_t value = input.U64();
    const uint64_t frequency = input.U64();
    const uint64_t ticks = input.U64();

    CheckDurations(value);
    CheckStamps(value);
    CheckAddress(value);
    CheckFileTimes(value);
    CheckCounter(ticks, frequency);
    CheckInterpolation(input);
    CheckPriorityNesting(input);
    return 0;
}
