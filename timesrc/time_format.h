// Texts of moments, durations and IPv4 addresses for reports, the drift graph and alerts.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kAddressTextSize = 16;

// Broken-down calendar time.
struct CalendarTime {
    int64_t year;
    int month;   // 1..12
    int day;     // 1..31
    int weekday; // 0 = Sunday
    int hour;
    int minute;
    int second;
};

// Dotted text of an IPv4 address held in network byte order (the first byte in memory is the
// first number), or "Unknown" for 0 and for all bits set. buffer has at least 16 bytes.
char* FormatAddress(uint32_t address, char* buffer);

// Calendar text of a moment in seconds since 1970 UTC: "Wed 02 Jan 1980 02:03:55 UTC", or
// without " UTC" in the machine's local time when local is true; "Error" when the moment cannot
// be converted. Every 32-bit value is a valid moment (up to 2106). The UTC and the local text
// each live in a static area that the next call of the same kind overwrites.
const char* FormatTimestamp(uint32_t moment, bool local);

// A duration in seconds as days, hours, minutes and seconds ("1 hour, 1 minute, 1 second").
// The text lives in a static area that the next call overwrites.
const char* FormatSeconds(uint32_t seconds);

// A duration in milliseconds as days down to milliseconds ("1 second, 500 milliseconds"); the
// sign is not shown. The text lives in a static area that the next call overwrites.
const char* FormatMilliseconds(int64_t milliseconds);

// UTC calendar time of seconds since 1970 (proleptic Gregorian calendar).
CalendarTime UtcCalendarTime(uint64_t seconds);

// Local calendar time of a moment with the machine's time-zone rules; false when the system
// cannot convert it. Each platform provides this: the Windows shell with the system's time-zone
// rules, the host build with the C library's.
bool LocalCalendarTime(uint32_t moment, CalendarTime* out);
