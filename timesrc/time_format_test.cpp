#include "timesrc/time_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

struct DurationCase {
    int64_t input;
    const char* text;
};

// The C library's UTC conversion, as an independent reference for our own arithmetic.
bool LibraryUtc(uint64_t seconds, struct tm* out) {
#ifdef _WIN32
    const __time64_t t = static_cast<__time64_t>(seconds);
    return _gmtime64_s(out, &t) == 0;
#else
    const time_t t = static_cast<time_t>(seconds);
    return gmtime_r(&t, out) != nullptr;
#endif
}

} // namespace

TEST(FormatSeconds, shows_units_from_the_largest_present_and_leaves_out_zero_seconds) {
    const DurationCase cases[] = {
        {0, "0 seconds"},
        {1, "1 second"},
        {59, "59 seconds"},
        {60, "1 minute"},
        {61, "1 minute, 1 second"},
        {3600, "1 hour, 0 minutes"},
        {3660, "1 hour, 1 minute"},
        {3661, "1 hour, 1 minute, 1 second"},
        {86400, "1 day, 0 hours, 0 minutes"},
        {86401, "1 day, 0 hours, 0 minutes, 1 second"},
        {90061, "1 day, 1 hour, 1 minute, 1 second"},
        {172800, "2 days, 0 hours, 0 minutes"},
        {4294967295, "49710 days, 6 hours, 28 minutes, 15 seconds"},
    };
    for (const DurationCase& c : cases) {
        EXPECT_STREQ(FormatSeconds(static_cast<uint32_t>(c.input)), c.text) << c.input;
    }
}

TEST(FormatMilliseconds, shows_every_unit_below_the_largest_and_ignores_the_sign) {
    const DurationCase cases[] = {
        {0, "0 milliseconds"},
        {1, "1 millisecond"},
        {-1, "1 millisecond"},
        {999, "999 milliseconds"},
        {1000, "1 second, 0 milliseconds"},
        {-1500, "1 second, 500 milliseconds"},
        {60000, "1 minute, 0 seconds, 0 milliseconds"},
        {3600001, "1 hour, 0 minutes, 0 seconds, 1 millisecond"},
        {86400000, "1 day, 0 hours, 0 minutes, 0 seconds, 0 milliseconds"},
        {90061001, "1 day, 1 hour, 1 minute, 1 second, 1 millisecond"},
        {INT64_MAX, "106751991167 days, 7 hours, 12 minutes, 55 seconds, 807 milliseconds"},
        {INT64_MIN, "106751991167 days, 7 hours, 12 minutes, 55 seconds, 808 milliseconds"},
    };
    for (const DurationCase& c : cases) {
        EXPECT_STREQ(FormatMilliseconds(c.input), c.text) << c.input;
    }
}

TEST(FormatAddress, writes_bytes_in_memory_order_and_unknown_for_zero_or_all_ones) {
    char text[kAddressTextSize];
    const unsigned char bytes[4] = {192, 168, 0, 1};
    uint32_t address;
    memcpy(&address, bytes, sizeof(address));
    EXPECT_EQ(FormatAddress(address, text), text);
    EXPECT_STREQ(text, "192.168.0.1");

    const unsigned char widest[4] = {255, 255, 255, 254};
    memcpy(&address, widest, sizeof(address));
    EXPECT_STREQ(FormatAddress(address, text), "255.255.255.254");

    EXPECT_STREQ(FormatAddress(0, text), "Unknown");
    EXPECT_STREQ(FormatAddress(0xFFFFFFFF, text), "Unknown");
}

TEST(FormatTimestamp, utc_text_covers_the_whole_unsigned_range) {
    EXPECT_STREQ(FormatTimestamp(0, false), "Thu 01 Jan 1970 00:00:00 UTC");
    EXPECT_STREQ(FormatTimestamp(315626635, false), "Wed 02 Jan 1980 02:03:55 UTC");
    EXPECT_STREQ(FormatTimestamp(951782400, false), "Tue 29 Feb 2000 00:00:00 UTC");
    EXPECT_STREQ(FormatTimestamp(2147483647, false), "Tue 19 Jan 2038 03:14:07 UTC");
    EXPECT_STREQ(FormatTimestamp(2147483648u, false), "Tue 19 Jan 2038 03:14:08 UTC");
    EXPECT_STREQ(FormatTimestamp(4294967295u, false), "Sun 07 Feb 2106 06:28:15 UTC");
}

TEST(FormatTimestamp, keeps_utc_and_local_texts_apart) {
    const char* utc = FormatTimestamp(0, false);
    const char* local = FormatTimestamp(86400, true);
    EXPECT_NE(utc, local);
    EXPECT_STREQ(utc, "Thu 01 Jan 1970 00:00:00 UTC");
}

TEST(UtcCalendarTime, agrees_with_the_c_library_from_1970_to_2106) {
    // Steps of a prime number of seconds land on every time of day, weekday and month.
    for (uint64_t seconds = 0; seconds <= 0xFFFFFFFFu; seconds += 86413 * 7 + 3) {
        struct tm expected = {};
        ASSERT_TRUE(LibraryUtc(seconds, &expected)) << seconds;
        const CalendarTime time = UtcCalendarTime(seconds);
        ASSERT_EQ(time.year, expected.tm_year + 1900) << seconds;
        ASSERT_EQ(time.month, expected.tm_mon + 1) << seconds;
        ASSERT_EQ(time.day, expected.tm_mday) << seconds;
        ASSERT_EQ(time.weekday, expected.tm_wday) << seconds;
        ASSERT_EQ(time.hour, expected.tm_hour) << seconds;
        ASSERT_EQ(time.minute, expected.tm_min) << seconds;
        ASSERT_EQ(time.second, expected.tm_sec) << seconds;
    }
}

#ifndef _WIN32
// The host build's local time follows TZ; the Windows shell's is tested under Wine.
TEST(FormatTimestamp, local_text_follows_the_zone_rules_without_utc_suffix) {
    const char* saved = getenv("TZ");
    const std::string savedZone = saved != nullptr ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_STREQ(FormatTimestamp(315626635, true), "Wed 02 Jan 1980 02:03:55");
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    EXPECT_STREQ(FormatTimestamp(1700000000, true), "Tue 14 Nov 2023 17:13:20");
    EXPECT_STREQ(FormatTimestamp(1690000000, true), "Sat 22 Jul 2023 00:26:40");
    if (saved != nullptr) {
        setenv("TZ", savedZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}
#endif
