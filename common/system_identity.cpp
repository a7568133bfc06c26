#include "common/system_identity.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

SystemIdentity g_identity = {};

struct ReleaseNames {
    OsFamily os;
    const char* word;   // DescribeSystem
    const char* format; // DescribeLocalSystem
};

// Windows 9x formats take major, minor, the 16-bit build and the service-pack text; the
// "build" formats take the whole build number and the service-pack text.
// clang-format off
constexpr ReleaseNames kReleases[] = {
    {kOsWin95, "Win95", "Win95 (%d.%02d.%d %s)"},
    {kOsWin98, "Win98", "Win98 (%d.%02d.%d %s)"},
    {kOsWinMe, "WinMe", "WinMe (%d.%02d.%d %s)"},
    {kOsWinCE, "WinCE", "WinCE build %d %s"},
    {kOsNT31, "NT 3.1", "NT 3.1 build %d %s"},
    {kOsNT351, "NT 3.51", "NT 3.51 build %d %s"},
    {kOsNT40, "NT 4.0", "NT 4.0 build %d %s"},
    {kOsWin2000, "Win2000", "Win2000 build %d %s"},
    {kOsWinXP, "WinXP", "WinXP build %d %s"},
    {kOsWin2003, "Win2003", "Win2003 build %d %s"},
    {kOsVista, "Vista", "Vista build %d %s"},
    {kOsLonghorn, "Longhorn", "Longhorn build %d %s"},
};
// clang-format on

const ReleaseNames* FindRelease(OsFamily os) {
    for (const ReleaseNames& release : kReleases) {
        if (release.os == os) {
            return &release;
        }
    }
    return nullptr;
}

bool IsWin9xFamily(OsFamily os) {
    return os == kOsWin95 || os == kOsWin98 || os == kOsWinMe;
}

OsFamily Win9xOsFamily(uint32_t minor) {
    if (minor == 0) {
        return kOsWin95;
    }
    return minor == 10 ? kOsWin98 : kOsWinMe;
}

// Appends to a zero-terminated text in a buffer of size bytes, cutting at the end of the buffer.
void Append(char* text, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Append(char* text, size_t size, const char* format, ...) {
    const size_t used = std::strlen(text);
    if (used + 1 >= size) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + used, size - used, format, args);
    va_end(args);
}

char* CopyOut(const char* text, char* buffer, size_t size) {
    if (buffer != nullptr && size > 0) {
        std::memset(buffer, 0, size);
        const size_t length = std::strlen(text);
        std::memcpy(buffer, text, length < size - 1 ? length : size - 1);
    }
    return buffer;
}

char ToLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
    while (*a != '\0' && ToLowerAscii(*a) == ToLowerAscii(*b)) {
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

} // namespace

const SystemIdentity& LocalSystemIdentity() {
    return g_identity;
}

void SetLocalSystemIdentity(const SystemIdentity& identity) {
    g_identity = identity;
    g_identity.servicePack[kServicePackTextSize - 1] = '\0';
}

void SetProcessOsFamily(OsFamily os) {
    g_identity.os = os;
}

OsFamily NtOsFamily(uint32_t major, uint32_t minor, bool extended, uint8_t productType) {
    const bool workstation = extended && productType == kProductWorkstation;
    switch (major) {
    case 3:
        return minor < 51 ? kOsNT31 : kOsNT351;
    case 4:
        return kOsNT40;
    case 5:
        if (minor == 0) {
            return kOsWin2000;
        }
        return ((minor == 1 || minor == 2) && workstation) ? kOsWinXP : kOsWin2003;
    case 6:
        return (minor == 0 && workstation) ? kOsVista : kOsLonghorn;
    default:
        return kOsLonghorn;
    }
}

void ClassifySystem(SystemIdentity& identity, ArchCode ntArch, bool ntWow64) {
    identity.isWin9x = false;
    identity.isNT = false;
    identity.arch = kArchUnknown;
    identity.wow64 = false;
    identity.os = kOsUnknown;
    if (identity.platformId == kPlatformWin9x) {
        identity.isWin9x = true;
        identity.arch = kArchX86Win9x;
        identity.os = Win9xOsFamily(identity.minorVersion);
    } else if (identity.platformId == kPlatformNT) {
        identity.isNT = true;
        identity.arch = ntArch;
        identity.wow64 = ntWow64;
        identity.os = NtOsFamily(identity.majorVersion, identity.minorVersion, identity.extended,
                                 identity.productType);
    }
}

OsFamily OsFamilyFromServerInfo(uint32_t typeWord, uint32_t majorWord, uint32_t minor) {
    constexpr uint32_t kWindows9xServer = 0x00400000;
    constexpr uint32_t kNtServer = 0x8000;
    constexpr uint32_t kDomainController = 0x0008;
    constexpr uint32_t kBackupController = 0x0010;

    if ((typeWord & kWindows9xServer) != 0) {
        return Win9xOsFamily(minor);
    }
    // The higher bits of the major version word are flags.
    switch (majorWord & 0x0F) {
    case 3:
        return minor < 51 ? kOsNT31 : kOsNT351;
    case 4:
        return kOsNT40;
    case 5:
        if (minor == 0) {
            return kOsWin2000;
        }
        if (minor > 2 || (typeWord & (kNtServer | kDomainController | kBackupController)) != 0) {
            return kOsWin2003;
        }
        return kOsWinXP;
    case 6:
        if (minor != 0 || (typeWord & kNtServer) != 0) {
            return kOsLonghorn;
        }
        return typeWord == 0 ? kOsVista : kOsLonghorn;
    default:
        return kOsUnknown;
    }
}

ArchCode ArchFromProcessorText(const char* text) {
    static constexpr struct {
        const char* text;
        ArchCode arch;
    } kNames[] = {
        {"x86", kArchX86},     {"amd64", kArchX64}, {"ia64", kArchIa64},
        {"alpha", kArchAlpha}, {"mips", kArchMips}, {"ppc", kArchPpc},
    };
    if (text == nullptr) {
        return kArchUnknown;
    }
    for (const auto& name : kNames) {
        if (EqualsIgnoringCase(text, name.text)) {
            return name.arch;
        }
    }
    return kArchUnknown;
}

const char* ArchName(ArchCode arch) {
    static constexpr const char* kNames[] = {
        "Unknown",       "AMD/Intel x86 Win9x",
        "AMD/Intel x86", "AMD/Intel x64",
        "Itanium IA64",  "Alpha",
        "MIPS",          "PPC",
    };
    return arch < sizeof(kNames) / sizeof(kNames[0]) ? kNames[arch] : kNames[0];
}

char* DescribeLocalSystem(const SystemIdentity& identity, char* buffer, size_t size) {
    static constexpr const char* kPrefixes[] = {
        "Unknown ",       "32-bit (x86) ", "32-bit (x86) ", "64-bit (x64) ",
        "64-bit (IA64) ", "Alpha ",        "MIPS ",         "PPC ",
    };
    const char* prefix = identity.arch < sizeof(kPrefixes) / sizeof(kPrefixes[0])
                             ? kPrefixes[identity.arch]
                             : kPrefixes[0];
    char text[256];
    std::snprintf(text, sizeof(text), "%s", prefix);

    // The record's service-pack text comes from the system: terminate our own copy of it.
    char servicePack[kServicePackTextSize];
    std::memcpy(servicePack, identity.servicePack, sizeof(servicePack));
    servicePack[sizeof(servicePack) - 1] = '\0';

    const ReleaseNames* release = FindRelease(identity.os);
    if (release == nullptr) {
        Append(text, sizeof(text), "Windows %d.%02d", static_cast<int>(identity.majorVersion),
               static_cast<int>(identity.minorVersion));
    } else if (IsWin9xFamily(identity.os)) {
        Append(text, sizeof(text), release->format, static_cast<int>(identity.majorVersion),
               static_cast<int>(identity.minorVersion),
               static_cast<int>(identity.buildNumber & 0xFFFF), servicePack);
    } else {
        Append(text, sizeof(text), release->format, static_cast<int>(identity.buildNumber),
               servicePack);
    }

    if (identity.extended && identity.os >= kOsNT40) {
        if ((identity.suiteMask & kSuitePersonal) != 0) {
            Append(text, sizeof(text), ", Personal");
        }
        if (identity.servicePackMajor != 0) {
            Append(text, sizeof(text), " (SP %d.%d)", identity.servicePackMajor,
                   identity.servicePackMinor);
        }
    }
    return CopyOut(text, buffer, size);
}

char* DescribeSystem(ArchCode arch, OsFamily os, char* buffer, size_t size) {
    static constexpr const char* kPrefixes[] = {
        "Unknown ",     "32-bit x86 ", "32-bit x86 ", "64-bit AMD64 ",
        "64-bit IA64 ", "Alpha ",      "MIPS ",       "PPC ",
    };
    const char* prefix = "";
    if (arch != kArchOmitted) {
        prefix = arch < sizeof(kPrefixes) / sizeof(kPrefixes[0]) ? kPrefixes[arch] : kPrefixes[0];
    }
    const ReleaseNames* release = FindRelease(os);
    char text[256];
    std::snprintf(text, sizeof(text), "%s%s", prefix,
                  release != nullptr ? release->word : "Unknown");
    return CopyOut(text, buffer, size);
}
