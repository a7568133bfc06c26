#include "agent/sync_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

std::vector<std::string> Plan(const char* reference, const uint8_t* ring,
                              const SettingsRecord& settings) {
    CheckSourceList list{};
    PlanCheckSources(reference, ring, settings, &list);
    return std::vector<std::string>(list.names, list.names + list.count);
}

} // namespace

TEST(CheckSources, reference_first_then_ring_newest_first_then_servers) {
    uint8_t ring[kSourceRingSize] = {};
    PushLastUsedSource(ring, Address(10, 0, 0, 1), 100);
    PushLastUsedSource(ring, Address(10, 0, 0, 2), 200);
    PushLastUsedSource(ring, Address(10, 0, 0, 1), 300);
    SettingsRecord settings{};
    ParseServerList("time.lan 10.0.0.1", &settings);
    EXPECT_EQ(
        Plan("gps.lan", ring, settings),
        (std::vector<std::string>{"gps.lan", "10.0.0.1", "10.0.0.2", "time.lan", "10.0.0.1"}));
}

TEST(CheckSources, a_ring_of_one_address_is_asked_once_and_empty_entries_are_skipped) {
    uint8_t ring[kSourceRingSize] = {};
    for (int i = 0; i < 64; ++i) {
        PushLastUsedSource(ring, Address(192, 168, 1, 7), 1000 + i);
    }
    EXPECT_EQ(Plan("", ring, SettingsRecord{}), std::vector<std::string>{"192.168.1.7"});

    uint8_t sparse[kSourceRingSize] = {};
    PushLastUsedSource(sparse, Address(10, 0, 0, 3), 0); // no time: empty
    PushLastUsedSource(sparse, 0, 500);                  // no address: empty
    SettingsRecord settings{};
    ParseServerList("a b", &settings);
    settings.servers[0].name[0] = '\0';
    EXPECT_EQ(Plan(nullptr, sparse, settings), std::vector<std::string>{"b"});
    EXPECT_TRUE(Plan("", sparse, SettingsRecord{}).empty());
}

TEST(CheckSources, the_fullest_check_has_71_sources) {
    uint8_t ring[kSourceRingSize] = {};
    for (int i = 0; i < 64; ++i) {
        PushLastUsedSource(ring, Address(10, 1, 0, static_cast<uint8_t>(i + 1)), 1000 + i);
    }
    SettingsRecord settings{};
    ParseServerList("s1 s2 s3 s4 s5 s6", &settings);
    const auto plan = Plan(std::string(63, 'r').c_str(), ring, settings);
    ASSERT_EQ(plan.size(), 71u);
    EXPECT_EQ(plan[1], "10.1.0.64");
    EXPECT_EQ(plan[64], "10.1.0.1");
    EXPECT_EQ(plan[70], "s6");
}

TEST(Variance, truncates_toward_zero_in_milliseconds) {
    EXPECT_EQ(OffsetToMilliseconds(-1999999), -199);
    EXPECT_EQ(OffsetToMilliseconds(1999999), 199);
    EXPECT_EQ(OffsetToMilliseconds(25000000), 2500);
    EXPECT_EQ(OffsetToMilliseconds(9999), 0);
}

TEST(Variance, alerts_only_strictly_beyond_the_threshold_and_never_at_zero) {
    EXPECT_FALSE(ExceedsAlertThreshold(2000, 1, 2));
    EXPECT_TRUE(ExceedsAlertThreshold(2001, 1, 2));
    EXPECT_FALSE(ExceedsAlertThreshold(-2000, 1, 2));
    EXPECT_TRUE(ExceedsAlertThreshold(-2001, 1, 2));
    EXPECT_FALSE(ExceedsAlertThreshold(INT64_MAX, 1, 0));
    EXPECT_FALSE(ExceedsAlertThreshold(5000, 0, 2));
    EXPECT_TRUE(ExceedsAlertThreshold(INT64_MIN, 1, 0xFFFFFFFFu));
}

TEST(Sample, names_give_all_bits_set_and_delay_is_a_32_bit_product) {
    EXPECT_EQ(SampleReferenceId("127.0.0.1"), Address(127, 0, 0, 1));
    EXPECT_EQ(SampleReferenceId("time.lan"), 0xFFFFFFFFu);
    EXPECT_EQ(SampleReferenceId("1.2.3"), 0xFFFFFFFFu);
    EXPECT_EQ(SampleReferenceId("1.2.3.256"), 0xFFFFFFFFu);
    EXPECT_EQ(SampleReferenceId("1.2.3.4:123"), 0xFFFFFFFFu);
    EXPECT_EQ(SampleDelay(15), 150000u);
    EXPECT_EQ(SampleDelay(500000), static_cast<uint64_t>(static_cast<uint32_t>(500000u * 10000u)));
    EXPECT_STREQ(UnverifiedReason(true), "all specified or auto-discovered time sources failed");
}
