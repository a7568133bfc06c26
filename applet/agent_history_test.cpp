#include "applet/agent_history.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

void PutSlot(uint8_t* ring, size_t slot, const uint8_t address[4], uint32_t time) {
    std::memcpy(ring + slot * 8, address, 4);
    for (int i = 0; i < 4; ++i) {
        ring[slot * 8 + 4 + i] = static_cast<uint8_t>(time >> (8 * i));
    }
}

TEST(AgentHistory, ring_slots_keep_the_address_order_and_skip_empty_ones) {
    uint8_t ring[kRingBytes] = {};
    const uint8_t server[4] = {192, 168, 7, 20};
    const uint8_t zero[4] = {0, 0, 0, 0};
    PutSlot(ring, 63, server, 1715000000);
    PutSlot(ring, 62, server, 0);        // no time: empty
    PutSlot(ring, 61, zero, 1715000000); // no identifier: empty
    RingSlot slot{};
    ASSERT_TRUE(ReadRingSlot(ring, 63, &slot));
    EXPECT_EQ(slot.time, 1715000000u);
    char dotted[kAddressTextSize];
    EXPECT_STREQ(FormatAddress(slot.address, dotted), "192.168.7.20");
    EXPECT_FALSE(ReadRingSlot(ring, 62, &slot));
    EXPECT_FALSE(ReadRingSlot(ring, 61, &slot));
    EXPECT_FALSE(ReadRingSlot(ring, 0, &slot));
    EXPECT_FALSE(ReadRingSlot(ring, 64, &slot));
}

TEST(AgentHistory, line_shows_day_month_year_time_address_and_name) {
    const CalendarTime when{2024, 5, 6, 1, 9, 3, 7};
    char line[200];
    const uint8_t bytes[4] = {10, 0, 0, 1};
    uint32_t address;
    std::memcpy(&address, bytes, 4);
    FormatHistoryLine(when, address, "timehost.example", line, sizeof(line));
    EXPECT_STREQ(line, "06 May 2024 09:03:07\t10.0.0.1\ttimehost.example");
    FormatHistoryLine(CalendarTime{1999, 12, 31, 5, 23, 59, 59}, 0xFFFFFFFF, "", line,
                      sizeof(line));
    EXPECT_STREQ(line, "31 Dec 1999 23:59:59\tUnknown\t");
    // A line longer than the buffer is cut and terminated.
    const std::string longName(300, 'n');
    char small[32];
    FormatHistoryLine(when, address, longName.c_str(), small, sizeof(small));
    EXPECT_EQ(std::strlen(small), sizeof(small) - 1);
}

TEST(AgentHistory, interval_in_minutes_and_enable_rules) {
    EXPECT_EQ(IntervalMinutes(90), 1u);
    EXPECT_EQ(IntervalSeconds(IntervalMinutes(90)), 60u);
    EXPECT_EQ(IntervalSeconds(0), 0u);
    EXPECT_EQ(IntervalSeconds(30), 1800u);
    EXPECT_EQ(IntervalSeconds(0xFFFFFFFFu), 0xFFFFFFFFu / 60 * 60); // never wraps to a small value

    AgentEnableRules rules = AgentControlsEnabled(true, false, 0);
    EXPECT_TRUE(rules.options);
    EXPECT_FALSE(rules.threshold);
    EXPECT_FALSE(rules.clear);
    rules = AgentControlsEnabled(true, true, 3);
    EXPECT_TRUE(rules.threshold);
    EXPECT_TRUE(rules.clear);
    rules = AgentControlsEnabled(false, true, 1);
    EXPECT_FALSE(rules.options);
    EXPECT_FALSE(rules.threshold);
    EXPECT_TRUE(rules.clear);
}

} // namespace
