// Settings model: every Windows Time, LAN Manager and agent setting of one machine in one record,
// loaded from and saved to the registry of the machine the registry layer focuses on; and the
// rules about the family products installed beside us.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/registry_keys.h"

constexpr size_t kMaxTimeServers = 6;
constexpr size_t kServerNameSize = 64;      // 63 characters and the terminator
constexpr uint32_t kDefaultServerFlags = 1; // special poll interval

// Windows Time per-server flags: 1 special interval, 2 fallback only, 4 symmetric active, 8 client.
struct TimeServerEntry {
    char name[kServerNameSize];
    uint32_t flags;
};

// Windows Time client modes, as stored in Parameters "Type".
enum SyncType : uint32_t {
    kSyncNotTouched = 0,
    kSyncNoSync = 1,
    kSyncNt5ds = 2,
    kSyncAllSync = 3,
    kSyncNtp = 4,
    kSyncDisabled = 5,
    kSyncUnknown = 255,
};

// Which product of the family is installed on the machine.
enum FamilyProduct : uint32_t {
    kFamilyNone = 0,
    kFamilyServer = 1,
    kFamilyClient = 2,
    kFamilyThinClient = 4,
    kFamilyUltraThinClient = 256,
};

struct SettingsRecord {
    uint32_t ntpClientEnabled;
    uint32_t ntpClientInputProvider;
    uint32_t ntpClientPollInterval; // seconds
    uint32_t ntpServerEnabled;
    uint32_t agentEnabled;
    uint32_t agentInputProvider;
    uint32_t agentPollInterval; // seconds between scheduled checks; 0 disables them
    uint32_t alertThreshold;    // seconds
    uint32_t alertIfUnverified;
    uint32_t alertIfUnsynchronized;
    uint32_t agentInstalled;
    uint32_t dnsLookups;
    uint32_t agentFilePresent; // 0 absent, 1 present, 2 not checked
    char referenceClock[64];
    uint32_t serviceStart; // 2 automatic, 3 manual, 4 disabled
    uint32_t announceFlags;
    uint32_t maxPhaseOffset; // loaded only
    uint32_t fileLogSize;
    char fileLogEntries[64];
    char fileLogName[128];
    uint32_t fileLogging;        // derived: size and both texts set
    uint32_t localNtp;           // Windows 2000 only
    uint32_t reliableTimeSource; // Windows 2000 only
    uint32_t syncType;
    uint32_t serverCount;
    TimeServerEntry servers[kMaxTimeServers];
    uint32_t timeSource;
};

// Code of a "Type" text by its first three characters, any case; 255 when none matches.
uint32_t ParseSyncType(const char* text);
// The "Type" text of a code; "NTP" for every code without a text of its own.
const char* SyncTypeName(uint32_t code);

// Fills the server slots of record from an "NTPServer" text: names separated by runs of commas
// and spaces, each optionally followed by a flags piece "0xH" or "0xHH". At most six servers.
void ParseServerList(const char* text, SettingsRecord* record);
// Writes the first serverCount non-empty slots as an "NTPServer" text into out (size bytes):
// "name,0xflags" joined by single spaces, or bare names when withFlags is false (Windows 2000).
// A name that would not fit is left out; the text is always terminated.
void FormatServerList(const SettingsRecord& record, bool withFlags, char* out, size_t size);

// Which values exist follows the release in the process-wide system identity: the local one, or
// the one the applet took over from a remote target (SetProcessOsFamily).
void LoadSettings(SettingsRecord* record);
void SaveSettings(const SettingsRecord& record, bool includeAgent);
// What saving without the agent removes, and nothing else: the agent's provider key and the
// applet's Control Panel category value.
void DeleteAgentRegistration();

uint32_t DetectFamilyProduct();
bool FamilyServiceDisabled();
bool FamilyServerServesNtp();
// "Force Horologix Disable" is set by the family client or server.
bool ForceDisabled();
// Aligns agentEnabled with the family's wishes; true when it changed the record.
bool ApplyForceDisable(SettingsRecord* record);

// Process-wide environment, filled once by the first role that starts (ReadEnvironment).
struct Environment {
    uint32_t familyProduct;
    uint32_t familyServiceDisabled;
    char systemFolder[129]; // with a trailing backslash
    char computerName[129];
};
const Environment& CurrentEnvironment();
void ReadEnvironment();
// The applet's refresh after it focused a remote machine: the family answers of that machine.
void RefreshFamilyEnvironment();
