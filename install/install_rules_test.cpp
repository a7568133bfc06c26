#include "install/install_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

SettingsRecord RecordWithServers(std::initializer_list<const char*> names) {
    SettingsRecord record{};
    for (auto& slot : record.servers) {
        slot.flags = kDefaultServerFlags;
    }
    for (const char* name : names) {
        std::snprintf(record.servers[record.serverCount].name, kServerNameSize, "%s", name);
        ++record.serverCount;
    }
    return record;
}

TEST(InstallRules, a_module_replaces_one_without_version_or_an_older_one_only) {
    const uint64_t v4_1_1 = (uint64_t{0x00040001} << 32) | 0x00010000;
    const uint64_t v4_1_2 = (uint64_t{0x00040001} << 32) | 0x00020000;
    const uint64_t v4_2_0 = uint64_t{0x00040002} << 32;
    EXPECT_TRUE(IsNewerVersion(v4_1_1, 0));      // no file, or no version resource
    EXPECT_TRUE(IsNewerVersion(v4_1_2, v4_1_1)); // the low half decides when the high is equal
    EXPECT_FALSE(IsNewerVersion(v4_1_1, v4_1_1));
    EXPECT_FALSE(IsNewerVersion(v4_1_2, v4_2_0)); // the high half first
    EXPECT_FALSE(IsNewerVersion(0, v4_1_1));
}

TEST(InstallRules, settings_differ_in_any_setting_but_not_in_unused_slots) {
    SettingsRecord before = RecordWithServers({"ntp1", "ntp2"});
    std::snprintf(before.referenceClock, sizeof(before.referenceClock), "clock.lan");
    SettingsRecord after = before;
    EXPECT_FALSE(SettingsDiffer(before, after));

    // Leftovers behind a terminator or in a slot not in use are no setting.
    std::memcpy(after.referenceClock + 10, "junk", 4);
    std::snprintf(after.servers[4].name, kServerNameSize, "leftover");
    EXPECT_FALSE(SettingsDiffer(before, after));

    after = before;
    after.timeSource = 1;
    EXPECT_TRUE(SettingsDiffer(before, after));
    after = before;
    after.agentInstalled = 1;
    EXPECT_TRUE(SettingsDiffer(before, after));
    after = before;
    std::snprintf(after.fileLogName, sizeof(after.fileLogName), "c:\\w32time.log");
    EXPECT_TRUE(SettingsDiffer(before, after));
    after = before;
    after.servers[1].flags = 9;
    EXPECT_TRUE(SettingsDiffer(before, after));
    after = before;
    std::snprintf(after.servers[0].name, kServerNameSize, "NTP1"); // stored as typed
    EXPECT_TRUE(SettingsDiffer(before, after));
    after = before;
    AddTimeServer(&after, "ntp3");
    EXPECT_TRUE(SettingsDiffer(before, after));
}

TEST(InstallRules, server_list_takes_new_names_last_up_to_six_and_never_twice) {
    SettingsRecord record = RecordWithServers({"Time.Lan"});
    record.servers[1].flags = 9; // a free slot keeps the flags it had
    AddTimeServer(&record, "time.lan");
    AddTimeServer(&record, "");
    EXPECT_EQ(record.serverCount, 1u);
    AddTimeServer(&record, kPublicTimeServers[0]);
    AddTimeServer(&record, kPublicTimeServers[1]);
    ASSERT_EQ(record.serverCount, 3u);
    EXPECT_STREQ(record.servers[1].name, "pool.ntp.org");
    EXPECT_EQ(record.servers[1].flags, 9u);
    EXPECT_STREQ(record.servers[2].name, "time.nist.gov");
    AddTimeServer(&record, "TIME.NIST.GOV");
    EXPECT_EQ(record.serverCount, 3u);

    const std::string longName(80, 'x');
    AddTimeServer(&record, longName.c_str());
    EXPECT_EQ(std::string(record.servers[3].name), std::string(63, 'x'));
    AddTimeServer(&record, longName.c_str()); // the same name once cut
    EXPECT_EQ(record.serverCount, 4u);
    AddTimeServer(&record, "five");
    AddTimeServer(&record, "six");
    AddTimeServer(&record, "seven");
    EXPECT_EQ(record.serverCount, 6u);
    EXPECT_STREQ(record.servers[5].name, "six");
}

TEST(InstallRules, first_installation_turns_the_agent_on_and_a_repeat_keeps_the_users_values) {
    SettingsRecord record{};
    record.agentInputProvider = 1;
    MarkFirstInstallation(&record);
    EXPECT_EQ(record.agentInstalled, 1u);
    EXPECT_EQ(record.agentEnabled, 1u);
    EXPECT_EQ(record.agentInputProvider, 0u);

    record.agentEnabled = 0; // the user switched it off later
    record.agentInputProvider = 1;
    MarkFirstInstallation(&record);
    EXPECT_EQ(record.agentEnabled, 0u);
    EXPECT_EQ(record.agentInputProvider, 1u);
}

TEST(InstallRules, family_products_take_the_clock_from_windows_time_as_they_need) {
    SettingsRecord base{};
    base.ntpClientEnabled = 1;
    base.ntpClientInputProvider = 1;
    base.ntpServerEnabled = 1;
    base.syncType = kSyncNtp;
    base.serviceStart = 3;
    base.announceFlags = 5;

    SettingsRecord none = base;
    EXPECT_FALSE(ApplyFamilyAdjustments(&none, kFamilyNone, true, true, 0x18));
    EXPECT_FALSE(SettingsDiffer(none, base));

    for (uint32_t client : {kFamilyClient, kFamilyThinClient, kFamilyUltraThinClient}) {
        SettingsRecord record = base;
        EXPECT_TRUE(ApplyFamilyAdjustments(&record, client, false, false, 0x1001));
        EXPECT_EQ(record.syncType, kSyncNoSync);
        EXPECT_EQ(record.ntpClientEnabled, 0u);
        EXPECT_EQ(record.ntpClientInputProvider, 0u);
        EXPECT_EQ(record.serviceStart, 2u);
        EXPECT_EQ(record.ntpServerEnabled, 1u);
    }

    SettingsRecord slave = base;
    EXPECT_TRUE(ApplyFamilyAdjustments(&slave, kFamilyServer, true, false, 0x1001));
    EXPECT_EQ(slave.syncType, kSyncNoSync);
    EXPECT_EQ(slave.ntpClientEnabled, 0u);
    EXPECT_EQ(slave.announceFlags, 5u); // not a domain controller: the server side is kept

    SettingsRecord master = base;
    master.ntpClientEnabled = 0;
    master.syncType = kSyncNt5ds;
    EXPECT_TRUE(ApplyFamilyAdjustments(&master, kFamilyServer, false, false, 0x1001));
    EXPECT_EQ(master.ntpClientEnabled, 1u);
    EXPECT_EQ(master.ntpClientInputProvider, 1u);
    EXPECT_EQ(master.syncType, kSyncNt5ds);

    // Domain controllers: the family server answering NTP switches the Windows one off.
    SettingsRecord serving = base;
    EXPECT_TRUE(ApplyFamilyAdjustments(&serving, kFamilyServer, false, true, 0x1008));
    EXPECT_EQ(serving.ntpServerEnabled, 0u);
    EXPECT_EQ(serving.announceFlags, 0u);
    EXPECT_EQ(serving.syncType, kSyncNoSync);
    SettingsRecord backup = base;
    backup.ntpServerEnabled = 0;
    EXPECT_TRUE(ApplyFamilyAdjustments(&backup, kFamilyServer, false, false, 0x1010));
    EXPECT_EQ(backup.ntpServerEnabled, 1u);
    EXPECT_EQ(backup.announceFlags, 10u);

    const char* key = nullptr;
    const char* value = nullptr;
    ASSERT_TRUE(FamilyBlobLocation(kFamilyThinClient, &key, &value));
    EXPECT_STREQ(key, "\\\\Software\\Tessaric\\Quorvex Client\\Parameters");
    EXPECT_STREQ(value, "Client Settings");
    ASSERT_TRUE(FamilyBlobLocation(kFamilyServer, &key, &value));
    EXPECT_STREQ(value, "Server Settings");
    EXPECT_FALSE(FamilyBlobLocation(kFamilyNone, &key, &value));
}

TEST(InstallRules, family_blob_gives_slave_mode_and_four_names_cut_to_their_fields) {
    uint8_t blob[kFamilyBlobSize] = {};
    blob[4] = 1;
    std::memcpy(blob + 43, "tick.lan", 8);
    std::memset(blob + 175, 'z', 66); // fills its field with no terminator
    const FamilyBlobFacts facts = ReadFamilyBlob(blob);
    EXPECT_TRUE(facts.slave);
    EXPECT_STREQ(facts.names[0], "tick.lan");
    EXPECT_STREQ(facts.names[1], "");
    EXPECT_EQ(std::string(facts.names[2]), std::string(65, 'z'));
    EXPECT_STREQ(facts.names[3], "");
}

TEST(InstallRules, rundll_command_line_in_any_case_install_before_remove) {
    EXPECT_EQ(ParseRunDllCommand(nullptr), RunDllCommand::kMissing);
    EXPECT_EQ(ParseRunDllCommand(""), RunDllCommand::kMissing);
    EXPECT_EQ(ParseRunDllCommand("/INSTALL"), RunDllCommand::kInstall);
    EXPECT_EQ(ParseRunDllCommand(" -Remove"), RunDllCommand::kRemove);
    EXPECT_EQ(ParseRunDllCommand("-remove -install"), RunDllCommand::kInstall);
    EXPECT_EQ(ParseRunDllCommand("install"), RunDllCommand::kUnknown);
    EXPECT_EQ(ParseRunDllCommand("-uninstall"), RunDllCommand::kUnknown);
}

TEST(InstallRules, progress_and_uninstall_texts) {
    EXPECT_STREQ(ProgressProductText(),
                 "Horologix, 4.1.b.20070418R\r\nFreeware from Tessaric - www.tessaric.com");
    char text[300];
    EXPECT_STREQ(FormatProgressAction(true, nullptr, text, sizeof(text)),
                 "Installing/Upgrading...");
    EXPECT_STREQ(FormatProgressAction(false, "TIMEHOST", text, sizeof(text)),
                 "Removing TIMEHOST...");
    EXPECT_STREQ(FormatUninstallCommand("C:\\WINDOWS\\system32\\", text, sizeof(text)),
                 "rundll32.exe C:\\WINDOWS\\system32\\kestrel.cpl,RunDll -remove");
    EXPECT_STREQ(FormatUninstallIcon("C:\\WINDOWS\\system32\\", text, sizeof(text)),
                 "C:\\WINDOWS\\system32\\kestrel.cpl,0");
}

} // namespace
