#include "responder/installation_id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "responder/status_records.h"

namespace {
uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}
} // namespace

TEST(InstallationCandidate, mixes_tick_count_time_random_value_and_file_facts_in_64_bits) {
    CandidateSources s{};
    s.tickCount = 0xFFFFFFF0;
    s.unixNow = 0x20;
    s.randomValue = 0x10; // carries into the high half, which the candidate drops
    EXPECT_EQ(FormCandidate(s), 0u);
    s.volumeSerial = 5;
    s.fileSizeLow = 6;
    s.fileIndexHigh = 7;
    EXPECT_EQ(FormCandidate(s), 18u);
}

TEST(InstallationCandidate, random_values_stay_below_32768_and_follow_the_seed) {
    CandidateRandom a(12345), b(12345), c(12346);
    bool differs = false;
    for (int i = 0; i < 1000; ++i) {
        const uint32_t value = a.Next();
        ASSERT_LT(value, 32768u);
        ASSERT_EQ(value, b.Next());
        differs = differs || value != c.Next();
    }
    EXPECT_TRUE(differs);
}

TEST(InstallationCandidate, only_a_full_status_record_with_the_candidate_claims_it) {
    std::vector<uint8_t> answer(kStatusRecordSize, 0);
    const uint8_t id[4] = {0x78, 0x56, 0x34, 0x12};
    std::memcpy(answer.data(), id, 4);
    EXPECT_TRUE(AnswerClaimsCandidate(answer.data(), answer.size(), 0x12345678));
    EXPECT_FALSE(AnswerClaimsCandidate(answer.data(), answer.size(), 0x12345679));
    EXPECT_FALSE(AnswerClaimsCandidate(answer.data(), answer.size() - 1, 0x12345678));
    EXPECT_FALSE(AnswerClaimsCandidate(answer.data(), 4, 0x12345678));
    EXPECT_FALSE(AnswerClaimsCandidate(nullptr, 0, 0));
}

TEST(BroadcastDestinations, a_list_replaces_the_broadcast_and_keeps_its_order) {
    const char list[] = "127.0.0.2\0"
                        "127.0.0.3\0";
    uint32_t out[8];
    ASSERT_EQ(PlanBroadcastDestinations(list, sizeof(list), out, 8), 2u);
    EXPECT_EQ(out[0], Address(127, 0, 0, 2));
    EXPECT_EQ(out[1], Address(127, 0, 0, 3));
}

TEST(BroadcastDestinations, no_list_or_an_empty_one_broadcasts_once) {
    uint32_t out[8];
    ASSERT_EQ(PlanBroadcastDestinations(nullptr, 0, out, 8), 1u);
    EXPECT_EQ(out[0], kLimitedBroadcast);
    const char empty[] = "\0";
    ASSERT_EQ(PlanBroadcastDestinations(empty, sizeof(empty), out, 8), 1u);
    EXPECT_EQ(out[0], kLimitedBroadcast);
}

TEST(BroadcastDestinations, texts_that_are_not_addresses_are_skipped_never_broadcast) {
    const char list[] = "server.example\0"
                        "10.1.2.300\0"
                        "10.1.2.3\0\0";
    uint32_t out[8];
    ASSERT_EQ(PlanBroadcastDestinations(list, sizeof(list), out, 8), 1u);
    EXPECT_EQ(out[0], Address(10, 1, 2, 3));
    const char only_names[] = "a\0b\0\0";
    EXPECT_EQ(PlanBroadcastDestinations(only_names, sizeof(only_names), out, 8), 0u);
    // A list without its final terminator ends at its size.
    const char cut[] = {'1', '.', '2', '.', '3', '.', '4'};
    ASSERT_EQ(PlanBroadcastDestinations(cut, sizeof(cut), out, 8), 1u);
    EXPECT_EQ(out[0], Address(1, 2, 3, 4));
}
