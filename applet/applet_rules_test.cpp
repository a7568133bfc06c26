#include "applet/applet_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/system_identity.h"
#include "resources/resource.h"

namespace {

constexpr char kModule[] = "4.1.b.20070418R";

TEST(AgentUpgrade, follows_the_installed_version_and_its_release_mark) {
    // Nothing installed, or no version recorded: always.
    EXPECT_TRUE(AgentUpgradeNeeded(kModule, "4.1.b.20070418R", false));
    EXPECT_TRUE(AgentUpgradeNeeded(kModule, "", true));
    // Same kind: only a newer text replaces the installed one, letter case ignored.
    EXPECT_TRUE(AgentUpgradeNeeded(kModule, "4.1.b.20061201R", true));
    EXPECT_FALSE(AgentUpgradeNeeded(kModule, "4.1.b.20070418R", true));
    EXPECT_FALSE(AgentUpgradeNeeded(kModule, "4.1.B.20070418R", true));
    EXPECT_FALSE(AgentUpgradeNeeded(kModule, "4.1.b.20080101R", true));
    EXPECT_TRUE(AgentUpgradeNeeded("4.1.b.20070418", "4.1.a.20070418", true));
    EXPECT_FALSE(AgentUpgradeNeeded("4.1.b.20070418", "4.1.b.20070418", true));
    // A release build replaces a test build of the same or an older date, never a newer one.
    EXPECT_TRUE(AgentUpgradeNeeded(kModule, "4.1.b.20070418", true));
    EXPECT_TRUE(AgentUpgradeNeeded(kModule, "4.1.b.20070101", true));
    EXPECT_FALSE(AgentUpgradeNeeded(kModule, "4.1.b.20071231", true));
    // A test build never replaces a release build.
    EXPECT_FALSE(AgentUpgradeNeeded("4.1.b.20090101", "4.1.b.20070418R", true));
    // Only the first upper-case R cuts: a lower-case r is part of the text.
    EXPECT_TRUE(AgentUpgradeNeeded(kModule, "4.1.a.r", true));
}

TEST(HelpAddress, names_product_subject_and_version_and_stays_in_its_buffer) {
    char address[256];
    EXPECT_STREQ(FormatHelpAddress("servicetab", address, sizeof(address)),
                 "https://www.tessaric.com/onlinehelp.asp?product=kestrelcpl&subject=servicetab"
                 "&version=4.1.b.20070418R");
    char small[20];
    std::memset(small, 'x', sizeof(small));
    FormatHelpAddress("abouttab", small, sizeof(small));
    EXPECT_EQ(std::strlen(small), sizeof(small) - 1);
}

TEST(ServicePageRules, start_types_and_log_sizes_round_trip) {
    EXPECT_EQ(StartupIndexOfStart(2), kStartupAutomatic);
    EXPECT_EQ(StartupIndexOfStart(3), kStartupManual);
    for (uint32_t other : {0u, 1u, 4u, 5u, 0xFFFFFFFFu}) {
        EXPECT_EQ(StartupIndexOfStart(other), kStartupDisabled) << other;
    }
    EXPECT_EQ(StartOfStartupIndex(kStartupAutomatic), 2u);
    EXPECT_EQ(StartOfStartupIndex(kStartupManual), 3u);
    EXPECT_EQ(StartOfStartupIndex(kStartupDisabled), 4u);
    EXPECT_EQ(StartOfStartupIndex(-1), 4u); // no selection

    EXPECT_EQ(LogSizeBytes(5), 5242880u);
    EXPECT_EQ(LogSizeMegabytes(5242880), 5u);
    EXPECT_EQ(LogSizeMegabytes(1048575), 0u); // shown as 0, replaced by 3 in the control
    // A typed size that does not fit 32 bits of bytes stores the largest that does.
    EXPECT_EQ(LogSizeBytes(4096), 0xFFF00000u);
    EXPECT_EQ(LogSizeBytes(4095), 0xFFF00000u);
    EXPECT_EQ(LogSizeBytes(0xFFFFFFFFu), 0xFFF00000u);
}

TEST(SheetPages, order_and_conditions_per_release) {
    int pages[kMaxSheetPages];
    ASSERT_EQ(SheetPageTemplates(kOsWinXP, true, pages), 5u);
    EXPECT_EQ(std::vector<int>(pages, pages + 5),
              (std::vector<int>{IDD_CLIENT_PAGE, IDD_SERVER_PAGE, IDD_AGENT_PAGE, IDD_SERVICE_PAGE,
                                IDD_ABOUT_PAGE}));
    ASSERT_EQ(SheetPageTemplates(kOsWin2000, true, pages), 4u);
    EXPECT_EQ(std::vector<int>(pages, pages + 4),
              (std::vector<int>{IDD_CLIENT_PAGE_2000, IDD_SERVER_PAGE, IDD_SERVICE_PAGE,
                                IDD_ABOUT_PAGE}));
    ASSERT_EQ(SheetPageTemplates(kOsLonghorn, false, pages), 4u);
    EXPECT_EQ(pages[0], IDD_CLIENT_PAGE);
    EXPECT_EQ(pages[2], IDD_SERVICE_PAGE);
}

TEST(AboutText, lines_fit_the_fixed_font_layout) {
    const std::string text = kAboutDescription;
    EXPECT_EQ(text.rfind("Horologix 4.1.b.20070418R\r\n", 0), 0u);
    size_t start = 0;
    int lines = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        // A tab stop is three characters wide in the page's layout.
        size_t width = 0;
        for (char c : line) {
            width = c == '\t' ? (width / 3 + 1) * 3 : width + 1;
        }
        EXPECT_LE(width, kAboutLineChars) << line;
        start = end + 2;
        ++lines;
    }
    EXPECT_GT(lines, 30);
}

} // namespace
