#include "config/policy_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "config/registry.h"
#include "config/settings_changes.h"

namespace {

size_t IndexOf(const char* subkey, const char* name) {
    size_t count = 0;
    const PolicyValueInfo* table = PolicyValueTable(&count);
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(table[i].subkey, subkey) == 0 && std::strcmp(table[i].name, name) == 0) {
            return i;
        }
    }
    ADD_FAILURE() << subkey << "\\" << name << " is not in the table";
    return 0;
}

PolicyStoredValue Text(const std::string& text, uint32_t type = kRegString) {
    PolicyStoredValue value;
    value.present = true;
    value.type = type;
    value.size = static_cast<uint32_t>((text.size() + 1) * 2);
    value.text = text;
    return value;
}

PolicyStoredValue Number(uint32_t number) {
    PolicyStoredValue value;
    value.present = true;
    value.type = kRegNumber;
    value.size = 4;
    value.number = number;
    return value;
}

// A workstation as set up locally: its own server list, NTP, client on, server off.
SettingsRecord LocalRecord() {
    SettingsRecord record{};
    ParseServerList("local-a.example,0x9 local-b.example,0x1", &record);
    record.syncType = kSyncNtp;
    record.ntpClientEnabled = 1;
    record.ntpServerEnabled = 0;
    record.ntpClientPollInterval = 900;
    record.announceFlags = 5;
    record.maxPhaseOffset = 1;
    record.agentEnabled = 1;
    return record;
}

std::string Servers(const SettingsRecord& record) {
    char text[512];
    FormatServerList(record, true, text, sizeof(text));
    return text;
}

} // namespace

TEST(PolicyTable, names_each_value_once_and_each_shown_setting_once) {
    size_t count = 0;
    const PolicyValueInfo* table = PolicyValueTable(&count);
    ASSERT_GT(count, 20u);
    ASSERT_LE(count, PolicyValues::kMaxValues);
    std::set<std::string> names;
    uint32_t shown = 0;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(names.insert(std::string(table[i].subkey) + "\\" + table[i].name).second)
            << table[i].name;
        EXPECT_EQ(shown & table[i].settingValue, 0u) << table[i].name;
        shown |= table[i].settingValue;
        EXPECT_NE(table[i].policyDefault, nullptr);
    }
    // The settings the pages show that policy can set.
    EXPECT_EQ(shown, kValueServerList | kValueSyncType | kValueClientInterval |
                         kValueClientEnabled | kValueServerEnabled | kValueAnnounceFlags);
}

TEST(PolicySettings, without_policy_the_local_configuration_is_in_force_and_saved_as_edited) {
    const SettingsRecord local = LocalRecord();
    const EffectiveSettings settings = ApplyPolicy(local, PolicyValues{}, false);
    EXPECT_EQ(settings.policySet, 0u);
    EXPECT_EQ(settings.policyValueCount, 0u);
    EXPECT_EQ(ChangedSettingValues(settings.effective, local), 0u);

    SettingsRecord edited = settings.effective;
    ParseServerList("edited.example,0x8", &edited);
    edited.syncType = kSyncNt5ds;
    EXPECT_EQ(ChangedSettingValues(LocalRecordToSave(edited, settings), edited), 0u);
}

TEST(PolicySettings, a_policy_server_list_and_type_are_in_force_and_apply_keeps_the_local_ones) {
    PolicyValues policy;
    policy.values[IndexOf("Parameters", "NtpServer")] =
        Text("gp-1.example,0x9 gp-2.example,0x9 gp-3.example,0x1");
    policy.values[IndexOf("Parameters", "Type")] = Text("NTP");
    policy.values[IndexOf("TimeProviders\\NtpClient", "CrossSiteSyncFlags")] = Number(2);
    const SettingsRecord local = LocalRecord();
    const EffectiveSettings settings = ApplyPolicy(local, policy, false);

    EXPECT_EQ(settings.policySet, kValueServerList | kValueSyncType);
    EXPECT_EQ(settings.policyValueCount, 3u);
    EXPECT_EQ(Servers(settings.effective), "gp-1.example,0x9 gp-2.example,0x9 gp-3.example,0x1");
    EXPECT_EQ(settings.effective.syncType, kSyncNtp);
    EXPECT_EQ(Servers(settings.local), "local-a.example,0x9 local-b.example,0x1");
    // Everything policy leaves out keeps its local value.
    EXPECT_EQ(ChangedSettingValues(settings.effective, local), kValueServerList);

    // The user turns the server on (a setting policy leaves alone) and applies: the record to
    // save holds that change, and the local list and type as they were.
    SettingsRecord edited = settings.effective;
    edited.ntpServerEnabled = 1;
    const SettingsRecord saved = LocalRecordToSave(edited, settings);
    EXPECT_EQ(ChangedSettingValues(local, saved), kValueServerEnabled);
}

TEST(PolicySettings, policy_client_and_server_switches_interval_and_flags_override) {
    PolicyValues policy;
    policy.values[IndexOf("TimeProviders\\NtpClient", "Enabled")] = Number(0);
    policy.values[IndexOf("TimeProviders\\NtpServer", "Enabled")] = Number(1);
    policy.values[IndexOf("TimeProviders\\NtpClient", "SpecialPollInterval")] = Number(3600);
    policy.values[IndexOf("Config", "AnnounceFlags")] = Number(10);
    policy.values[IndexOf("Config", "MaxAllowedPhaseOffset")] = Number(300);
    const SettingsRecord local = LocalRecord();
    const EffectiveSettings settings = ApplyPolicy(local, policy, false);
    EXPECT_EQ(settings.effective.ntpClientEnabled, 0u);
    EXPECT_EQ(settings.effective.ntpServerEnabled, 1u);
    EXPECT_EQ(settings.effective.ntpClientPollInterval, 3600u);
    EXPECT_EQ(settings.effective.announceFlags, 10u);
    EXPECT_EQ(settings.effective.maxPhaseOffset, 300u);
    EXPECT_EQ(settings.policySet, kValueClientEnabled | kValueServerEnabled | kValueClientInterval |
                                      kValueAnnounceFlags);
    const SettingsRecord saved = LocalRecordToSave(settings.effective, settings);
    EXPECT_EQ(ChangedSettingValues(local, saved), 0u);
    EXPECT_EQ(saved.maxPhaseOffset, local.maxPhaseOffset);
}

TEST(PolicySettings, unusable_policy_values_leave_the_local_setting_in_force) {
    PolicyValues policy;
    // A number stored as text, a number of eight bytes, an empty list, a cut list, a type that
    // names none, a type stored as a number.
    PolicyStoredValue interval = Text("900");
    policy.values[IndexOf("TimeProviders\\NtpClient", "SpecialPollInterval")] = interval;
    PolicyStoredValue wide = Number(1);
    wide.type = 11; // REG_QWORD
    wide.size = 8;
    policy.values[IndexOf("TimeProviders\\NtpServer", "Enabled")] = wide;
    policy.values[IndexOf("Parameters", "NtpServer")] = Text("");
    policy.values[IndexOf("Parameters", "Type")] = Text("Bogus");
    policy.values[IndexOf("Config", "AnnounceFlags")] = Number(10);
    policy.values[IndexOf("Config", "AnnounceFlags")].size = 2;
    const SettingsRecord local = LocalRecord();
    EffectiveSettings settings = ApplyPolicy(local, policy, false);
    EXPECT_EQ(settings.policySet, 0u);
    EXPECT_EQ(ChangedSettingValues(settings.effective, local), 0u);

    PolicyStoredValue cut = Text("gp-1.example,0x9");
    cut.textCut = true;
    policy.values[IndexOf("Parameters", "NtpServer")] = cut;
    policy.values[IndexOf("Parameters", "Type")] = Number(4);
    settings = ApplyPolicy(local, policy, false);
    EXPECT_EQ(settings.policySet, 0u);

    // Expandable text is text; more than six servers keep the first six, like the local list.
    policy.values[IndexOf("Parameters", "NtpServer")] =
        Text("a,0x1 b,0x1 c,0x1 d,0x1 e,0x1 f,0x1 g,0x1 h,0x1", kRegExpandString);
    settings = ApplyPolicy(local, policy, false);
    EXPECT_EQ(settings.policySet, kValueServerList);
    EXPECT_EQ(settings.effective.serverCount, kMaxTimeServers);
}

TEST(PolicySettings, windows_2000_has_no_time_policy) {
    PolicyValues policy;
    policy.values[IndexOf("Parameters", "NtpServer")] = Text("gp-1.example,0x9");
    const SettingsRecord local = LocalRecord();
    const EffectiveSettings settings = ApplyPolicy(local, policy, true);
    EXPECT_EQ(settings.policySet, 0u);
    EXPECT_EQ(Servers(settings.effective), Servers(local));
}
