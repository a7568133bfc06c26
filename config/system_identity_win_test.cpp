#include "config/system_identity_win.h"

#include "bench/remote_registry/bench_remote_registry_win.h"
#include "config/registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr bool kThirtyTwoBitBuild = sizeof(void*) == 4;

} // namespace

TEST(IdentifyLocalSystem, reports_an_nt_x64_machine_and_the_builds_wow64_state) {
    const SystemIdentity saved = LocalSystemIdentity();
    IdentifyLocalSystem();
    const SystemIdentity& identity = LocalSystemIdentity();
    EXPECT_EQ(identity.platformId, kPlatformNT);
    EXPECT_TRUE(identity.isNT);
    EXPECT_FALSE(identity.isWin9x);
    // The bench prefix is 64-bit, so the 32-bit build runs under WOW64 there.
    EXPECT_EQ(identity.arch, kArchX64);
    EXPECT_EQ(identity.wow64, kThirtyTwoBitBuild);
    EXPECT_TRUE(identity.extended);
    EXPECT_GE(identity.os, kOsWin2000);
    EXPECT_EQ(identity.os, NtOsFamily(identity.majorVersion, identity.minorVersion,
                                      identity.extended, identity.productType));
    EXPECT_LT(strlen(identity.servicePack), kServicePackTextSize);

    char text[256];
    DescribeLocalSystem(identity, text, sizeof(text));
    EXPECT_EQ(strncmp(text, "64-bit (x64) ", 13), 0) << text;
    SetLocalSystemIdentity(saved);
}

TEST(IdentifyLocalSystem, takes_the_true_version_numbers_not_the_compatibility_ones) {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(rtlGetVersion, nullptr);
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_EQ(rtlGetVersion(&version), 0);

    const SystemIdentity saved = LocalSystemIdentity();
    IdentifyLocalSystem();
    EXPECT_EQ(LocalSystemIdentity().majorVersion, version.dwMajorVersion);
    EXPECT_EQ(LocalSystemIdentity().minorVersion, version.dwMinorVersion);
    EXPECT_EQ(LocalSystemIdentity().buildNumber, version.dwBuildNumber);
    EXPECT_EQ(LocalSystemIdentity().productType, version.wProductType);
    SetLocalSystemIdentity(saved);
}

TEST(IsWow64, is_true_only_for_the_32_bit_build) {
    EXPECT_EQ(IsWow64(), kThirtyTwoBitBuild);
}

TEST(TargetArchitecture, reads_the_local_registry_and_clears_the_last_error) {
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(TargetArchitecture(), kArchX64);
    EXPECT_EQ(GetLastError(), 0u);
}

namespace {

// Stand-in machines for TargetArchitecture: their registries hold only what each case writes.
class TargetMachines : public ::testing::Test {
protected:
    void SetUp() override {
        InstallBenchRemoteRegistry();
        ASSERT_TRUE(AddBenchMachine(kMachine));
        ASSERT_TRUE(ClearBenchMachine(kMachine));
        ASSERT_TRUE(SetRegistryFocus(kMachine));
    }
    void TearDown() override {
        SetRegistryFocus(nullptr);
        RemoveBenchMachine(kMachine);
        RemoveBenchRemoteRegistry();
    }
    static bool WriteProductType(const char* text) {
        return WriteString("\\\\System\\CurrentControlSet\\Control\\ProductOptions", "ProductType",
                           text);
    }
    static bool WriteProcessor(const char* text) {
        return WriteString("\\\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                           "PROCESSOR_ARCHITECTURE", text);
    }
    static constexpr const char* kMachine = "ARCHTARGET";
};

} // namespace

TEST_F(TargetMachines, machine_without_product_options_is_x86_win9x) {
    SetLastError(0);
    EXPECT_EQ(TargetArchitecture(), kArchX86Win9x);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(TargetMachines, architecture_text_is_read_ignoring_case) {
    ASSERT_TRUE(WriteProductType("ServerNT"));
    const struct {
        const char* text;
        ArchCode arch;
    } cases[] = {
        {"AMD64", kArchX64}, {"x86", kArchX86}, {"IA64", kArchIa64},     {"Alpha", kArchAlpha},
        {"MIPS", kArchMips}, {"ppc", kArchPpc}, {"ARM64", kArchUnknown},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteProcessor(c.text));
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(TargetArchitecture(), c.arch) << c.text;
        EXPECT_EQ(GetLastError(), 0u) << c.text;
    }
}

TEST_F(TargetMachines, unreadable_values_give_unknown_with_the_registry_error) {
    ASSERT_TRUE(WriteProductType("WinNT"));
    EXPECT_EQ(TargetArchitecture(), kArchUnknown); // no PROCESSOR_ARCHITECTURE
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(WriteProcessor("AMD64"));
    ASSERT_TRUE(WriteProductType(""));
    EXPECT_EQ(TargetArchitecture(), kArchUnknown); // present but empty product type

    // A product type longer than the 61 characters read is a failed read, not a Windows 9x one.
    ASSERT_TRUE(WriteProductType(std::string(70, 'W').c_str()));
    EXPECT_EQ(TargetArchitecture(), kArchUnknown);
    EXPECT_NE(GetLastError(), 0u);
}
