#include "applet/client_rules.h"
#include "config/settings_changes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

constexpr uint64_t kMs = 10000; // 100 ns units per millisecond

std::string Variance(int64_t ms) {
    char text[32];
    return FormatVarianceInto(ms, text, sizeof(text));
}

SettingsRecord Record() {
    SettingsRecord record{};
    record.ntpClientEnabled = 1;
    record.ntpClientInputProvider = 1;
    record.syncType = kSyncNtp;
    return record;
}

TEST(StatusVerdict, mean_whole_milliseconds_decide_at_1000_1001_and_2001) {
    EXPECT_EQ(JudgeSyncStatus(0, 0, true).icon, kVerdictUnknown);
    EXPECT_STREQ(JudgeSyncStatus(0, 0, true).line, "Clock synchronization status unknown");
    // Two rows whose mean is exactly 1000 ms, with a sub-millisecond rest that truncates away.
    StatusVerdict good = JudgeSyncStatus(2, 2000 * kMs + 9999, true);
    EXPECT_EQ(good.icon, kVerdictGood);
    EXPECT_STREQ(good.line, "Clock synchronized to within 1 second");
    EXPECT_STREQ(JudgeSyncStatus(1, 1000 * kMs, false).line,
                 "Not able to determine time at machine");
    StatusVerdict warning = JudgeSyncStatus(1, 1001 * kMs, true);
    EXPECT_EQ(warning.icon, kVerdictWarning);
    EXPECT_STREQ(warning.line, "Clock is NOT synchronized to within 1 second");
    EXPECT_EQ(JudgeSyncStatus(1, 2000 * kMs + 9999, false).icon, kVerdictWarning);
    StatusVerdict bad = JudgeSyncStatus(3, 3 * 2001 * kMs, false);
    EXPECT_EQ(bad.icon, kVerdictBad);
    EXPECT_STREQ(bad.line, "Clock is NOT synchronized");
}

TEST(StatusVerdict, variance_shows_seconds_below_a_minute_and_the_largest_unit_above) {
    EXPECT_EQ(Variance(250), "+0.250 secs");
    EXPECT_EQ(Variance(0), "+0.000 secs");
    EXPECT_EQ(Variance(-1500), "-1.500 secs");
    EXPECT_EQ(Variance(59999), "+59.999 secs");
    EXPECT_EQ(Variance(60000), "+1 min");
    EXPECT_EQ(Variance(-150000), "-2 mins");
    EXPECT_EQ(Variance(2 * 3600000 + 5 * 60000), "+2 hrs");
    EXPECT_EQ(Variance(3600000), "+1 hr");
    EXPECT_EQ(Variance(-86400000), "-1 day");
    EXPECT_EQ(Variance(int64_t{400} * 86400000), "+400 days");
    EXPECT_EQ(Variance(INT64_MIN), "-106751991167 days");
    char tiny[6];
    EXPECT_STREQ(FormatVarianceInto(-1500, tiny, sizeof(tiny)), "-1.50");
    // The difference of the two offsets, truncated toward zero in both directions.
    EXPECT_EQ(VarianceMs(15009999, 0), 1500);
    EXPECT_EQ(VarianceMs(0, 15009999), -1500);
    EXPECT_EQ(VarianceMs(25000000, 10000000), 1500);
}

TEST(SyncNowButton, needs_a_running_service_a_managing_option_and_no_pending_sync) {
    for (int option : {kClientNt5ds, kClientAllSync, kClientNtp, kClientNone}) {
        EXPECT_TRUE(SyncNowAllowed(true, option, false)) << option;
    }
    EXPECT_FALSE(SyncNowAllowed(false, kClientNtp, false));
    EXPECT_FALSE(SyncNowAllowed(true, kClientNoSync, false));
    EXPECT_FALSE(SyncNowAllowed(true, kClientDisabled, false));
    // Pressed a moment ago: off until a status pass has looked again.
    EXPECT_FALSE(SyncNowAllowed(true, kClientNtp, true));
}

TEST(ClientOptions, each_option_stores_its_row_of_the_table_and_reads_back) {
    struct Row {
        int option;
        uint32_t enabled, input, type;
    };
    const Row rows[] = {{kClientDisabled, 0, 0, 1}, {kClientNoSync, 1, 0, 1},
                        {kClientNt5ds, 1, 1, 2},    {kClientAllSync, 1, 1, 3},
                        {kClientNtp, 1, 1, 4},      {kClientNone, 1, 1, 4}};
    for (const Row& row : rows) {
        SettingsRecord record = Record();
        record.syncType = kSyncNt5ds;
        StoreClientOption(row.option, &record);
        EXPECT_EQ(record.ntpClientEnabled, row.enabled) << row.option;
        EXPECT_EQ(record.ntpClientInputProvider, row.input) << row.option;
        EXPECT_EQ(record.syncType, row.type) << row.option;
        EXPECT_EQ(HoldsDisabledOption(record), row.option == kClientDisabled);
        EXPECT_EQ(ClientOptionOfRecord(record),
                  row.option == kClientNone ? kClientNtp : row.option);
    }
    SettingsRecord odd = Record();
    odd.syncType = kSyncDisabled;
    EXPECT_EQ(ClientOptionOfRecord(odd), kClientNone);
    odd.ntpClientEnabled = 0; // the client switch wins over any type
    EXPECT_EQ(ClientOptionOfRecord(odd), kClientDisabled);

    // The Windows 2000 template knows three types; AllSync shows nothing and is stored as NTP.
    odd.syncType = kSyncAllSync;
    EXPECT_EQ(Client2000OptionOfRecord(odd), kClientNone);
    EXPECT_EQ(SyncTypeOfClient2000Option(kClientNone), 4u);
    EXPECT_EQ(SyncTypeOfClient2000Option(kClientNoSync), 1u);
    EXPECT_EQ(SyncTypeOfClient2000Option(kClientNt5ds), 2u);
}

TEST(ClientOptions, mode_list_maps_single_flags_and_reduces_the_rest_to_special_interval) {
    EXPECT_STREQ(kServerModeNames[0], "Special Interval");
    EXPECT_STREQ(kServerModeNames[3], "NTP Client Mode");
    const uint32_t flags[] = {0, 1, 2, 4, 8, 9, 3, 16};
    const int indexes[] = {0, 0, 1, 2, 3, 0, 0, 0};
    for (size_t i = 0; i < sizeof(flags) / sizeof(flags[0]); ++i) {
        EXPECT_EQ(ServerModeIndexOfFlags(flags[i]), indexes[i]) << flags[i];
    }
    // Round trip of every index, and nothing selected reads as special interval.
    for (int index = 0; index < 4; ++index) {
        EXPECT_EQ(ServerModeIndexOfFlags(ServerFlagsOfModeIndex(index)), index);
    }
    EXPECT_EQ(ServerFlagsOfModeIndex(-1), 1u);
    EXPECT_EQ(ServerFlagsOfModeIndex(9), 1u);
    EXPECT_EQ(SpecialPollIntervalOfTyped(0), 1u);
    EXPECT_EQ(SpecialPollIntervalOfTyped(900), 900u);
}

TEST(ClientOptions, server_list_is_rebuilt_from_trimmed_non_empty_rows_cut_to_63) {
    SettingsRecord record = Record();
    std::strcpy(record.servers[5].name, "stale");
    record.serverCount = 6;
    const std::string longName(80, 'x');
    const char* texts[6] = {"",      "  one.example \t", nullptr, "two.example",
                            " \r\n", longName.c_str()};
    ServerRow rows[6];
    for (int i = 0; i < 6; ++i) {
        rows[i] = ServerRow{texts[i], 1, -1, -1};
    }
    rows[1].pickedMode = 1;
    rows[3].pickedMode = 3;
    rows[5].pickedMode = 2;
    int origins[6];
    RebuildServerSlots(rows, &record, origins);
    ASSERT_EQ(record.serverCount, 3u);
    EXPECT_STREQ(record.servers[0].name, "one.example");
    EXPECT_EQ(record.servers[0].flags, 2u);
    EXPECT_STREQ(record.servers[1].name, "two.example");
    EXPECT_EQ(record.servers[1].flags, 8u);
    EXPECT_EQ(std::string(record.servers[2].name), longName.substr(0, 63));
    EXPECT_EQ(record.servers[3].name[0], '\0');
    EXPECT_EQ(record.servers[5].name[0], '\0');
}

TEST(ClientOptions, a_family_owner_imposes_disabled_on_readable_values_only) {
    SettingsRecord record = Record();
    StoreClientOption(kClientNtp, &record);
    EXPECT_EQ(ImposeFamilyClockOwner(&record, 0), kClientOptionValues);
    EXPECT_TRUE(HoldsDisabledOption(record));
    EXPECT_EQ(ImposeFamilyClockOwner(&record, 0), 0u); // already there: nothing to write
    // A "Type" stored as "Not Touched" is left to the user; the client is still switched off.
    StoreClientOption(kClientNtp, &record);
    EXPECT_EQ(ImposeFamilyClockOwner(&record, kValueSyncType),
              kValueClientEnabled | kValueClientInput);
    EXPECT_EQ(record.syncType, kSyncNtp);
    record.syncType = kSyncNt5ds;
    EXPECT_EQ(ImposeFamilyClockOwner2000(&record, kValueSyncType), 0u);
    EXPECT_EQ(ImposeFamilyClockOwner2000(&record, 0), kValueSyncType);
    EXPECT_EQ(record.syncType, kSyncNoSync);
}

TEST(ClientOptions, servers_beyond_the_rows_are_named_in_a_note) {
    char note[128];
    EXPECT_STREQ(FormatMoreServersNote(0, note, sizeof(note)), "");
    EXPECT_STREQ(FormatMoreServersNote(1, note, sizeof(note)),
                 "The list holds 1 more server, kept after these.");
    EXPECT_STREQ(FormatMoreServersNote(2, note, sizeof(note)),
                 "The list holds 2 more servers, kept after these.");
}

TEST(ClientOptions, family_products_own_the_clock_as_their_roles_say) {
    EXPECT_FALSE(FamilyClockNoteOf(kFamilyNone, true).ownsClock);
    EXPECT_EQ(std::string(FamilyClockNoteOf(kFamilyNone, false).text).rfind("Windows Time can", 0),
              0u);
    EXPECT_TRUE(FamilyClockNoteOf(kFamilyServer, true).ownsClock);
    EXPECT_FALSE(FamilyClockNoteOf(kFamilyServer, false).ownsClock);
    EXPECT_EQ(std::string(FamilyClockNoteOf(kFamilyServer, false).text)
                  .rfind("Quorvex II Server is not synchronizing", 0),
              0u);
    for (uint32_t client : {kFamilyClient, kFamilyThinClient, kFamilyUltraThinClient}) {
        EXPECT_TRUE(FamilyClockNoteOf(client, false).ownsClock);
        EXPECT_EQ(std::string(FamilyClockNoteOf(client, false).text).rfind("Quorvex II Client", 0),
                  0u);
    }
}

TEST(ClientControls, later_template_opens_rows_and_interval_for_the_managing_options_only) {
    const bool named[kClientRowCount] = {true, false, true, false, false, true};
    for (int option : {kClientDisabled, kClientNoSync, kClientNt5ds, kClientNone}) {
        const ClientPageControls controls = ClientControlStates(true, option, false, named);
        EXPECT_FALSE(controls.serverEdits) << option;
        EXPECT_FALSE(controls.interval) << option;
        EXPECT_FALSE(controls.modeLists[0]) << option;
    }
    for (int option : {kClientAllSync, kClientNtp}) {
        const ClientPageControls controls = ClientControlStates(true, option, false, named);
        EXPECT_TRUE(controls.serverEdits) << option;
        EXPECT_TRUE(controls.interval) << option;
        // A mode list needs a name in its row.
        for (int row = 0; row < kClientRowCount; ++row) {
            EXPECT_EQ(controls.modeLists[row], named[row]) << option << " row " << row;
        }
        for (bool enabled : controls.options) {
            EXPECT_TRUE(enabled);
        }
    }
    EXPECT_EQ(ClientOptionValues(true), kClientOptionValues);
    EXPECT_STREQ(ClientHelpSubject(true), "clienttab");
}

TEST(ClientControls, windows_2000_template_opens_the_rows_for_ntp_alone) {
    const bool named[kClientRowCount] = {true, true, true, true, true, true};
    EXPECT_TRUE(ClientControlStates(false, kClientNtp, false, named).serverEdits);
    for (int option : {kClientNoSync, kClientNt5ds, kClientAllSync, kClientNone}) {
        const ClientPageControls controls = ClientControlStates(false, option, false, named);
        EXPECT_FALSE(controls.serverEdits) << option;
    }
    // No interval and no mode lists on this template, whatever is chosen.
    const ClientPageControls ntp = ClientControlStates(false, kClientNtp, false, named);
    EXPECT_FALSE(ntp.interval);
    EXPECT_FALSE(ntp.modeLists[0]);
    EXPECT_EQ(ClientOptionValues(false), static_cast<uint32_t>(kValueSyncType));
    EXPECT_STREQ(ClientHelpSubject(false), "win2ktab");
}

TEST(ClientControls, a_family_owner_locks_the_options_that_let_windows_time_set_the_clock) {
    const bool named[kClientRowCount] = {};
    const ClientPageControls later = ClientControlStates(true, kClientDisabled, true, named);
    EXPECT_TRUE(later.options[kClientDisabled]);
    for (int option : {kClientNoSync, kClientNt5ds, kClientAllSync, kClientNtp}) {
        EXPECT_FALSE(later.options[option]) << option;
    }
    // On the 2000 template NoSync is what the owner imposes, so it stays open.
    const ClientPageControls w2k = ClientControlStates(false, kClientNoSync, true, named);
    EXPECT_TRUE(w2k.options[kClientNoSync]);
    EXPECT_FALSE(w2k.options[kClientNt5ds]);
    EXPECT_FALSE(w2k.options[kClientNtp]);
}


TEST(ClientControls, group_policy_locks_what_it_sets_and_nothing_else) {
    const bool named[kClientRowCount] = {true, true, false, false, false, false};
    ClientPageControls controls = ClientControlStates(true, kClientNtp, false, named);
    LockPolicySettings(kValueServerList, true, &controls);
    EXPECT_FALSE(controls.serverEdits);
    EXPECT_FALSE(controls.modeLists[0]);
    EXPECT_TRUE(controls.interval);
    EXPECT_TRUE(controls.options[kClientNtp]);

    controls = ClientControlStates(true, kClientNtp, false, named);
    LockPolicySettings(kValueClientEnabled | kValueClientInterval, true, &controls);
    for (bool option : controls.options) {
        EXPECT_FALSE(option);
    }
    EXPECT_FALSE(controls.interval);
    EXPECT_TRUE(controls.serverEdits);

    // On the 2000 template only "Type" is an option's value; no policy, nothing locked.
    controls = ClientControlStates(false, kClientNtp, false, named);
    LockPolicySettings(kValueClientEnabled, false, &controls);
    EXPECT_TRUE(controls.options[kClientNtp]);
    const ClientPageControls before = controls;
    LockPolicySettings(0, false, &controls);
    EXPECT_EQ(std::memcmp(&before, &controls, sizeof(controls)), 0);
}

} // namespace
