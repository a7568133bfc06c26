#include "history/drift_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Encoded(const DriftRecord& record) {
    std::vector<uint8_t> bytes(kDriftRecordSize);
    EncodeDriftRecord(record, bytes.data());
    return bytes;
}

DriftRecord Decoded(const std::vector<uint8_t>& bytes) {
    DriftRecord record;
    DecodeDriftRecord(bytes.data(), &record);
    return record;
}

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

TEST(DriftRecordLayout, writes_every_field_at_its_offset_little_endian) {
    const DriftRecord record = MakeDriftRecord(-1500, 0x5A0B0C0D, 1, kReasonStartup,
                                               Address(192, 168, 1, 20), kRoleHorologix, -2);
    const std::vector<uint8_t> expected = {
        0x29,                   // marker 41
        0x0F,                   // role 7, corrected
        0xFE, 0xFF, 0xFF,       // phase adjustment -2
        0x00, 0x00,             // reserved
        0xFF,                   // reason: startup
        0x0D, 0x0C, 0x0B, 0x5A, // check time
        0x24, 0xFA, 0xFF, 0xFF, // -1500 ms
        192,  168,  1,    20,   // source, first number first
    };
    EXPECT_EQ(Encoded(record), expected);
}

TEST(DriftRecordLayout, reads_the_fields_of_stored_bytes) {
    const std::vector<uint8_t> bytes = {0x23, 0x0F, 0x00, 0x00, 0x80, 0x34, 0x12, 0x06, 0x80, 0x9F,
                                        0xD5, 0x65, 0xDC, 0x05, 0x00, 0x00, 10,   0,    0,    1};
    const DriftRecord record = Decoded(bytes);
    EXPECT_EQ(record.marker, 35);
    EXPECT_TRUE(IsCorrected(record));
    EXPECT_EQ(RecordRole(record), 7);
    EXPECT_EQ(record.phaseAdjust, -8388608); // the sign bit of the 24-bit field
    EXPECT_EQ(record.reserved, 0x1234);
    EXPECT_EQ(record.reason, kReasonSyncCheck);
    EXPECT_EQ(record.checkTime, 0x65D59F80u);
    EXPECT_EQ(record.varianceMs, 1500);
    EXPECT_EQ(record.sourceAddress, Address(10, 0, 0, 1));
}

TEST(DriftRecordLayout, any_twenty_bytes_survive_decoding_and_encoding) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bytes(kDriftRecordSize);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        ASSERT_EQ(Encoded(Decoded(bytes)), bytes);
    }
}

TEST(DriftRecordWriter, keeps_only_the_bits_the_record_has_room_for) {
    // Role 0xFF keeps its low 7 bits; corrected keeps bit 0 only.
    DriftRecord record = MakeDriftRecord(0x100000005ll, 1, 2, kReasonScheduled, 0, 0xFF, 0);
    EXPECT_EQ(record.flags, 0xFE);
    EXPECT_FALSE(IsCorrected(record));
    EXPECT_EQ(record.varianceMs, 5);

    record = MakeDriftRecord(-1, 1, 3, kReasonScheduled, 0, 7, 0x1234567);
    EXPECT_EQ(record.flags, 0x0F);
    EXPECT_EQ(record.varianceMs, -1);
    EXPECT_EQ(record.phaseAdjust, 0x234567);
    EXPECT_EQ(record.marker, kDriftMarkerCurrent);
    EXPECT_EQ(record.reserved, 0);

    record = MakeDriftRecord(-2147483649ll, 1, 0, kReasonScheduled, 0, 7, -156250);
    EXPECT_EQ(record.varianceMs, 2147483647); // low 32 bits of -2^31 - 1
    EXPECT_EQ(record.phaseAdjust, -156250);
}

TEST(DriftRecordValidity, accepts_marks_0_and_31_to_41_only) {
    DriftRecord record = MakeDriftRecord(0, 1700000000, 0, kReasonScheduled, 0, 7, 0);
    for (int marker = 0; marker < 256; ++marker) {
        record.marker = static_cast<uint8_t>(marker);
        EXPECT_EQ(IsValidDriftRecord(record), marker == 0 || (marker >= 31 && marker <= 41))
            << marker;
    }
}

TEST(DriftRecordValidity, accepts_check_times_from_december_1994_to_december_2035) {
    DriftRecord record = MakeDriftRecord(0, 0, 0, kReasonScheduled, 0, 7, 0);
    const struct {
        uint32_t time;
        bool valid;
    } cases[] = {
        {757382400, false}, // 1 January 1994
        {788399999, false},  {788400000, true}, {2081376000, true},
        {2081376001, false}, {0, false},        {0xFFFFFFFF, false},
    };
    for (const auto& c : cases) {
        record.checkTime = c.time;
        EXPECT_EQ(IsValidDriftRecord(record), c.valid) << c.time;
    }
}

TEST(DriftRecordTexts, names_reasons_and_roles) {
    const std::pair<int, const char*> reasons[] = {
        {1, "Scheduled"}, {2, "Control Panel"},  {3, "Triggered"},      {4, "QX2 BCast"},
        {5, "NTP BCast"}, {6, "Sync Check"},     {7, "Training"},       {8, "QX2 MCast"},
        {9, "NTP MCast"}, {253, "Clock change"}, {254, "Power resume"}, {255, "Startup"},
        {0, "Unknown"},   {10, "Unknown"},       {252, "Unknown"},
    };
    for (const auto& [value, name] : reasons) {
        EXPECT_STREQ(CheckReasonName(static_cast<uint8_t>(value)), name) << value;
    }
    const std::pair<int, const char*> roles[] = {
        {1, "Master Server"}, {2, "Slave Server"}, {3, "Indp. Server"}, {4, "Full Client"},
        {5, "Thin Client"},   {6, "Ultra Thin"},   {7, "Horologix"},    {8, "NTP Server"},
        {0, "Unknown"},       {9, "Unknown"},      {127, "Unknown"},
    };
    for (const auto& [value, name] : roles) {
        EXPECT_STREQ(RoleName(static_cast<uint8_t>(value)), name) << value;
    }
}

TEST(DriftRecordTexts, phase_adjustment_only_from_mark_41_with_plus_for_positive_values) {
    DriftRecord record = MakeDriftRecord(0, 1700000000, 0, kReasonScheduled, 0, 7, 12);
    EXPECT_STREQ(PhaseAdjustText(record), "+12");
    record.phaseAdjust = 0;
    EXPECT_STREQ(PhaseAdjustText(record), "0");
    record.phaseAdjust = -8388608;
    EXPECT_STREQ(PhaseAdjustText(record), "-8388608");
    record.marker = 35;
    EXPECT_STREQ(PhaseAdjustText(record), "");
    record.marker = 0;
    EXPECT_STREQ(PhaseAdjustText(record), "");
}

TEST(DriftRecordSource, dotted_addresses_and_averaged_time_need_no_lookup) {
    uint32_t address = 1;
    ASSERT_TRUE(SourceAddressFromText("10.20.30.40", &address));
    EXPECT_EQ(address, Address(10, 20, 30, 40));
    ASSERT_TRUE(SourceAddressFromText("255.255.255.255", &address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
    for (const char* averaged : {"Averaged Time", "aVERAGED tIME", "averaged time"}) {
        address = 1;
        ASSERT_TRUE(SourceAddressFromText(averaged, &address)) << averaged;
        EXPECT_EQ(address, 0u);
    }
    for (const char* name : {"10.0.0", "10.0.0.256", "1.2.3.4.", " 1.2.3.4", "1.2.3.4 ",
                             "0001.2.3.4", "1..2.3", "time.example", "", "Averaged Time "}) {
        EXPECT_FALSE(SourceAddressFromText(name, &address)) << name;
    }
    EXPECT_FALSE(SourceAddressFromText(nullptr, &address));
}

} // namespace
