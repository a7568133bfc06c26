#include "applet/service_rules.h"
#include "applet/applet_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ServiceStatus, sentence_caption_and_click_follow_the_services_state) {
    char text[128];
    EXPECT_STREQ(FormatServiceStatus("VM", true, text, sizeof(text)),
                 "The Windows Time service on VM is running");
    EXPECT_STREQ(FormatServiceStatus("FARAWAY", false, text, sizeof(text)),
                 "The Windows Time service on FARAWAY is stopped");
    EXPECT_STREQ(StartStopCaption(true), "S&top");
    EXPECT_STREQ(StartStopCaption(false), "S&tart");

    // Running: the click stops it and leaves the list alone.
    const StartStopAction stop = StartStopActionOf(true, kStartupDisabled);
    EXPECT_TRUE(stop.stop);
    EXPECT_EQ(stop.startupIndex, kStartupDisabled);
    // Stopped: starting a disabled service makes it automatic; other types stay.
    EXPECT_FALSE(StartStopActionOf(false, kStartupDisabled).stop);
    EXPECT_EQ(StartStopActionOf(false, kStartupDisabled).startupIndex, kStartupAutomatic);
    EXPECT_EQ(StartStopActionOf(false, kStartupManual).startupIndex, kStartupManual);
}

TEST(ServiceLog, an_empty_setup_gets_defaults_on_the_system_drive) {
    char path[32];
    EXPECT_STREQ(FormatDefaultLogPath("D:\\WINNT\\system32\\", path, sizeof(path)),
                 "D:\\w32time.log");
    EXPECT_STREQ(FormatDefaultLogPath("", path, sizeof(path)), "C:\\w32time.log");
    EXPECT_STREQ(FormatDefaultLogPath(nullptr, path, sizeof(path)), "C:\\w32time.log");
    EXPECT_STREQ(kDefaultLogEntries, "0-300");
    EXPECT_EQ(kDefaultLogMegabytes, 3u);
    EXPECT_TRUE(LogFieldsEnabled(true));
    EXPECT_FALSE(LogFieldsEnabled(false));
}

TEST(ServiceLog, show_log_opens_a_remote_machines_file_through_its_drive_share) {
    char path[300];
    EXPECT_STREQ(FormatLogFilePath("C:\\w32time.log", nullptr, path, sizeof(path)),
                 "C:\\w32time.log");
    EXPECT_STREQ(FormatLogFilePath("C:\\w32time.log", "", path, sizeof(path)), "C:\\w32time.log");
    EXPECT_STREQ(FormatLogFilePath("C:\\logs\\w32time.log", "FARAWAY", path, sizeof(path)),
                 "\\\\FARAWAY\\C$\\logs\\w32time.log");
    // A path without a drive is taken as a share path as it stands.
    EXPECT_STREQ(FormatLogFilePath("logs\\t.log", "FARAWAY", path, sizeof(path)),
                 "\\\\FARAWAY\\logs\\t.log");
    EXPECT_STREQ(FormatLogFilePath("", "FARAWAY", path, sizeof(path)), "\\\\FARAWAY\\");
    // A short buffer keeps its zero.
    char small[8];
    EXPECT_EQ(std::string(FormatLogFilePath("C:\\w32time.log", "FARAWAY", small, sizeof(small))),
              "\\\\FARAW");
}

TEST(ServiceLog, fields_store_logging_only_when_ticked_and_complete) {
    SettingsRecord record{};
    StoreLogFields(true, 5, "C:\\t.log", "0-300", &record);
    EXPECT_EQ(record.fileLogging, 1u);
    EXPECT_EQ(record.fileLogSize, 5242880u);
    EXPECT_STREQ(record.fileLogName, "C:\\t.log");
    EXPECT_STREQ(record.fileLogEntries, "0-300");

    // Unticked: only logging goes off; the fields keep what they held.
    StoreLogFields(false, 0, "", "", &record);
    EXPECT_EQ(record.fileLogging, 0u);
    EXPECT_STREQ(record.fileLogName, "C:\\t.log");

    for (const char* missing : {"size", "path", "entries"}) {
        SettingsRecord partial{};
        const std::string which = missing;
        StoreLogFields(true, which == "size" ? 0 : 1, which == "path" ? "" : "C:\\t.log",
                       which == "entries" ? "" : "0-300", &partial);
        EXPECT_EQ(partial.fileLogging, 0u) << missing;
    }
    // A path longer than the field is cut, keeping its zero.
    const std::string longPath(300, 'x');
    StoreLogFields(true, 1, longPath.c_str(), "0-300", &record);
    EXPECT_EQ(std::string(record.fileLogName), longPath.substr(0, sizeof(record.fileLogName) - 1));
}

} // namespace
