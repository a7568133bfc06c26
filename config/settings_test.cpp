#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {
SettingsRecord Parsed(const char* text) {
    SettingsRecord record{};
    ParseServerList(text, &record);
    return record;
}

std::string Formatted(const SettingsRecord& record, bool withFlags) {
    char text[512];
    FormatServerList(record, withFlags, text, sizeof(text));
    return text;
}
} // namespace

TEST(SyncType, parses_by_first_three_letters_in_any_case_and_names_back) {
    EXPECT_EQ(ParseSyncType("nt5ds"), kSyncNt5ds);
    EXPECT_EQ(ParseSyncType("NT5"), kSyncNt5ds);
    EXPECT_EQ(ParseSyncType("NTP"), kSyncNtp);
    EXPECT_EQ(ParseSyncType("ntpx"), kSyncNtp);
    EXPECT_EQ(ParseSyncType("allsync"), kSyncAllSync);
    EXPECT_EQ(ParseSyncType("NoSync"), kSyncNoSync);
    EXPECT_EQ(ParseSyncType("Disabled"), kSyncDisabled);
    EXPECT_EQ(ParseSyncType("not touched"), kSyncNotTouched);
    EXPECT_EQ(ParseSyncType("NT"), kSyncUnknown);
    EXPECT_EQ(ParseSyncType(""), kSyncUnknown);
    EXPECT_EQ(ParseSyncType(nullptr), kSyncUnknown);
    EXPECT_STREQ(SyncTypeName(kSyncNt5ds), "NT5DS");
    EXPECT_STREQ(SyncTypeName(kSyncNotTouched), "Not Touched");
    EXPECT_STREQ(SyncTypeName(kSyncDisabled), "Disabled");
    EXPECT_STREQ(SyncTypeName(kSyncNtp), "NTP");
    EXPECT_STREQ(SyncTypeName(77), "NTP");
}

TEST(ServerList, names_with_flags_pieces_round_trip) {
    const SettingsRecord record = Parsed("time.lan,0x9 ntp2.lan,0x1");
    ASSERT_EQ(record.serverCount, 2u);
    EXPECT_STREQ(record.servers[0].name, "time.lan");
    EXPECT_EQ(record.servers[0].flags, 9u);
    EXPECT_STREQ(record.servers[1].name, "ntp2.lan");
    EXPECT_EQ(record.servers[1].flags, 1u);
    EXPECT_EQ(Formatted(record, true), "time.lan,0x9 ntp2.lan,0x1");
    EXPECT_EQ(Formatted(record, false), "time.lan ntp2.lan");
}

TEST(ServerList, keeps_six_names_and_ignores_a_flags_piece_after_the_sixth) {
    const SettingsRecord record = Parsed("a b c d e f,0xA g h");
    ASSERT_EQ(record.serverCount, 6u);
    EXPECT_STREQ(record.servers[5].name, "f");
    EXPECT_EQ(record.servers[5].flags, 1u);
}

TEST(ServerList, only_short_hex_pieces_after_a_name_are_flags) {
    SettingsRecord record = Parsed("0x8 a,0x100 b,,  0XfF c,0xg");
    ASSERT_EQ(record.serverCount, 6u);
    EXPECT_STREQ(record.servers[0].name, "0x8"); // before any name: a name
    EXPECT_STREQ(record.servers[1].name, "a");
    EXPECT_STREQ(record.servers[2].name, "0x100"); // three digits: a name
    EXPECT_STREQ(record.servers[3].name, "b");
    EXPECT_EQ(record.servers[3].flags, 0xFFu);
    EXPECT_STREQ(record.servers[4].name, "c");
    EXPECT_STREQ(record.servers[5].name, "0xg"); // not hexadecimal: a name
    EXPECT_EQ(Parsed("c,0xg").serverCount, 2u);
}

TEST(ServerList, long_names_are_cut_to_63_characters_and_empty_text_gives_no_servers) {
    const std::string longName(200, 'n');
    const SettingsRecord record = Parsed((longName + " next").c_str());
    ASSERT_EQ(record.serverCount, 2u);
    EXPECT_EQ(std::string(record.servers[0].name), std::string(63, 'n'));
    EXPECT_STREQ(record.servers[1].name, "next");
    EXPECT_EQ(Parsed("").serverCount, 0u);
    EXPECT_EQ(Parsed(" , ,").serverCount, 0u);
    EXPECT_EQ(Parsed(nullptr).serverCount, 0u);
    EXPECT_EQ(Parsed("\t\r\n").serverCount, 0u);
}

TEST(ServerList, a_name_cut_at_a_blank_is_trimmed_so_that_it_survives_a_save) {
    const std::string name = std::string(62, 'n') + "\t\tmore";
    const SettingsRecord record = Parsed((name + ",0x2 next").c_str());
    ASSERT_EQ(record.serverCount, 2u);
    EXPECT_EQ(std::string(record.servers[0].name), std::string(62, 'n'));
    const SettingsRecord again = Parsed(Formatted(record, true).c_str());
    ASSERT_EQ(again.serverCount, 2u);
    EXPECT_STREQ(again.servers[0].name, record.servers[0].name);
    EXPECT_EQ(again.servers[0].flags, 2u);
    // What is left at the cut is judged like any piece: here the flags of the name before it.
    const SettingsRecord flags = Parsed(("host 0x5" + std::string(60, '\r') + "x").c_str());
    ASSERT_EQ(flags.serverCount, 1u);
    EXPECT_EQ(flags.servers[0].flags, 5u);
}

TEST(ServerList, formatting_skips_empty_slots_and_never_overruns_the_buffer) {
    SettingsRecord record = Parsed("one two three");
    record.servers[1].name[0] = '\0';
    EXPECT_EQ(Formatted(record, true), "one,0x1 three,0x1");
    char tiny[12];
    FormatServerList(Parsed("first second"), true, tiny, sizeof(tiny));
    EXPECT_STREQ(tiny, "");
    char fits[16];
    FormatServerList(Parsed("a second"), true, fits, sizeof(fits));
    EXPECT_STREQ(fits, "a,0x1");
    record.serverCount = 99; // a damaged count never reads past the six slots
    EXPECT_EQ(Formatted(record, false), "one three");
}
