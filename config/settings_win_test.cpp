// The settings model against the prefix's real registry, as on Windows XP and on Windows 2000.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "agent/agent_test_util_win.h"
#include "common/system_identity.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "config/settings_platform.h"

namespace {

const char kW32Time[] = "System\\CurrentControlSet\\Services\\W32Time";
const char kParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
const char kConfig[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Config";
const char kNtpClient[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
const char kAgent[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";
const char kService[] = "\\\\System\\CurrentControlSet\\Services\\W32Time";
const char kLanMan[] = "\\\\System\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
const char kCategory[] =
    "\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended "
    "Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2";
const char kCategoryValue[] = "%systemroot%\\system32\\kestrel.cpl";
const char kFamilyServerRoot[] = "\\\\Software\\Tessaric\\Quorvex Server";
const char kFamilyClientRoot[] = "\\\\Software\\Tessaric\\Quorvex Client";

std::string Text(const char* key, const char* name) {
    char buffer[1024];
    if (!ReadString(key, name, buffer, sizeof(buffer) - 1, nullptr)) {
        return "<missing>";
    }
    return buffer;
}

void DeleteTree(const char* path) {
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, path);
}

// Starts from none of the keys the model reads and puts back the keys as they were, and the
// service's start type and the LAN Manager flag, which belong to the stand-in service's
// registration.
class SettingsModel : public ::testing::Test {
protected:
    void SetUp() override {
        IdentifyLocalSystemOnce();
        savedOs_ = LocalSystemIdentity().os;
        savedStart_ = ReadNumber(kService, "Start", 0xFFFFFFFF);
        savedTimeSource_ = ReadNumber(kLanMan, "TimeSource", 0xFFFFFFFF);
        Clean();
        SetProcessOsFamily(kOsWinXP);
    }
    void TearDown() override {
        Clean();
        SetProcessOsFamily(savedOs_);
        if (savedStart_ != 0xFFFFFFFF) {
            WriteNumber(kService, "Start", savedStart_);
        } else {
            DeleteValue(kService, "Start");
        }
        if (savedTimeSource_ != 0xFFFFFFFF) {
            WriteNumber(kLanMan, "TimeSource", savedTimeSource_);
        } else {
            DeleteValue(kLanMan, "TimeSource");
        }
    }
    static void Clean() {
        for (const char* key : {"Parameters", "Config", "TimeProviders\\NtpClient",
                                "TimeProviders\\NtpServer", "TimeProviders\\Horologix"}) {
            DeleteTree((std::string(kW32Time) + "\\" + key).c_str());
        }
        DeleteValue(kCategory, kCategoryValue);
        DeleteTree("Software\\Tessaric\\Quorvex Server");
        DeleteTree("Software\\Tessaric\\Quorvex Client");
        DeleteTree("System\\CurrentControlSet\\Services\\Quorvex Server");
        DeleteTree("System\\CurrentControlSet\\Services\\Quorvex Client");
    }

    OsFamily savedOs_ = 0;
    uint32_t savedStart_ = 0;
    uint32_t savedTimeSource_ = 0;
    // Put back as they were after each test.
    SavedRegistryKeys saved_{kW32TimeParametersKey,
                             kW32TimeConfigKey,
                             kNtpClientProviderKey,
                             kNtpServerProviderKey,
                             kAgentProviderKey,
                             kControlPanelCategoryKey,
                             kFamilyServerKey,
                             kFamilyClientKey,
                             "System\\CurrentControlSet\\Services\\Quorvex Server",
                             "System\\CurrentControlSet\\Services\\Quorvex Client"};
};

} // namespace

TEST_F(SettingsModel, missing_values_load_their_defaults) {
    SettingsRecord record{};
    LoadSettings(&record);
    EXPECT_EQ(record.syncType, kSyncNtp);
    EXPECT_EQ(record.serverCount, 0u);
    EXPECT_EQ(record.agentPollInterval, 1800u);
    EXPECT_EQ(record.alertThreshold, 2u);
    EXPECT_EQ(record.alertIfUnverified, 1u);
    EXPECT_EQ(record.alertIfUnsynchronized, 1u);
    EXPECT_EQ(record.dnsLookups, 1u);
    EXPECT_EQ(record.agentInstalled, 0u);
    EXPECT_EQ(record.fileLogging, 0u);
    EXPECT_STREQ(record.referenceClock, "");
    EXPECT_NE(record.agentFilePresent, 2u); // looked for in the system folder
}

TEST_F(SettingsModel, server_list_and_type_round_trip_on_xp_with_the_agent_values) {
    WriteString(kParameters, "NTPServer", "time.lan,0x9 ntp2.lan,0x1");
    WriteString(kParameters, "Type", "nt5ds");
    WriteString(kAgent, "Reference Clock", std::string(62, 'r').c_str()); // too long: default
    WriteNumber(kConfig, "FileLogSize", 100000);
    WriteString(kConfig, "FileLogEntries", "0-116");
    WriteString(kConfig, "FileLogName", "C:\\w32time.log");
    SettingsRecord record{};
    LoadSettings(&record);
    EXPECT_EQ(record.syncType, kSyncNt5ds);
    ASSERT_EQ(record.serverCount, 2u);
    EXPECT_EQ(record.servers[0].flags, 9u);
    EXPECT_STREQ(record.referenceClock, "");
    EXPECT_EQ(record.fileLogging, 1u);

    record.agentEnabled = 1;
    record.alertThreshold = 5;
    std::snprintf(record.referenceClock, sizeof(record.referenceClock), "%s", "gps.lan");
    SaveSettings(record, true);
    EXPECT_EQ(Text(kParameters, "NTPServer"), "time.lan,0x9 ntp2.lan,0x1");
    EXPECT_EQ(Text(kParameters, "Type"), "NT5DS");
    EXPECT_EQ(Text(kAgent, "DllName"), "kestrel.cpl");
    EXPECT_EQ(Text(kAgent, "Current Version"), "4.1.b.20070418R");
    EXPECT_EQ(Text(kAgent, "Service Installed"), "True");
    EXPECT_EQ(Text(kAgent, "Reference Clock"), "gps.lan");
    EXPECT_EQ(ReadNumber(kAgent, "Alert Threshhold (seconds)", 0), 5u);
    EXPECT_EQ(ReadNumber(kAgent, "OEMID", 7), 0u);
    EXPECT_EQ(ReadNumber(kCategory, kCategoryValue, 0), 6u);
    EXPECT_EQ(Text(kConfig, "FileLogName"), "C:\\w32time.log");

    SettingsRecord again{};
    LoadSettings(&again);
    EXPECT_EQ(again.agentInstalled, 1u);
    EXPECT_EQ(again.agentEnabled, 1u);
    EXPECT_STREQ(again.referenceClock, "gps.lan");
}

TEST_F(SettingsModel, disabled_or_not_touched_load_as_ntp_and_save_as_ntp) {
    for (const char* stored : {"Disabled", "Not Touched", "bogus"}) {
        WriteString(kParameters, "Type", stored);
        SettingsRecord record{};
        LoadSettings(&record);
        EXPECT_EQ(record.syncType, kSyncNtp) << stored;
        SaveSettings(record, false);
        EXPECT_EQ(Text(kParameters, "Type"), "NTP") << stored;
    }
}

TEST_F(SettingsModel, saving_without_the_agent_removes_its_key_and_category_but_keeps_the_rest) {
    SettingsRecord record{};
    LoadSettings(&record);
    SaveSettings(record, true);
    ASSERT_TRUE(KeyExists(kAgent));
    record.serviceStart = 3;
    record.timeSource = 1;
    ParseServerList("one.lan", &record);
    SaveSettings(record, false);
    EXPECT_FALSE(KeyExists(kAgent));
    EXPECT_EQ(ReadNumber(kCategory, kCategoryValue, 99), 99u);
    EXPECT_EQ(ReadNumber(kService, "Start", 0), 3u);
    EXPECT_EQ(ReadNumber(kLanMan, "TimeSource", 0), 1u);
    EXPECT_EQ(Text(kParameters, "NTPServer"), "one.lan,0x1");
    EXPECT_EQ(Text(kParameters, "Type"), "NTP");
}

TEST_F(SettingsModel, windows_2000_saves_bare_names_and_leaves_the_xp_values_alone) {
    SetProcessOsFamily(kOsWin2000);
    WriteNumber(kNtpClient, "Enabled", 77);
    WriteNumber(kConfig, "AnnounceFlags", 55);
    WriteNumber(kParameters, "LocalNTP", 1);
    WriteString(kParameters, "NTPServer", "a.lan,0x9 b.lan");
    SettingsRecord record{};
    record.ntpClientEnabled = 5; // not loaded on Windows 2000: keeps what the record held
    LoadSettings(&record);
    EXPECT_EQ(record.agentFilePresent, 2u);
    EXPECT_EQ(record.ntpClientEnabled, 5u);
    EXPECT_EQ(record.localNtp, 1u);
    EXPECT_EQ(record.servers[0].flags, 9u); // the text still carries them
    SaveSettings(record, true);
    EXPECT_EQ(Text(kParameters, "NTPServer"), "a.lan b.lan");
    EXPECT_EQ(ReadNumber(kNtpClient, "Enabled", 0), 77u);
    EXPECT_EQ(ReadNumber(kConfig, "AnnounceFlags", 0), 55u);
    EXPECT_FALSE(KeyExists(kAgent));
}

TEST_F(SettingsModel, family_products_are_detected_and_their_wishes_applied) {
    EXPECT_EQ(DetectFamilyProduct(), kFamilyNone);
    EXPECT_FALSE(ForceDisabled());
    const std::string client = std::string(kFamilyClientRoot) + "\\Parameters";
    const std::string server = std::string(kFamilyServerRoot) + "\\Parameters";
    WriteBoolean(client.c_str(), "Service Installed", true);
    EXPECT_EQ(DetectFamilyProduct(), kFamilyClient);
    WriteString(client.c_str(), "Ultra Thin Client", "yes");
    EXPECT_EQ(DetectFamilyProduct(), kFamilyUltraThinClient);
    WriteBoolean(client.c_str(), "Thin Client", true);
    EXPECT_EQ(DetectFamilyProduct(), kFamilyThinClient);
    WriteBoolean(server.c_str(), "Service Installed", true);
    EXPECT_EQ(DetectFamilyProduct(), kFamilyServer);

    EXPECT_FALSE(FamilyServerServesNtp());
    WriteBoolean((std::string(kFamilyServerRoot) + "\\Enabled Protocols").c_str(),
                 "NTP/SNTP (RFC 1769)", true);
    EXPECT_TRUE(FamilyServerServesNtp());
    WriteNumber("\\\\System\\CurrentControlSet\\Services\\Quorvex Client", "Start", 4);
    EXPECT_TRUE(FamilyServiceDisabled());
    EXPECT_FALSE(FamilyServerServesNtp());

    SettingsRecord record{};
    record.agentEnabled = 1;
    WriteBoolean(server.c_str(), "Force Horologix Disable", true);
    EXPECT_TRUE(ForceDisabled());
    EXPECT_TRUE(ApplyForceDisable(&record));
    EXPECT_EQ(record.agentEnabled, 0u);
    EXPECT_FALSE(ApplyForceDisable(&record));
}
