#include "setup/setup_rules.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(SetupRules, architecture_picks_the_folder_or_none) {
    EXPECT_STREQ(ArchSubfolder(kArchX86), "i386\\");
    EXPECT_STREQ(ArchSubfolder(kArchX86Win9x), "i386\\");
    EXPECT_STREQ(ArchSubfolder(kArchX64), "AMD64\\");
    for (ArchCode arch : {kArchUnknown, kArchIa64, kArchAlpha, kArchMips, kArchPpc}) {
        EXPECT_EQ(ArchSubfolder(arch), nullptr) << arch;
    }
}

TEST(SetupRules, payload_list_holds_ten_names_ending_with_the_library) {
    char names[kMaxPayloadNames][kPayloadNameSize];
    const size_t count = SplitPayloadList(kPayloadList, names, kMaxPayloadNames);
    ASSERT_EQ(count, 10u);
    EXPECT_STREQ(names[count - 1], "kestrel.cpl");
    EXPECT_FALSE(IsAppletPayload(names[0]));
    EXPECT_TRUE(IsAppletPayload("C:\\dist\\AMD64\\kestrel.cpl"));

    // Both separators, empty names skipped, over-long names cut.
    const std::string list = ",a.exe;;b.exe," + std::string(100, 'c') + ";";
    ASSERT_EQ(SplitPayloadList(list.c_str(), names, kMaxPayloadNames), 3u);
    EXPECT_STREQ(names[0], "a.exe");
    EXPECT_STREQ(names[1], "b.exe");
    EXPECT_EQ(std::string(names[2]), std::string(kPayloadNameSize - 1, 'c'));
    EXPECT_EQ(SplitPayloadList("x,y,z", names, 2), 2u);
}

TEST(SetupRules, setup_folder_is_the_part_before_the_last_separator) {
    char folder[64];
    EXPECT_TRUE(SetupFolderOf("C:\\Downloads\\hx\\setup.exe", folder, sizeof(folder)));
    EXPECT_STREQ(folder, "C:\\Downloads\\hx\\");
    EXPECT_TRUE(SetupFolderOf("Z:/work/dist/setup.exe", folder, sizeof(folder)));
    EXPECT_STREQ(folder, "Z:/work/dist\\");
    EXPECT_FALSE(SetupFolderOf("setup.exe", folder, sizeof(folder)));
    EXPECT_STREQ(folder, "");
    char tiny[8];
    EXPECT_FALSE(SetupFolderOf("C:\\Downloads\\setup.exe", tiny, sizeof(tiny)));
    EXPECT_STREQ(tiny, "");
}

TEST(SetupRules, service_installed_reads_numbers_and_texts_leniently) {
    for (uint32_t no : {0u, 48u, 70u, 78u, 102u, 110u}) {
        EXPECT_FALSE(ServiceInstalledFromNumber(no)) << no;
    }
    for (uint32_t yes : {1u, 49u, 84u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(ServiceInstalledFromNumber(yes)) << yes;
    }
    for (const char* yes : {"True", "1", "yes", "Y", "true"}) {
        EXPECT_TRUE(ServiceInstalledFromText(yes)) << yes;
    }
    for (const char* no : {"False", "N", "0", "", " True"}) {
        EXPECT_FALSE(ServiceInstalledFromText(no)) << no;
    }
    EXPECT_FALSE(ServiceInstalledFromText(nullptr));
}

TEST(SetupRules, upgrade_needs_an_installed_older_or_unreadable_library) {
    const uint64_t v4_1_1 = (uint64_t{0x00040001} << 32) | 0x00010000;
    const uint64_t v4_1_2 = (uint64_t{0x00040001} << 32) | 0x00020000;
    const uint64_t v3_9_9 = (uint64_t{0x00030009} << 32) | 0x00090000;
    EXPECT_FALSE(IsUpgradeable(false, 0, v4_1_1));
    EXPECT_TRUE(IsUpgradeable(true, 0, v4_1_1));
    EXPECT_TRUE(IsUpgradeable(true, v4_1_1, v4_1_2));
    EXPECT_TRUE(IsUpgradeable(true, v3_9_9, v4_1_1));
    EXPECT_FALSE(IsUpgradeable(true, v4_1_1, v4_1_1));
    EXPECT_FALSE(IsUpgradeable(true, v4_1_2, v4_1_1));
}

TEST(SetupRules, first_found_text_decides_the_tab) {
    EXPECT_EQ(FirstFoundTab(true, true, true, true), kTabLicense);
    EXPECT_EQ(FirstFoundTab(false, true, true, true), kTabReadMe);
    EXPECT_EQ(FirstFoundTab(false, false, true, true), kTabSupport);
    EXPECT_EQ(FirstFoundTab(false, false, false, true), kTabFaq);
    EXPECT_EQ(FirstFoundTab(false, false, false, false), kTabNone);
    EXPECT_STREQ(kSupportFiles[2], "contact.txt");
}

TEST(SetupRules, agree_texts_for_each_installation_state) {
    char text[2048];
    FormatAgreeText(false, false, "Tessaric", "Horologix", "4.1", text, sizeof(text));
    EXPECT_EQ(std::string(text).rfind("This program is fully-functioning freeware, compliments\r\n"
                                      "of Tessaric.\r\n\r\nHorologix isn't installed on this "
                                      "machine.\r\n\r\n\tTo install Horologix, click the INSTALL "
                                      "button.",
                                      0),
              0u);
    FormatAgreeText(true, true, "Tessaric", "Horologix", "4.1", text, sizeof(text));
    EXPECT_NE(std::string(text).find("\tTo upgrade to version 4.1, click the UPGRADE button\r\n"
                                     "\tTo remove Horologix, click the REMOVE button\r\n\r\nTo run "
                                     "the Windows Time Control Panel applet, go to Control "
                                     "Panel\r\nand double-click the Windows Time icon."),
              std::string::npos)
        << text;
    FormatAgreeText(true, false, "Tessaric", "Horologix", "4.1", text, sizeof(text));
    EXPECT_NE(std::string(text).find("setup program (4.1) is the same or older than\r\nthe "
                                     "installed Horologix, so upgrade isn't possible"),
              std::string::npos)
        << text;
    char small[40];
    FormatAgreeText(true, false, "Tessaric", "Horologix", "4.1", small, sizeof(small));
    EXPECT_EQ(std::string(small).size(), sizeof(small) - 1);
}

// The texts shipped beside setup.exe: what its tabs show, readable in the dialog's edit field.
TEST(SetupRules, shipped_texts_are_plain_and_fit_the_dialog) {
    for (const char* name : {"license", "readme", "faq", "support"}) {
        std::ifstream file(std::string(SETUP_TEXTS_DIR) + "/" + name + ".txt");
        ASSERT_TRUE(file) << name;
        std::string line;
        size_t lines = 0;
        while (std::getline(file, line)) {
            ++lines;
            EXPECT_LE(line.size(), 78u) << name << ": " << line;
            for (unsigned char c : line) {
                EXPECT_TRUE(c >= 0x20 && c < 0x7F) << name << ": " << line;
            }
        }
        EXPECT_GE(lines, 10u) << name;
    }
}

} // namespace
