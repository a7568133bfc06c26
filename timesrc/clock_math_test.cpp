#include "timesrc/clock_math.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr uint64_t kSecond = kFileTimeUnitsPerSecond;
constexpr uint64_t k10MHz = 10000000;
// 2026-01-01 00:00:00 UTC as a file time.
constexpr uint64_t kJanuary2026 = kFileTimeUnixEpoch + 1767225600ull * kSecond;

ClockAnchor Anchor(uint64_t fileTime, uint64_t counter, uint64_t frequency = k10MHz) {
    ClockAnchor anchor{};
    anchor.fileTime = fileTime;
    anchor.counter = counter;
    anchor.frequency = frequency;
    anchor.tickIncrement = 156250;
    return anchor;
}

} // namespace

TEST(FileTimeConversion, seconds_since_1970_truncate_toward_zero_on_both_sides_of_1970) {
    EXPECT_EQ(FileTimeToUnix(kFileTimeUnixEpoch), 0);
    EXPECT_EQ(FileTimeToUnix(kFileTimeUnixEpoch + kSecond - 1), 0);
    EXPECT_EQ(FileTimeToUnix(kFileTimeUnixEpoch - 1), 0);
    EXPECT_EQ(FileTimeToUnix(kFileTimeUnixEpoch - kSecond), -1);
    EXPECT_EQ(FileTimeToUnix(kFileTimeUnixEpoch - kSecond - 1), -1);
    EXPECT_EQ(FileTimeToUnix(0), -11644473600ll);
    EXPECT_EQ(FileTimeToUnix(125911584000000000ull), 946684800); // 2000-01-01
    EXPECT_EQ(FileTimeToUnix(UINT64_MAX), 1833029933770);
}

TEST(FileTimeConversion, record_seconds_saturate_at_both_ends_of_the_32_bit_range) {
    EXPECT_EQ(FileTimeToUnixSeconds(0), 0u);
    EXPECT_EQ(FileTimeToUnixSeconds(kFileTimeUnixEpoch - kSecond), 0u);
    EXPECT_EQ(FileTimeToUnixSeconds(kFileTimeUnixEpoch), 0u);
    EXPECT_EQ(FileTimeToUnixSeconds(kFileTimeUnixEpoch + 5 * kSecond + 9999999), 5u);
    EXPECT_EQ(FileTimeToUnixSeconds(UnixToFileTime(0xFFFFFFFFu)), 0xFFFFFFFFu);
    EXPECT_EQ(FileTimeToUnixSeconds(UnixToFileTime(0xFFFFFFFFu) + kSecond), 0xFFFFFFFFu);
    EXPECT_EQ(FileTimeToUnixSeconds(UINT64_MAX), 0xFFFFFFFFu);
}

TEST(FileTimeConversion, unix_seconds_map_to_file_times_and_back) {
    EXPECT_EQ(UnixToFileTime(0), 116444736000000000ull);
    EXPECT_EQ(UnixToFileTime(946684800), 125911584000000000ull);
    // The last second a record can hold (2106-02-07 06:28:15) needs more than 32 bits in the sum.
    EXPECT_EQ(UnixToFileTime(0xFFFFFFFFu), 159394408950000000ull);
    for (uint32_t seconds : {0u, 1u, 946684800u, 1767225600u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(FileTimeToUnixSeconds(UnixToFileTime(seconds)), seconds);
        EXPECT_EQ(FileTimeToUnix(UnixToFileTime(seconds)), static_cast<int64_t>(seconds));
    }
}

TEST(CounterScaling, converts_ticks_at_any_frequency_without_overflow) {
    EXPECT_EQ(CounterTicksToFileTime(12345, k10MHz), 12345u);
    EXPECT_EQ(CounterTicksToFileTime(3579545, 3579545), kSecond); // ACPI power-management timer
    EXPECT_EQ(CounterTicksToFileTime(1, 3579545), 2u);            // 2.79 units, truncated
    // Ten days of a 3 GHz counter: the product ticks * 10^7 would need 83 bits.
    const uint64_t tenDays = 10ull * 86400;
    EXPECT_EQ(CounterTicksToFileTime(tenDays * 3000000000ull, 3000000000ull), tenDays * kSecond);
    EXPECT_EQ(CounterTicksToFileTime(1500000000, 3000000000ull), kSecond / 2);
    EXPECT_EQ(CounterTicksToFileTime(1000, 0), 0u);
}

TEST(AnchorPair, takes_the_middle_of_a_tight_counter_bracket_and_refuses_a_loose_one) {
    uint64_t counter = 0;
    EXPECT_TRUE(AnchorCounter(1000, 1040, k10MHz, &counter));
    EXPECT_EQ(counter, 1020u);
    EXPECT_TRUE(AnchorCounter(1000, 1100, k10MHz, &counter)); // 10 us
    EXPECT_EQ(counter, 1050u);
    counter = 7;
    EXPECT_FALSE(AnchorCounter(1000, 1101, k10MHz, &counter)); // interrupted between the reads
    EXPECT_FALSE(AnchorCounter(1000, 999, k10MHz, &counter));
    EXPECT_EQ(counter, 7u);
    EXPECT_TRUE(AnchorCounter(5, 6, 1000, &counter)); // a slow counter: one tick is tight
}

TEST(ElapsedTicks, a_counter_below_the_anchor_never_counts_backwards) {
    ClockAnchor anchor = Anchor(kJanuary2026, 1000000);
    EXPECT_EQ(ElapsedCounterTicks(anchor, 1000000, false), 0u);
    EXPECT_EQ(ElapsedCounterTicks(anchor, 1012345, false), 12345u);
    // The anchor was renewed after the counter was read: nothing has elapsed since it.
    EXPECT_EQ(ElapsedCounterTicks(anchor, 999000, true), 0u);
    // A lagging counter without a correction known yet.
    EXPECT_EQ(ElapsedCounterTicks(anchor, 999000, false), 0u);
    // With the correction the anchor took when it saw the counter go back by 100 ticks.
    anchor.wrapCorrection = WrapCorrection(156250, k10MHz, 1000000, 1000100);
    EXPECT_EQ(anchor.wrapCorrection, 156350u);
    EXPECT_EQ(ElapsedCounterTicks(anchor, 999000, false), 155350u);
    EXPECT_EQ(ElapsedCounterTicks(anchor, 1000000 - 200000, false), 0u);
    // One step of the clock at 3 GHz, without the product overflowing.
    EXPECT_EQ(WrapCorrection(156250, 3000000000ull, 10, 10), 46875000u);
}

TEST(Interpolation, extends_the_anchor_by_the_elapsed_ticks) {
    const ClockAnchor anchor = Anchor(kJanuary2026, 5000000);
    // 0.5 ms after the anchor while the system time has not stepped yet.
    EXPECT_EQ(InterpolatedFileTime(anchor, 5005000, false, kJanuary2026), kJanuary2026 + 5000);
    // Up to one step of the system clock ahead of the plain time is what interpolation is for.
    EXPECT_EQ(InterpolatedFileTime(anchor, 5000000 + 150000, false, kJanuary2026),
              kJanuary2026 + 150000);
}

TEST(Interpolation, an_anchor_older_than_the_32_bit_addend_still_reads_right) {
    // The clock thread stalled for 300 s: 3 * 10^9 units no longer fit a signed 32-bit addend
    // (which wraps after 214.7 s); the reading must still agree with the system time.
    const ClockAnchor anchor = Anchor(kJanuary2026, 1000);
    const uint64_t later = kJanuary2026 + 300 * kSecond;
    EXPECT_EQ(InterpolatedFileTime(anchor, 1000 + 300 * k10MHz + 42, false, later), later + 42);
    // The same at 3 GHz, where 300 s are 9 * 10^11 ticks.
    const ClockAnchor fast = Anchor(kJanuary2026, 7, 3000000000ull);
    EXPECT_EQ(InterpolatedFileTime(fast, 7 + 300 * 3000000000ull, false, later), later);
}

TEST(Interpolation, falls_back_to_the_system_time_when_the_anchor_is_stale) {
    const ClockAnchor anchor = Anchor(kJanuary2026, 1000);
    // Suspended for an hour: the counter stood still while the system time moved on.
    const uint64_t resumed = kJanuary2026 + 3600 * kSecond;
    EXPECT_EQ(InterpolatedFileTime(anchor, 2000, false, resumed), resumed);
    // The system clock was set back by a minute since the anchor.
    const uint64_t setBack = kJanuary2026 - 60 * kSecond;
    EXPECT_EQ(InterpolatedFileTime(anchor, 3000, false, setBack), setBack);
    // Further ahead of the plain time than one step of the system clock plus the slack.
    EXPECT_EQ(InterpolatedFileTime(anchor, 1000 + 156250 + 10001, false, kJanuary2026),
              kJanuary2026);
    // A file time that would overflow.
    const ClockAnchor end = Anchor(UINT64_MAX - 10, 0);
    EXPECT_EQ(InterpolatedFileTime(end, k10MHz, false, kJanuary2026), kJanuary2026);
}

TEST(PriorityNesting, raises_nest_per_thread_and_the_last_lowering_frees_the_entry) {
    PriorityNesting table[kPriorityTableEntries] = {};
    EXPECT_TRUE(NestThreadPriority(table, 101, true));
    EXPECT_TRUE(NestThreadPriority(table, 101, true));
    EXPECT_TRUE(NestThreadPriority(table, 202, true));
    EXPECT_TRUE(NestThreadPriority(table, 101, false));
    EXPECT_FALSE(NestThreadPriority(table, 101, false));
    EXPECT_EQ(table[0].threadId, 0u);
    EXPECT_EQ(table[1].threadId, 202u);
    EXPECT_EQ(table[1].count, 1u);
    // A lowering without a raise stays normal and claims nothing.
    EXPECT_FALSE(NestThreadPriority(table, 303, false));
    EXPECT_EQ(table[0].threadId, 0u);
    // The freed entry is the first one claimed again.
    EXPECT_TRUE(NestThreadPriority(table, 404, true));
    EXPECT_EQ(table[0].threadId, 404u);
}

TEST(PriorityNesting, a_thread_that_finds_the_table_full_is_raised_and_lowered_untracked) {
    PriorityNesting table[kPriorityTableEntries] = {};
    for (uint32_t id = 1; id <= kPriorityTableEntries; ++id) {
        ASSERT_TRUE(NestThreadPriority(table, id, true));
    }
    EXPECT_TRUE(NestThreadPriority(table, 99, true));
    EXPECT_TRUE(NestThreadPriority(table, 99, true));
    EXPECT_FALSE(NestThreadPriority(table, 99, false)); // its nesting is lost, it ends normal
    for (uint32_t id = 1; id <= kPriorityTableEntries; ++id) {
        EXPECT_EQ(table[id - 1].threadId, id);
        EXPECT_EQ(table[id - 1].count, 1u);
    }
}
