#include "common/system_identity.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

SystemIdentity Version(uint32_t platform, uint32_t major, uint32_t minor, bool extended,
                       uint8_t productType) {
    SystemIdentity identity = {};
    identity.platformId = platform;
    identity.majorVersion = major;
    identity.minorVersion = minor;
    identity.extended = extended;
    identity.productType = productType;
    return identity;
}

SystemIdentity Described(ArchCode arch, OsFamily os, uint32_t major, uint32_t minor, uint32_t build,
                         const char* servicePack) {
    SystemIdentity identity = {};
    identity.arch = arch;
    identity.os = os;
    identity.majorVersion = major;
    identity.minorVersion = minor;
    identity.buildNumber = build;
    strcpy(identity.servicePack, servicePack);
    return identity;
}

} // namespace

TEST(ArchName, names_every_code_and_unknown_beyond_the_table) {
    const char* const names[] = {
        "Unknown",       "AMD/Intel x86 Win9x",
        "AMD/Intel x86", "AMD/Intel x64",
        "Itanium IA64",  "Alpha",
        "MIPS",          "PPC",
    };
    for (ArchCode arch = 0; arch < 8; ++arch) {
        EXPECT_STREQ(ArchName(arch), names[arch]) << arch;
    }
    EXPECT_STREQ(ArchName(8), "Unknown");
    EXPECT_STREQ(ArchName(kArchOmitted), "Unknown");
}

TEST(ArchFromProcessorText, maps_registry_texts_ignoring_case) {
    EXPECT_EQ(ArchFromProcessorText("x86"), kArchX86);
    EXPECT_EQ(ArchFromProcessorText("X86"), kArchX86);
    EXPECT_EQ(ArchFromProcessorText("AMD64"), kArchX64);
    EXPECT_EQ(ArchFromProcessorText("amd64"), kArchX64);
    EXPECT_EQ(ArchFromProcessorText("IA64"), kArchIa64);
    EXPECT_EQ(ArchFromProcessorText("ALPHA"), kArchAlpha);
    EXPECT_EQ(ArchFromProcessorText("Mips"), kArchMips);
    EXPECT_EQ(ArchFromProcessorText("PPC"), kArchPpc);
    EXPECT_EQ(ArchFromProcessorText("ARM64"), kArchUnknown);
    EXPECT_EQ(ArchFromProcessorText("amd6"), kArchUnknown);
    EXPECT_EQ(ArchFromProcessorText("amd64 "), kArchUnknown);
    EXPECT_EQ(ArchFromProcessorText(""), kArchUnknown);
    EXPECT_EQ(ArchFromProcessorText(nullptr), kArchUnknown);
}

TEST(ClassifySystem, names_the_release_by_platform_version_and_product_type) {
    struct Case {
        uint32_t platform, major, minor;
        bool extended;
        uint8_t productType;
        OsFamily os;
    } const cases[] = {
        {kPlatformWin9x, 4, 0, false, 0, kOsWin95},
        {kPlatformWin9x, 4, 10, false, 0, kOsWin98},
        {kPlatformWin9x, 4, 90, false, 0, kOsWinMe},
        {kPlatformNT, 3, 10, false, 0, kOsNT31},
        {kPlatformNT, 3, 50, false, 0, kOsNT31},
        {kPlatformNT, 3, 51, false, 0, kOsNT351},
        {kPlatformNT, 4, 0, true, 1, kOsNT40},
        {kPlatformNT, 5, 0, true, 1, kOsWin2000},
        {kPlatformNT, 5, 0, true, 3, kOsWin2000},
        {kPlatformNT, 5, 1, true, 1, kOsWinXP},
        {kPlatformNT, 5, 2, true, 1, kOsWinXP}, // XP x64 is a 5.2 workstation
        {kPlatformNT, 5, 1, false, 1,
         kOsWin2003}, // product type unknown without the extended query
        {kPlatformNT, 5, 2, true, 3, kOsWin2003},
        {kPlatformNT, 5, 3, true, 1, kOsWin2003},
        {kPlatformNT, 6, 0, true, 1, kOsVista},
        {kPlatformNT, 6, 0, false, 1, kOsLonghorn},
        {kPlatformNT, 6, 0, true, 2, kOsLonghorn},
        {kPlatformNT, 6, 1, true, 1, kOsLonghorn},
        {kPlatformNT, 10, 0, true, 1, kOsLonghorn},
        {kPlatformNT, 2, 0, true, 1, kOsLonghorn},
        {0, 3, 10, false, 0, kOsUnknown}, // Win32s
        {3, 5, 0, true, 1, kOsUnknown},
    };
    for (const Case& c : cases) {
        SystemIdentity identity = Version(c.platform, c.major, c.minor, c.extended, c.productType);
        ClassifySystem(identity, kArchX64, true);
        EXPECT_EQ(identity.os, c.os) << c.platform << " " << c.major << "." << c.minor;
        if (c.platform == kPlatformNT) {
            EXPECT_EQ(NtOsFamily(c.major, c.minor, c.extended, c.productType), c.os);
        }
    }
}

TEST(ClassifySystem, sets_platform_flags_and_takes_architecture_only_on_nt) {
    SystemIdentity nt = Version(kPlatformNT, 5, 2, true, 3);
    ClassifySystem(nt, kArchIa64, true);
    EXPECT_TRUE(nt.isNT);
    EXPECT_FALSE(nt.isWin9x);
    EXPECT_EQ(nt.arch, kArchIa64);
    EXPECT_TRUE(nt.wow64);

    SystemIdentity win9x = Version(kPlatformWin9x, 4, 10, false, 0);
    ClassifySystem(win9x, kArchX64, true);
    EXPECT_TRUE(win9x.isWin9x);
    EXPECT_FALSE(win9x.isNT);
    EXPECT_EQ(win9x.arch, kArchX86Win9x);
    EXPECT_FALSE(win9x.wow64);

    SystemIdentity other = Version(0, 3, 10, false, 0);
    other.os = kOsWinXP; // stale values are cleared
    other.isNT = true;
    ClassifySystem(other, kArchX64, true);
    EXPECT_FALSE(other.isNT);
    EXPECT_FALSE(other.isWin9x);
    EXPECT_EQ(other.arch, kArchUnknown);
    EXPECT_FALSE(other.wow64);
    EXPECT_EQ(other.os, kOsUnknown);
}

TEST(OsFamilyFromServerInfo, names_remote_releases_from_type_bits_and_version) {
    struct Case {
        uint32_t type, major, minor;
        OsFamily os;
    } const cases[] = {
        {0x00400000, 4, 0, kOsWin95},
        {0x00401003, 4, 10, kOsWin98},
        {0x00400000, 4, 90, kOsWinMe},
        {0x00400000, 5, 0, kOsWin95}, // the Windows 9x bit decides before the version
        {0x1003, 3, 10, kOsNT31},
        {0x1003, 3, 51, kOsNT351},
        {0x1003, 4, 0, kOsNT40},
        {0x9003, 5, 0, kOsWin2000},
        {0x1003, 5, 1, kOsWinXP},
        {0x1003, 5, 2, kOsWinXP},   // a 5.2 workstation
        {0x100B, 5, 1, kOsWin2003}, // a 5.1 domain controller
        {0x1013, 5, 1, kOsWin2003}, // backup domain controller
        {0x9003, 5, 2, kOsWin2003}, // NT server
        {0x1003, 5, 3, kOsWin2003},
        {0x00000000, 6, 0, kOsVista},
        {0x00000001, 6, 0, kOsLonghorn}, // any type bit at all
        {0x1003, 6, 0, kOsLonghorn},
        {0x9003, 6, 0, kOsLonghorn},
        {0x00000000, 6, 1, kOsLonghorn},
        {0x1003, 0x15, 1, kOsWinXP}, // the high bits of the major word are flags
        {0x1003, 0xF6, 0, kOsLonghorn},
        {0x1003, 7, 0, kOsUnknown},
        {0x1003, 10, 0, kOsUnknown},
        {0x1003, 0, 0, kOsUnknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OsFamilyFromServerInfo(c.type, c.major, c.minor), c.os)
            << std::hex << c.type << " " << c.major << "." << std::dec << c.minor;
    }
}

TEST(DescribeSystem, joins_architecture_prefix_and_release_word) {
    struct Case {
        ArchCode arch;
        OsFamily os;
        const char* text;
    } const cases[] = {
        {kArchOmitted, kOsWin2000, "Win2000"},
        {0, 0, "Unknown Unknown"},
        {kArchX86Win9x, kOsWin95, "32-bit x86 Win95"},
        {kArchX86, kOsWin98, "32-bit x86 Win98"},
        {kArchX64, kOsWin2003, "64-bit AMD64 Win2003"},
        {kArchIa64, kOsWinMe, "64-bit IA64 WinMe"},
        {kArchAlpha, kOsNT40, "Alpha NT 4.0"},
        {kArchMips, kOsNT31, "MIPS NT 3.1"},
        {kArchPpc, kOsNT351, "PPC NT 3.51"},
        {8, kOsWinXP, "Unknown WinXP"},
        {kArchOmitted, kOsWinCE, "WinCE"},
        {kArchOmitted, kOsVista, "Vista"},
        {kArchOmitted, kOsLonghorn, "Longhorn"},
        {kArchOmitted, 3, "Unknown"}, // not a single release bit
        {kArchOmitted, 65536, "Unknown"},
    };
    char text[64];
    for (const Case& c : cases) {
        EXPECT_EQ(DescribeSystem(c.arch, c.os, text, sizeof(text)), text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(DescribeLocalSystem, formats_the_release_with_build_service_pack_and_edition) {
    SystemIdentity server = Described(kArchX64, kOsWin2003, 5, 2, 3790, "Service Pack 2");
    server.extended = true;
    server.servicePackMajor = 2;
    server.productType = 3;
    char text[256];
    EXPECT_STREQ(DescribeLocalSystem(server, text, sizeof(text)),
                 "64-bit (x64) Win2003 build 3790 Service Pack 2 (SP 2.0)");

    SystemIdentity home = Described(kArchX86, kOsWinXP, 5, 1, 2600, "Service Pack 3");
    home.extended = true;
    home.suiteMask = kSuitePersonal;
    home.servicePackMajor = 3;
    home.servicePackMinor = 1;
    EXPECT_STREQ(DescribeLocalSystem(home, text, sizeof(text)),
                 "32-bit (x86) WinXP build 2600 Service Pack 3, Personal (SP 3.1)");

    // Without the extended query neither edition nor service-pack numbers are known.
    home.extended = false;
    EXPECT_STREQ(DescribeLocalSystem(home, text, sizeof(text)),
                 "32-bit (x86) WinXP build 2600 Service Pack 3");

    // Windows 9x shows its version and the low 16 bits of the build.
    SystemIdentity win98 = Described(kArchX86Win9x, kOsWin98, 4, 10, 0x040A08AE, " A ");
    win98.extended = true;
    win98.servicePackMajor = 1;
    EXPECT_STREQ(DescribeLocalSystem(win98, text, sizeof(text)),
                 "32-bit (x86) Win98 (4.10.2222  A )");

    // NT 3.51 is older than NT 4.0: no service-pack suffix even with the extended query.
    SystemIdentity nt351 = Described(kArchAlpha, kOsNT351, 3, 51, 1057, "");
    nt351.extended = true;
    nt351.servicePackMajor = 5;
    EXPECT_STREQ(DescribeLocalSystem(nt351, text, sizeof(text)), "Alpha NT 3.51 build 1057 ");

    SystemIdentity nt40 = Described(kArchMips, kOsNT40, 4, 0, 1381, "Service Pack 6");
    nt40.extended = true;
    nt40.servicePackMajor = 6;
    EXPECT_STREQ(DescribeLocalSystem(nt40, text, sizeof(text)),
                 "MIPS NT 4.0 build 1381 Service Pack 6 (SP 6.0)");

    const struct {
        ArchCode arch;
        OsFamily os;
        const char* text;
    } others[] = {
        {kArchIa64, kOsVista, "64-bit (IA64) Vista build 7 x"},
        {kArchPpc, kOsLonghorn, "PPC Longhorn build 7 x"},
        {kArchX86Win9x, kOsWin2000, "32-bit (x86) Win2000 build 7 x"},
        {0, kOsWinCE, "Unknown WinCE build 7 x"},
        {9, kOsNT31, "Unknown NT 3.1 build 7 x"},
        {kArchX86, kOsWin95, "32-bit (x86) Win95 (7.05.7 x)"},
        {kArchX86, kOsWinMe, "32-bit (x86) WinMe (7.05.7 x)"},
        {kArchX64, kOsUnknown, "64-bit (x64) Windows 7.05"},
        {kArchX64, 6, "64-bit (x64) Windows 7.05"},
    };
    for (const auto& other : others) {
        const SystemIdentity identity = Described(other.arch, other.os, 7, 5, 7, "x");
        EXPECT_STREQ(DescribeLocalSystem(identity, text, sizeof(text)), other.text);
    }
}

TEST(DescribeLocalSystem, cuts_to_the_buffer_and_writes_nothing_without_one) {
    const SystemIdentity identity = Described(kArchX64, kOsLonghorn, 6, 1, 7601, "Service Pack 1");
    char text[10];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(DescribeLocalSystem(identity, text, sizeof(text)), text);
    EXPECT_STREQ(text, "64-bit (x");

    char untouched[4] = "abc";
    EXPECT_EQ(DescribeLocalSystem(identity, untouched, 0), untouched);
    EXPECT_STREQ(untouched, "abc");
    EXPECT_EQ(DescribeLocalSystem(identity, nullptr, 10), nullptr);
    EXPECT_EQ(DescribeSystem(kArchX64, kOsLonghorn, nullptr, 10), nullptr);
}

TEST(DescribeLocalSystem, keeps_an_unterminated_service_pack_text_inside_the_record) {
    SystemIdentity identity = Described(kArchX64, kOsWinXP, 5, 1, 2600, "");
    memset(identity.servicePack, 'S', sizeof(identity.servicePack));
    char text[256];
    DescribeLocalSystem(identity, text, sizeof(text));
    EXPECT_EQ(strlen(text), strlen("64-bit (x64) WinXP build 2600 ") + kServicePackTextSize - 1);
}

TEST(LocalSystemIdentity, process_record_takes_over_a_release_without_other_changes) {
    const SystemIdentity saved = LocalSystemIdentity();
    SystemIdentity identity = Described(kArchX64, kOsLonghorn, 6, 1, 7601, "Service Pack 1");
    identity.isNT = true;
    SetLocalSystemIdentity(identity);
    OverrideOsFamilyForTesting(kOsWin2000);
    EXPECT_EQ(LocalSystemIdentity().os, kOsWin2000);
    EXPECT_EQ(LocalSystemIdentity().arch, kArchX64);
    EXPECT_TRUE(LocalSystemIdentity().isNT);
    EXPECT_STREQ(LocalSystemIdentity().servicePack, "Service Pack 1");
    SetLocalSystemIdentity(saved);
}
