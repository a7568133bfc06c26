#include "agent/poll_clock.h"

#include <gtest/gtest.h>

TEST(PollClock, falls_due_on_a_steady_beat_whatever_wakes_the_thread_between) {
    PollClock clock(10000, 1000);
    EXPECT_FALSE(clock.Due(10999));
    EXPECT_EQ(clock.WaitMs(10250), 750u);
    EXPECT_TRUE(clock.Due(11000));
    EXPECT_EQ(clock.WaitMs(11003), 0u);
    // Polled a little late: the next one keeps the beat instead of drifting.
    clock.Polled(11030);
    EXPECT_FALSE(clock.Due(11999));
    EXPECT_TRUE(clock.Due(12000));
    EXPECT_EQ(clock.WaitMs(11030), 970u);
}

TEST(PollClock, a_thread_busy_for_seconds_polls_once_and_then_an_interval_later) {
    PollClock clock(0, 1000);
    clock.Polled(4500); // a check held the thread from 1 s to 4.5 s
    EXPECT_FALSE(clock.Due(5499));
    EXPECT_TRUE(clock.Due(5500));
}
