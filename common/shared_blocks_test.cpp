#include "common/shared_blocks.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(SyncStatusLayout, an_announcement_is_the_familys_exact_32_bytes) {
    uint8_t bytes[kSyncStatusBlockSize];
    EncodeSyncStatusBlock(AnnouncedSyncStatus(3), bytes);
    const uint8_t expected[kSyncStatusBlockSize] = {
        32,   0, 0, 0, // size
        1,    0, 0, 0, // owner present
        3,    0, 0, 0, // owner code
        4,    0, 0, 0, // version 4.1
        1,    0, 0, 0, //
        0xD7, 7, 0, 0, // 2007
        0xA2, 1, 0, 0, // 418: built April 18
        1,    0, 0, 0, //
    };
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof(bytes)), 0);
    EXPECT_TRUE(HolderPresent(DecodeSyncStatusBlock(bytes)));
}

TEST(SyncStatusLayout, a_release_clears_only_the_owner_word) {
    uint8_t held[kSyncStatusBlockSize];
    uint8_t released[kSyncStatusBlockSize];
    EncodeSyncStatusBlock(AnnouncedSyncStatus(0x01020304), held);
    EncodeSyncStatusBlock(ReleasedSyncStatus(DecodeSyncStatusBlock(held)), released);
    for (size_t i = 0; i < kSyncStatusBlockSize; ++i) {
        EXPECT_EQ(released[i], i == 4 ? 0 : held[i]) << "byte " << i;
    }
    EXPECT_EQ(held[8], 4);
    EXPECT_EQ(held[11], 1); // the owner code is little-endian
    EXPECT_FALSE(HolderPresent(DecodeSyncStatusBlock(released)));
}

TEST(SyncStatusLayout, a_fresh_block_has_no_holder_and_any_nonzero_owner_word_is_one) {
    uint8_t bytes[kSyncStatusBlockSize] = {};
    EXPECT_FALSE(HolderPresent(DecodeSyncStatusBlock(bytes)));
    bytes[7] = 0x80; // only the top byte of the owner word
    const SyncStatusBlock decoded = DecodeSyncStatusBlock(bytes);
    EXPECT_EQ(decoded.ownerPresent, 0x80000000u);
    EXPECT_TRUE(HolderPresent(decoded));
}

TEST(ActivityLayout, slots_are_words_at_four_times_their_number_up_to_63) {
    size_t offset = 999;
    EXPECT_TRUE(ActivitySlotOffset(0, &offset));
    EXPECT_EQ(offset, 0u);
    EXPECT_TRUE(ActivitySlotOffset(kActivityRequest83, &offset));
    EXPECT_EQ(offset, 120u);
    EXPECT_TRUE(ActivitySlotOffset(63, &offset));
    EXPECT_EQ(offset, kActivityBlockSize - 4);
    offset = 999;
    EXPECT_FALSE(ActivitySlotOffset(64, &offset));
    EXPECT_FALSE(ActivitySlotOffset(0xFFFFFFFFu, &offset));
    EXPECT_EQ(offset, 999u);
}
