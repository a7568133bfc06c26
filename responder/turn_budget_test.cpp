#include "responder/turn_budget.h"

#include <gtest/gtest.h>

TEST(TurnBudget, a_turn_ends_at_its_datagram_count_or_its_time_whichever_comes_first) {
    EXPECT_TRUE(ServeAnotherDatagram(0, 0));
    EXPECT_TRUE(ServeAnotherDatagram(kMaxDatagramsPerTurn - 1, kMaxTurnMicroseconds - 1));
    EXPECT_FALSE(ServeAnotherDatagram(kMaxDatagramsPerTurn, 0));
    EXPECT_FALSE(ServeAnotherDatagram(1, kMaxTurnMicroseconds));
    // The first datagram of a wake-up is always read, however late the thread got to it.
    EXPECT_TRUE(ServeAnotherDatagram(0, kMaxTurnMicroseconds - 1));
}
