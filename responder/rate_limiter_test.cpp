#include "responder/rate_limiter.h"

#include <gtest/gtest.h>

TEST(ReplyRateLimiter, a_source_spends_two_seconds_of_allowance_then_refills_at_the_rate) {
    ReplyRateLimiter limiter(1000);
    int allowed = 0;
    while (limiter.Allow(1, 100, 5000)) {
        ++allowed;
    }
    EXPECT_EQ(allowed, 20);
    EXPECT_FALSE(limiter.Allow(1, 100, 5099)); // 99 bytes refilled
    EXPECT_TRUE(limiter.Allow(1, 100, 5100));
    EXPECT_FALSE(limiter.Allow(1, 100, 5100));
    // A long silence refills to the burst and no further.
    allowed = 0;
    while (limiter.Allow(1, 100, 1000000)) {
        ++allowed;
    }
    EXPECT_EQ(allowed, 20);
}

TEST(ReplyRateLimiter, sources_are_independent_and_zero_turns_the_limit_off) {
    ReplyRateLimiter limiter(100);
    EXPECT_TRUE(limiter.Allow(1, 200, 0));
    EXPECT_FALSE(limiter.Allow(1, 200, 0));
    EXPECT_TRUE(limiter.Allow(2, 200, 0));
    limiter.SetRate(0);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(limiter.Allow(1, 100000, 0));
    }
}

TEST(ReplyRateLimiter, a_clock_that_goes_back_refills_nothing) {
    ReplyRateLimiter limiter(1000);
    while (limiter.Allow(7, 500, 10000)) {
    }
    EXPECT_FALSE(limiter.Allow(7, 500, 2000));
    EXPECT_FALSE(limiter.Allow(7, 500, 2400));
    EXPECT_TRUE(limiter.Allow(7, 500, 2500)); // 500 ms after the last look
}

TEST(ReplyRateLimiter, many_sources_share_the_table_and_a_busy_source_keeps_its_place) {
    ReplyRateLimiter limiter(1000);
    while (limiter.Allow(42, 100, 0)) {
    }
    // Thousands of other sources, each seen once, while source 42 keeps asking every 100 ms:
    // it stays known, so it never gets a fresh burst.
    uint64_t now = 0;
    int extra = 0;
    for (uint32_t source = 1000; source < 20000; ++source) {
        ASSERT_TRUE(limiter.Allow(source, 100, now)); // a new source starts full
        if (source % 20 == 0) {
            now += 100;
            if (limiter.Allow(42, 100, now)) {
                ++extra;
            }
        }
    }
    EXPECT_LE(extra, static_cast<int>(now / 100) + 1);
}

TEST(ReplyRateLimiter, every_answer_costs_its_bytes_on_the_wire_and_at_least_64) {
    EXPECT_EQ(ReplyCost(0), 64u);
    EXPECT_EQ(ReplyCost(4), 64u);
    EXPECT_EQ(ReplyCost(20), 64u);
    EXPECT_EQ(ReplyCost(355), 383u);
    EXPECT_EQ(ReplyCost(504), 532u);
}
