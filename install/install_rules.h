// The installer's decisions that need no system call: which module file is newer, whether an
// installation changed any setting, how the server list grows, what the family products beside
// us ask of the Windows Time settings, the rundll32 command line and the progress window's texts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "config/settings.h"

// The uninstall entry's name (also its key below ...\CurrentVersion\Uninstall).
inline constexpr char kUninstallEntryName[] = "Horologix Control Panel Applet";
inline constexpr char kModuleFileName[] = "kestrel.cpl";
inline constexpr char kRetiredModuleFileName[] = "kestrel.old";

// The two public NTP servers every installation adds after the family's own sources.
inline constexpr const char* kPublicTimeServers[2] = {"pool.ntp.org", "time.nist.gov"};

// Progress window modes (its start parameter): install, anything else removes.
constexpr uint32_t kProgressInstall = 0x11223345;
constexpr uint32_t kProgressRemove = 0x11223346;
// Posted by the worker to the progress window when it has finished: wParam 0, lParam the result.
constexpr unsigned kProgressDoneMessage = 0x2AB5;

// A file's fixed version: the most significant 32 bits in the high half, 0 when it has none.
// True when a file of version source should replace one of version destination: the
// destination has no version, or the source's is greater.
bool IsNewerVersion(uint64_t source, uint64_t destination);

// Whether two records differ in any setting. Server slots count only while in use (the first
// serverCount), their names compared exactly; text fields compare up to their terminator.
bool SettingsDiffer(const SettingsRecord& a, const SettingsRecord& b);

// Adds a server name to the record's list: nothing when a slot in use already holds it (any
// letter case) or all six are in use, or for an empty name; otherwise its first 63 characters
// fill the next slot, whose flags stay as they were, and serverCount grows by one.
void AddTimeServer(SettingsRecord* record, const char* name);

// A first installation (the agent not yet installed) turns the agent on as a time source that
// does not feed the service's clock: agentInstalled 1, agentEnabled 1, agentInputProvider 0.
void MarkFirstInstallation(SettingsRecord* record);

// The family settings blob ("Server Settings" or "Client Settings"): 335 bytes, of which the
// slave-mode byte at offset 4 and four 66-byte source names from offset 43 are read here.
constexpr size_t kFamilyBlobSize = 335;
constexpr size_t kFamilyBlobNames = 4;
constexpr size_t kFamilyBlobNameSize = 66;
struct FamilyBlobFacts {
    bool slave;
    char names[kFamilyBlobNames][kFamilyBlobNameSize]; // always terminated; "" unused
};
FamilyBlobFacts ReadFamilyBlob(const uint8_t (&blob)[kFamilyBlobSize]);

// What the family product asks of the Windows Time settings. slave: the family server
// synchronizes the clock itself; servesNtp: it answers NTP; serverTypeBits: the machine's server
// type bits (0x8 and 0x10 mark domain controllers). Returns whether the family has a settings
// blob to read (server and clients do, none does not).
bool ApplyFamilyAdjustments(SettingsRecord* record, uint32_t family, bool slave, bool servesNtp,
                            uint32_t serverTypeBits);
// Whether the family product keeps a blob, and where ("Server Settings" under the server's
// parameters, "Client Settings" under the client's); false for none.
bool FamilyBlobLocation(uint32_t family, const char** key, const char** value);

// rundll32's command line: what it asks for. Letter case does not matter, the option may begin
// with '-' or '/', and install wins when both are present.
enum class RunDllCommand { kMissing, kInstall, kRemove, kUnknown };
RunDllCommand ParseRunDllCommand(const char* commandLine);

// The progress window's texts: the product line (product, version, the maker on a second line)
// and what is being done ("Installing/Upgrading..." or "Removing NAME..." for a remote target).
const char* ProgressProductText();
char* FormatProgressAction(bool install, const char* targetMachine, char* out, size_t size);

// The uninstall entry's command and icon for a system folder with a trailing backslash.
char* FormatUninstallCommand(const char* systemFolder, char* out, size_t size);
char* FormatUninstallIcon(const char* systemFolder, char* out, size_t size);
