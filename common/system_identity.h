// Which Windows release and processor architecture a machine runs, and the texts that name them.
#pragma once

#include <cstddef>
#include <cstdint>

// Processor architecture of a machine as the program distinguishes it.
using ArchCode = uint32_t;
constexpr ArchCode kArchUnknown = 0;
constexpr ArchCode kArchX86Win9x = 1; // x86 running Windows 95/98/Me
constexpr ArchCode kArchX86 = 2;
constexpr ArchCode kArchX64 = 3;
constexpr ArchCode kArchIa64 = 4;
constexpr ArchCode kArchAlpha = 5;
constexpr ArchCode kArchMips = 6;
constexpr ArchCode kArchPpc = 7;
// Given to DescribeSystem: leave the architecture out of the text.
constexpr ArchCode kArchOmitted = 0xFFFFFFFF;

// Windows release, one bit per release. The values grow with the release, so "Windows 2000 or
// later" is the numeric test os >= kOsWin2000.
using OsFamily = uint32_t;
constexpr OsFamily kOsUnknown = 0;
constexpr OsFamily kOsWin95 = 1;
constexpr OsFamily kOsWin98 = 2;
constexpr OsFamily kOsWinMe = 4;
constexpr OsFamily kOsWinCE = 128; // never identified; named for completeness
constexpr OsFamily kOsNT31 = 256;  // NT 3.1 and 3.5
constexpr OsFamily kOsNT351 = 512;
constexpr OsFamily kOsNT40 = 1024;
constexpr OsFamily kOsWin2000 = 2048;
constexpr OsFamily kOsWinXP = 4096;
constexpr OsFamily kOsWin2003 = 8192; // 5.x servers after 2000, and any later 5.x
constexpr OsFamily kOsVista = 16384;
constexpr OsFamily kOsLonghorn = 32768; // 6.x servers, 6.1 and later, and every later release

// Platform identifiers of the Windows version record.
constexpr uint32_t kPlatformWin9x = 1;
constexpr uint32_t kPlatformNT = 2;

constexpr uint8_t kProductWorkstation = 1;
constexpr uint16_t kSuitePersonal = 0x0200;

constexpr size_t kServicePackTextSize = 128;

// The local machine's identification, filled once at start-up and read-only afterwards.
struct SystemIdentity {
    uint32_t majorVersion;
    uint32_t minorVersion;
    uint32_t buildNumber; // on Windows 9x only the low 16 bits are the build
    uint32_t platformId;
    char servicePack[kServicePackTextSize]; // always terminated
    // Whether the extended version query worked; the four fields after it are valid only then.
    bool extended;
    uint16_t servicePackMajor;
    uint16_t servicePackMinor;
    uint16_t suiteMask;
    uint8_t productType; // kProductWorkstation for a workstation
    bool isWin9x;
    bool isNT;
    ArchCode arch;
    bool wow64; // a 32-bit process on 64-bit Windows
    OsFamily os;
};

// The process-wide record. Zero (unknown release) until the start-up identification stores it.
const SystemIdentity& LocalSystemIdentity();
void SetLocalSystemIdentity(const SystemIdentity& identity);
// Replaces the release the process-wide record reports. The applet takes over a remote target's
// release this way, so that pages and settings behave as on that release; tests use it to run
// "as if on Windows 2000".
void SetProcessOsFamily(OsFamily os);
inline void OverrideOsFamilyForTesting(OsFamily os) {
    SetProcessOsFamily(os);
}

// Completes a record whose version fields are filled: sets the platform flags and the release.
// ntArch and ntWow64 are used only for the NT platform (the caller asks the registry and the
// system for them); Windows 9x is always x86 without WOW64; other platforms stay unknown.
void ClassifySystem(SystemIdentity& identity, ArchCode ntArch, bool ntWow64);

// The release of an NT-platform machine from its version numbers. productType counts only when
// extended is true.
OsFamily NtOsFamily(uint32_t major, uint32_t minor, bool extended, uint8_t productType);

// The release of a machine from its network server information (level 101): the server type
// bits, the major version word (its low four bits are the version) and the minor version.
OsFamily OsFamilyFromServerInfo(uint32_t typeWord, uint32_t majorWord, uint32_t minor);

// The architecture named by a PROCESSOR_ARCHITECTURE text ("x86", "AMD64", ...; letter case is
// ignored); kArchUnknown for anything else, a null text included.
ArchCode ArchFromProcessorText(const char* text);

// Display name of an architecture, for messages ("AMD/Intel x64"); "Unknown" for other values.
const char* ArchName(ArchCode arch);

// Long description of the local machine for messages, for example
// "64-bit (x64) Win2003 build 3790 Service Pack 2 (SP 2.0)". Writes at most size - 1 characters
// and a zero into buffer (nothing without a buffer or with size 0) and returns buffer.
char* DescribeLocalSystem(const SystemIdentity& identity, char* buffer, size_t size);

// Short description of a remote machine, for example "64-bit AMD64 Win2003"; arch kArchOmitted
// leaves the architecture out. Writes into buffer as DescribeLocalSystem does.
char* DescribeSystem(ArchCode arch, OsFamily os, char* buffer, size_t size);
