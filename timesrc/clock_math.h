// Time arithmetic without system calls: the one place where file times and seconds since 1970
// meet, and the precise clock's interpolation between anchors and its priority nesting.
#pragma once

#include <cstddef>
#include <cstdint>

// File times count 100 ns units since 1 January 1601 UTC.
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;
// File time of 1 January 1970 00:00 UTC.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
// Seconds from 1601 to 1970.
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;
// Seconds from 1900 (NTP era 0) to 1970: 70 years, 17 of them leap years.
constexpr uint64_t kSecondsFrom1900To1970 = 2208988800ull;
// File time of 1 January 1900 00:00 UTC.
constexpr uint64_t kFileTime1900 =
    (kSecondsFrom1601To1970 - kSecondsFrom1900To1970) * kFileTimeUnitsPerSecond;
static_assert(kFileTimeUnixEpoch == kSecondsFrom1601To1970 * kFileTimeUnitsPerSecond,
              "the epochs agree");

// Seconds since 1970 of a file time, truncated toward zero: negative before 1970.
int64_t FileTimeToUnix(uint64_t fileTime);
// Seconds since 1970 of a file time as the records store them: 0 for moments up to 1970,
// 0xFFFFFFFF for moments after early 2106, otherwise truncated.
uint32_t FileTimeToUnixSeconds(uint64_t fileTime);
// File time of a moment given in seconds since 1970 (records' unsigned 32-bit seconds).
uint64_t UnixToFileTime(uint32_t seconds);
// Seconds since 1970 of a file time with their fraction: negative before 1970.
double FileTimeToUnixReal(uint64_t fileTime);

// Counter ticks as file-time units (100 ns) at a counter frequency in ticks per second, in 64
// bits without overflowing for any span the counter can express. 0 for a frequency of 0.
uint64_t CounterTicksToFileTime(uint64_t ticks, uint64_t frequency);

// The precise clock's anchor: the system time and the performance-counter reading taken together
// right after the system time stepped, and what the readers need to extend it.
struct ClockAnchor {
    uint64_t fileTime;       // system time at the anchor, 100 ns units since 1601
    uint64_t counter;        // performance counter at the anchor
    uint64_t wrapCorrection; // ticks credited when a reading finds the counter below the anchor
    uint64_t frequency;      // counter ticks per second
    uint32_t tickIncrement;  // the system clock's step, 100 ns units
    uint32_t generation;     // grows with every anchor
};

// The counter reading an anchor pairs with a system time read between two counter readings:
// the middle of the two. False when they lie more than 10 us apart (the thread was interrupted
// between the reads), so that the anchor waits for a tighter pair.
bool AnchorCounter(uint64_t before, uint64_t after, uint64_t frequency, uint64_t* counter);

// Counter ticks to the anchor's extension when the counter reads "now". A reading below the
// anchor's counter means either that the anchor was renewed after the reading (nothing elapsed)
// or that this processor's counter lags; the latter is credited the anchor's wrap correction
// and never counts backwards.
uint64_t ElapsedCounterTicks(const ClockAnchor& anchor, uint64_t now, bool anchoredWhileReading);

// The wrap correction an anchor takes when the counter reads below the previous anchor's: the
// step back plus one system-clock step's worth of ticks.
uint64_t WrapCorrection(uint32_t tickIncrement, uint64_t frequency, uint64_t counter,
                        uint64_t previousCounter);

// The precise time of a reading: the anchor's file time extended by the counter ticks elapsed
// since it (now and anchoredWhileReading as for ElapsedCounterTicks). plainTime is the system
// time read together with the counter; it is the result whenever the interpolation disagrees
// with it by more than the system clock's step allows (a stale anchor after a suspend, a stalled
// clock thread, a stepped clock).
uint64_t InterpolatedFileTime(const ClockAnchor& anchor, uint64_t now, bool anchoredWhileReading,
                              uint64_t plainTime);

// Nested raises of a thread's priority: one entry per thread that holds a raise, identifier 0
// marking a free entry.
struct PriorityNesting {
    uint32_t threadId;
    uint32_t count;
};
constexpr size_t kPriorityTableEntries = 10;

// Applies one raise (on) or one lowering (off) for a thread to the table and tells whether the
// thread should now run time-critical (true) or at normal priority (false). A thread that finds
// the table full is not tracked: a raise makes it time-critical and the next lowering normal.
bool NestThreadPriority(PriorityNesting (&table)[kPriorityTableEntries], uint32_t threadId,
                        bool on);
