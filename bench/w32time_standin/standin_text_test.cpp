// The stand-in's log text: tests read messages back byte for byte through it.
#include "bench/w32time_standin/standin_text.h"

#include <gtest/gtest.h>

namespace standin {
namespace {

TEST(StandinRecord, control_bytes_are_escaped_so_a_record_stays_one_line) {
    const Record fields = {"Event", "Horologix", "2", "line one\r\nback\\slash\ttab\x01\r\n"};
    const std::string line = FormatRecord(fields);
    EXPECT_EQ(line, "Event\tHorologix\t2\tline one\\r\\nback\\\\slash\\ttab\\x01\\r\\n\r\n");

    Record parsed;
    ASSERT_TRUE(ParseRecord(line.substr(0, line.size() - 2), &parsed));
    EXPECT_EQ(parsed, fields);
}

TEST(StandinRecord, empty_fields_survive_the_round_trip) {
    const Record fields = {"", "a", "", ""};
    const std::string line = FormatRecord(fields);
    Record parsed;
    ASSERT_TRUE(ParseRecord(line.substr(0, line.size() - 2), &parsed));
    EXPECT_EQ(parsed, fields);
}

TEST(StandinRecord, malformed_escapes_are_rejected) {
    Record parsed;
    EXPECT_FALSE(ParseRecord("a\\", &parsed));
    EXPECT_FALSE(ParseRecord("a\\q", &parsed));
    EXPECT_FALSE(ParseRecord("a\\x4", &parsed));
    EXPECT_FALSE(ParseRecord("a\\xZZ", &parsed));
}

TEST(StandinRecord, a_log_yields_its_complete_well_formed_lines) {
    const std::string text = "1\tA\r\n"
                             "bad\\q\r\n"
                             "2\tB\n"
                             "\r\n"
                             "3\tunfinished";
    const std::vector<Record> records = ParseRecords(text);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (Record{"1", "A"}));
    EXPECT_EQ(records[1], (Record{"2", "B"}));
}

TEST(StandinFields, dotted_quads_are_in_network_byte_order) {
    uint32_t value = 0;
    ASSERT_TRUE(ParseDottedQuad("127.0.0.1", &value));
    EXPECT_EQ(value, 0x0100007Fu);
    ASSERT_TRUE(ParseDottedQuad("255.254.0.9", &value));
    EXPECT_EQ(FormatDottedQuad(value), "255.254.0.9");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1..2.3", "1.2.3.4 ",
                            "1234.0.0.1", "a.b.c.d", "-1.2.3.4"}) {
        EXPECT_FALSE(ParseDottedQuad(bad, &value)) << bad;
    }
}

TEST(StandinFields, integers_parse_within_their_bounds) {
    int64_t value = 0;
    ASSERT_TRUE(ParseInteger("-1500", -2000, 2000, &value));
    EXPECT_EQ(value, -1500);
    ASSERT_TRUE(ParseInteger("0x7F", 0, 255, &value));
    EXPECT_EQ(value, 127);
    ASSERT_TRUE(ParseInteger("-9223372036854775808", INT64_MIN, INT64_MAX, &value));
    EXPECT_EQ(value, INT64_MIN);
    ASSERT_TRUE(ParseInteger("9223372036854775807", INT64_MIN, INT64_MAX, &value));
    EXPECT_EQ(value, INT64_MAX);
    value = 42;
    for (const char* bad : {"", "-", "0x", "12a", "256", "9223372036854775808", " 1", "1 "}) {
        EXPECT_FALSE(ParseInteger(bad, 0, 255, &value)) << bad;
    }
    EXPECT_FALSE(ParseInteger("9223372036854775808", INT64_MIN, INT64_MAX, &value));
    EXPECT_EQ(value, 42);
}

} // namespace
} // namespace standin
