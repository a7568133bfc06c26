#include "applet/server_rules.h"
#include "config/settings_changes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

SettingsRecord Record() {
    SettingsRecord record{};
    record.ntpClientEnabled = 1;
    record.ntpClientInputProvider = 1;
    record.syncType = kSyncNtp;
    return record;
}

TEST(ServerOptions, announce_flags_select_both_options_and_store_back) {
    SettingsRecord record = Record();
    record.ntpServerEnabled = 1;
    record.announceFlags = 10;
    EXPECT_EQ(ServerOptionOfRecord(record), kServerAutomatic);
    EXPECT_EQ(ReliableOptionOfRecord(record), kReliableAutomatic);
    record.announceFlags = 5;
    EXPECT_EQ(ServerOptionOfRecord(record), kServerAlways);
    EXPECT_EQ(ReliableOptionOfRecord(record), kReliableAlways);
    record.announceFlags = 0;
    EXPECT_EQ(ServerOptionOfRecord(record), kServerDisabled);
    EXPECT_EQ(ReliableOptionOfRecord(record), kReliableNever);
    record.announceFlags = 5;
    record.ntpServerEnabled = 0; // the server switch wins over the flags
    EXPECT_EQ(ServerOptionOfRecord(record), kServerDisabled);
    EXPECT_EQ(ReliableOptionOfRecord(record), kReliableNever);

    StoreServerOptions(kServerDisabled, kReliableAlways, &record);
    EXPECT_EQ(record.announceFlags, 0u);
    EXPECT_EQ(record.ntpServerEnabled, 0u);
    StoreServerOptions(kServerAlways, kReliableAlways, &record);
    EXPECT_EQ(record.announceFlags, 5u);
    EXPECT_EQ(record.ntpServerEnabled, 1u);
    StoreServerOptions(kServerAutomatic, kReliableNever, &record);
    EXPECT_EQ(record.announceFlags, 2u);
    StoreServerOptions(kServerAutomatic, -1, &record);
    EXPECT_EQ(record.announceFlags, 10u);

    EXPECT_STREQ(ServerDisabledText(kFamilyNone, 0), "&Disabled");
    EXPECT_STREQ(ServerDisabledText(kFamilyServer, 0), "&Disabled - Let Quorvex II serve NTP time");
    EXPECT_STREQ(ServerDisabledText(kFamilyServer, 1),
                 "&Disabled - The Windows Time NtpClient owns port UDP/123");
}

TEST(ServerTest, sentence_names_stratum_and_reference_and_takes_the_client_verdict) {
    uint8_t reply[48] = {};
    reply[1] = 1;
    std::memcpy(reply + 12, "GPS\0", 4);
    char text[700];
    int icon = -1;
    const std::string head = "VM provided a valid timestamp, and it believes the time to be "
                             "correct. The NTP stratum reported was ";
    FormatServerTestSuccess("VM", reply, kVerdictUnknown, &icon, text, sizeof(text));
    EXPECT_EQ(text, head + "1, and the time source was GPS. The time being served cannot be "
                           "verified with listed sources.");
    EXPECT_EQ(icon, kVerdictWarning);
    std::memcpy(reply + 12, "PPS1", 4);
    FormatServerTestSuccess("VM", reply, kVerdictGood, &icon, text, sizeof(text));
    EXPECT_EQ(text, head + "1, and the time source was PPS1. The time being served appears "
                           "relatively accurate.");
    EXPECT_EQ(icon, kVerdictGood);

    reply[1] = 3;
    const uint8_t address[4] = {127, 0, 0, 1};
    std::memcpy(reply + 12, address, 4);
    FormatServerTestSuccess("VM", reply, kVerdictBad, &icon, text, sizeof(text));
    EXPECT_EQ(text, head + "3, and the time source was 127.0.0.1. HOWEVER, the time being "
                           "served is WRONG.");
    EXPECT_EQ(icon, kVerdictBad);
    std::memset(reply + 12, 0, 4);
    FormatServerTestSuccess("VM", reply, kVerdictWarning, &icon, text, sizeof(text));
    EXPECT_EQ(text, head + "3, and the time source was Unknown. HOWEVER, the time is not "
                           "well-synchronized.");
    EXPECT_EQ(icon, kVerdictWarning);

    FormatServerTestFailure("VM", 1901, "unused", &icon, text, sizeof(text));
    EXPECT_EQ(icon, kVerdictWarning);
    EXPECT_EQ(std::string(text).rfind("Unable to get the time from VM. The server responded", 0),
              0u);
    FormatServerTestFailure("VM", 0, "Error 10060: timed out", &icon, text, sizeof(text));
    EXPECT_STREQ(text, "Unable to get the time from VM. A socket error occurred: Error 10060: "
                       "timed out");
    EXPECT_EQ(icon, kVerdictBad);
}

TEST(ServerControls, reliability_and_test_follow_serving_and_the_family_server) {
    const ServerPageControls off = ServerControlStates(true, false, kFamilyNone);
    EXPECT_TRUE(off.laterOptions);
    EXPECT_FALSE(off.reliable2000);
    EXPECT_FALSE(off.reliableEnabled);
    EXPECT_FALSE(off.testEnabled);
    const ServerPageControls serving = ServerControlStates(true, true, kFamilyNone);
    EXPECT_TRUE(serving.reliableEnabled);
    EXPECT_TRUE(serving.testEnabled);
    // The family server answers on the port itself: its answer can be tested with ours off.
    EXPECT_TRUE(ServerControlStates(true, false, kFamilyServer).testEnabled);
    const ServerPageControls w2k = ServerControlStates(false, true, kFamilyNone);
    EXPECT_FALSE(w2k.laterOptions);
    EXPECT_TRUE(w2k.reliable2000);
    EXPECT_EQ(ServerOptionValues(true), kValueAnnounceFlags | kValueServerEnabled);
    EXPECT_EQ(ServerOptionValues(false), static_cast<uint32_t>(kValueLocalNtp));
}

TEST(ServerControls, the_family_servers_ntp_is_asked_about_once_on_later_releases) {
    EXPECT_TRUE(ServerConflictAsked(true, true, true));
    EXPECT_FALSE(ServerConflictAsked(true, false, true)); // already confirmed on this page
    EXPECT_FALSE(ServerConflictAsked(true, true, false)); // it does not serve NTP
    EXPECT_FALSE(ServerConflictAsked(false, true, true)); // Windows 2000 has no such option
}

} // namespace

TEST(ServerControls, group_policy_locks_the_options_whose_values_it_sets) {
    EXPECT_TRUE(PolicySetsServerOption(true, kValueServerEnabled));
    EXPECT_TRUE(PolicySetsServerOption(true, kValueAnnounceFlags));
    EXPECT_FALSE(PolicySetsServerOption(true, kValueServerList | kValueSyncType));
    EXPECT_FALSE(PolicySetsServerOption(false, kValueServerEnabled)); // 2000 stores LocalNTP
    EXPECT_TRUE(PolicySetsReliability(kValueAnnounceFlags));
    EXPECT_FALSE(PolicySetsReliability(kValueServerEnabled));
}
