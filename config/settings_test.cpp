#include "config/settings.h"
#include "config/registry.h"
#include "config/settings_changes.h"
#include "config/settings_schema.h"

#include <gtest/gtest.h>

#include <cstdio>
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

TEST(ServerList, keeps_six_names_with_the_flags_of_the_sixth) {
    const SettingsRecord record = Parsed("a b c d e f,0xA g h");
    ASSERT_EQ(record.serverCount, 6u);
    EXPECT_STREQ(record.servers[5].name, "f");
    EXPECT_EQ(record.servers[5].flags, 0xAu);
    EXPECT_EQ(CountServerListEntries("a b c d e f,0xA g h,0x8"), 8u);
    EXPECT_EQ(CountServerListEntries(nullptr), 0u);
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

namespace {

// The Client page's six rows as the fill left them for a stored list: row i shows slot i.
struct Edit {
    SettingsRecord record{};
    std::string rowText[kMaxTimeServers];
    ServerRow rows[kMaxTimeServers];
    int origins[kMaxTimeServers];

    explicit Edit(const char* stored) {
        ParseServerList(stored, &record);
        IdentityServerOrigins(record, origins);
        for (size_t i = 0; i < kMaxTimeServers; ++i) {
            const bool used = i < record.serverCount;
            rowText[i] = used ? record.servers[i].name : "";
            rows[i] = ServerRow{nullptr, used ? record.servers[i].flags : kDefaultServerFlags,
                                used ? origins[i] : -1, -1};
        }
    }
    // Reads the rows back into the record, as leaving the page does.
    void Read() {
        for (size_t i = 0; i < kMaxTimeServers; ++i) {
            rows[i].text = rowText[i].c_str();
        }
        RebuildServerSlots(rows, &record, origins);
    }
    bool Changed(const char* stored) const { return ServerSlotsChanged(stored, record, origins); }
    std::string Merged(const char* stored, bool withFlags = true) const {
        std::string out(MergedServerListSize(stored), '\0');
        if (!MergeServerList(stored, record, origins, withFlags, &out[0], out.size())) {
            return "<does not fit>";
        }
        return out.c_str();
    }
};

const char kEightServers[] =
    "127.0.0.1,0x9 local.example,0x8 s3.example,0x1 s4.example,0x2 s5.example,0x9 "
    "s6.example,0x9 s7.example,0x9 s8.example,0x8";

} // namespace

TEST(ServerListMerge, untouched_rows_leave_the_stored_list_as_it_is) {
    Edit edit(kEightServers);
    edit.Read();
    EXPECT_FALSE(edit.Changed(kEightServers));
    EXPECT_EQ(edit.Merged(kEightServers), kEightServers);
    // Every flag value, in any spelling, with odd separators and a name longer than a slot.
    const std::string longName(70, 'n');
    for (uint32_t flags = 0; flags < 16; ++flags) {
        char stored[200];
        std::snprintf(stored, sizeof(stored), "a.lan,0X%02X ,%s,0x%x  b.lan", flags,
                      longName.c_str(), flags);
        Edit each(stored);
        ASSERT_EQ(each.record.servers[0].flags, flags);
        each.Read();
        EXPECT_FALSE(each.Changed(stored)) << stored;
        // Renaming the last row rewrites the list and keeps the others' exact text.
        each.rowText[2] = "c.lan";
        each.Read();
        EXPECT_TRUE(each.Changed(stored));
        char expected[200];
        std::snprintf(expected, sizeof(expected), "a.lan,0X%02X %s,0x%x c.lan", flags,
                      longName.c_str(), flags);
        EXPECT_EQ(each.Merged(stored), expected);
    }
}

TEST(ServerListMerge, a_picked_mode_replaces_only_the_mode_bits) {
    EXPECT_EQ(FlagsWithPickedMode(9, 0), 1u); // "Special Interval"
    EXPECT_EQ(FlagsWithPickedMode(9, 1), 3u); // "Fallback Only"
    EXPECT_EQ(FlagsWithPickedMode(9, 2), 5u); // "Symmetric Active"
    EXPECT_EQ(FlagsWithPickedMode(9, 3), 9u); // "NTP Client Mode"
    EXPECT_EQ(FlagsWithPickedMode(8, 2), 4u);
    EXPECT_EQ(FlagsWithPickedMode(0xF0, 3), 0xF8u);
    for (uint32_t flags = 0; flags < 16; ++flags) {
        for (int mode = 0; mode < 4; ++mode) {
            const uint32_t picked = FlagsWithPickedMode(flags, mode);
            EXPECT_EQ(picked & 0xEu, mode == 0 ? 0u : 1u << mode) << flags << " " << mode;
            EXPECT_EQ(picked & 1u, mode == 0 ? 1u : flags & 1u) << flags << " " << mode;
        }
    }
    Edit edit("one,0x9 two,0x9");
    edit.rows[1].pickedMode = 1;
    edit.rowText[2] = "three";
    edit.rows[2].pickedMode = 3; // a new row takes the picked flag alone
    edit.Read();
    EXPECT_EQ(edit.Merged("one,0x9 two,0x9"), "one,0x9 two,0x3 three,0x8");
}

TEST(ServerListMerge, servers_beyond_the_six_rows_follow_them_as_written) {
    // The interval alone changed on the page: the list reads back the same.
    Edit edit(kEightServers);
    EXPECT_EQ(edit.record.servers[5].flags, 9u);
    // Removing row 2 and renaming row 6 keeps servers 7 and 8 after the rows.
    edit.rowText[1] = " ";
    edit.rowText[5] = "six.example";
    edit.Read();
    ASSERT_EQ(edit.record.serverCount, 5u);
    EXPECT_EQ(edit.Merged(kEightServers),
              "127.0.0.1,0x9 s3.example,0x1 s4.example,0x2 s5.example,0x9 six.example,0x9 "
              "s7.example,0x9 s8.example,0x8");
    // What the service would stop at is kept as it is, too.
    const char stopped[] = "a b c d e f g \t h, ,";
    Edit odd(stopped);
    odd.rowText[0] = "z";
    odd.Read();
    EXPECT_EQ(odd.Merged(stopped), "z b c d e f g \t h");
}

TEST(ServerListMerge, blank_rows_in_between_keep_each_entry_s_own_text) {
    const char stored[] = "a.lan,0x8 b.lan,0x9 c.lan d.lan,0X4";
    Edit edit(stored);
    edit.rowText[1] = "";
    edit.rowText[4] = "  e.lan ";
    edit.Read();
    ASSERT_EQ(edit.record.serverCount, 4u);
    EXPECT_EQ(edit.origins[1], 2);
    EXPECT_EQ(edit.Merged(stored), "a.lan,0x8 c.lan d.lan,0X4 e.lan,0x1");
    // Read again after the page filled the compacted rows: the same text.
    Edit again(stored);
    again.rowText[1] = "";
    again.rowText[4] = "e.lan";
    again.Read();
    for (size_t i = 0; i < kMaxTimeServers; ++i) {
        const bool used = i < again.record.serverCount;
        again.rowText[i] = used ? again.record.servers[i].name : "";
        again.rows[i] = ServerRow{nullptr, used ? again.record.servers[i].flags : 1u,
                                  used ? again.origins[i] : -1, -1};
    }
    again.Read();
    EXPECT_EQ(again.Merged(stored), "a.lan,0x8 c.lan d.lan,0X4 e.lan,0x1");
}

TEST(ServerListMerge, windows_2000_lists_stay_bare_names) {
    const char stored[] = "a.lan b.lan";
    Edit edit(stored);
    edit.rowText[2] = "c.lan";
    edit.Read();
    EXPECT_EQ(edit.Merged(stored, false), "a.lan b.lan c.lan");
    // A later release adds flags to the new name only.
    EXPECT_EQ(edit.Merged(stored, true), "a.lan b.lan c.lan,0x1");
    // A missing list and a list emptied by the user.
    Edit none(nullptr);
    EXPECT_FALSE(none.Changed(nullptr));
    Edit emptied(stored);
    emptied.rowText[0] = emptied.rowText[1] = "";
    emptied.Read();
    EXPECT_TRUE(emptied.Changed(stored));
    EXPECT_EQ(emptied.Merged(stored), "");
    char tiny[4];
    EXPECT_FALSE(MergeServerList(stored, edit.record, edit.origins, true, tiny, sizeof(tiny)));
    EXPECT_STREQ(tiny, "");
}

TEST(StoredValues, only_the_expected_type_and_size_read) {
    EXPECT_TRUE(StoredValueReadable(ValueForm::Number, kRegNumber, 4, false, nullptr));
    EXPECT_FALSE(StoredValueReadable(ValueForm::Number, kRegString, 8, true, "900"));
    EXPECT_FALSE(StoredValueReadable(ValueForm::Number, kRegBinary, 4, false, nullptr));
    EXPECT_TRUE(StoredValueReadable(ValueForm::Text, kRegString, 20, true, "C:\\w32time.log"));
    EXPECT_FALSE(StoredValueReadable(ValueForm::Text, kRegString, 604, false, ""));
    EXPECT_FALSE(StoredValueReadable(ValueForm::Text, kRegExpandString, 20, true, "x"));
    EXPECT_TRUE(StoredValueReadable(ValueForm::SyncType, kRegString, 8, true, "nt5ds"));
    EXPECT_FALSE(StoredValueReadable(ValueForm::SyncType, kRegString, 24, true, "Not Touched"));
    EXPECT_FALSE(StoredValueReadable(ValueForm::SyncType, kRegString, 18, true, "Disabled"));
    EXPECT_FALSE(StoredValueReadable(ValueForm::SyncType, kRegNumber, 4, true, "NTP"));
}

TEST(StoredValues, changed_values_are_named_by_the_value_each_setting_is_stored_in) {
    SettingsRecord before{};
    ParseServerList(kEightServers, &before);
    before.fileLogging = 1;
    std::snprintf(before.fileLogName, sizeof(before.fileLogName), "C:\\w32time.log");
    SettingsRecord after = before;
    EXPECT_EQ(ChangedSettingValues(before, after), 0u);
    // Leftovers in a slot not in use and the registration fields are not stored settings.
    after.serverCount = 5;
    before.serverCount = 5;
    std::snprintf(after.servers[5].name, kServerNameSize, "leftover");
    after.agentInstalled = 1;
    after.dnsLookups = 1;
    EXPECT_EQ(ChangedSettingValues(before, after), 0u);

    after.ntpClientPollInterval = 900;
    after.syncType = kSyncNoSync;
    after.servers[4].flags = 1;
    std::snprintf(after.fileLogName, sizeof(after.fileLogName), "C:\\other.log");
    EXPECT_EQ(ChangedSettingValues(before, after),
              kValueClientInterval | kValueSyncType | kValueServerList | kFileLogValues);
    // A rule that adds a server changes the list alone.
    after = before;
    after.serverCount = 6;
    EXPECT_EQ(ChangedSettingValues(before, after), kValueServerList);
    after = before;
    after.agentEnabled = 1;
    after.alertThreshold = 5;
    EXPECT_EQ(ChangedSettingValues(before, after), kValueAgentEnabled | kValueAgentThreshold);
}

TEST(SettingsSchema, each_value_is_listed_once_and_every_change_to_it_is_seen) {
    size_t count = 0;
    const SettingField* fields = SettingFields(&count);
    uint32_t bits = 0;
    for (size_t i = 0; i < count; ++i) {
        const SettingField& field = fields[i];
        SCOPED_TRACE(std::string(field.key) + " " + field.name);
        for (size_t j = 0; j < i; ++j) {
            EXPECT_FALSE(std::string(fields[j].key) == field.key &&
                         std::string(fields[j].name) == field.name);
        }
        EXPECT_EQ(bits & field.bit, 0u);
        bits |= field.bit;

        SettingsRecord before{};
        ParseServerList("ntp1,0x9", &before);
        SettingsRecord after = before;
        switch (field.type) {
        case SettingType::Text:
            std::snprintf(SettingText(&after, field), field.limit + 1, "%s", "changed");
            break;
        case SettingType::ServerList:
            after.servers[0].flags = 1;
            break;
        default:
            *SettingNumber(&after, field) += 1;
        }
        const uint32_t expected = (field.bit & kFileLogValues) != 0 ? kFileLogValues : field.bit;
        EXPECT_EQ(ChangedSettingValues(before, after), expected);
        EXPECT_TRUE(StoredSettingsDiffer(before, after));
    }
    // Every value Apply may write is in the table.
    EXPECT_EQ(bits, (kValueReferenceClock << 1) - 1);
}
