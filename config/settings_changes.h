// Writing back only what changed: which registry values the user (or a family rule) changed,
// what the registry held when the settings were loaded, and the "NTPServer" text rebuilt from the
// edited slots so that servers the pages do not show, and every entry the user left alone, keep
// their exact text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

// One bit per registry value that Apply may write.
enum SettingValue : uint32_t {
    kValueTimeSource = 1u << 0,           // LanMan "TimeSource"
    kValueSyncType = 1u << 1,             // Parameters "Type"
    kValueServiceStart = 1u << 2,         // Service "Start"
    kValueServerList = 1u << 3,           // Parameters "NTPServer"
    kValueLocalNtp = 1u << 4,             // Parameters "LocalNTP" (Windows 2000)
    kValueReliableSource = 1u << 5,       // Parameters "ReliableTimeSource" (Windows 2000)
    kValueAnnounceFlags = 1u << 6,        // Config "AnnounceFlags"
    kValueFileLogSize = 1u << 7,          // Config "FileLogSize"
    kValueFileLogName = 1u << 8,          // Config "FileLogName"
    kValueFileLogEntries = 1u << 9,       // Config "FileLogEntries"
    kValueClientEnabled = 1u << 10,       // NtpClient "Enabled"
    kValueClientInput = 1u << 11,         // NtpClient "InputProvider"
    kValueClientInterval = 1u << 12,      // NtpClient "SpecialPollInterval"
    kValueServerEnabled = 1u << 13,       // NtpServer "Enabled"
    kValueAgentEnabled = 1u << 14,        // Agent "Enabled"
    kValueAgentInterval = 1u << 15,       // Agent "SpecialPollInterval"
    kValueAgentThreshold = 1u << 16,      // Agent "Alert Threshhold (seconds)"
    kValueAgentUnverified = 1u << 17,     // Agent "Alert if Unverified"
    kValueAgentUnsynchronized = 1u << 18, // Agent "Alert if Unsynchronized"
    kValueReferenceClock = 1u << 19,      // Agent "Reference Clock"
};
constexpr uint32_t kFileLogValues = kValueFileLogSize | kValueFileLogName | kValueFileLogEntries;
// What a client option stores.
constexpr uint32_t kClientOptionValues = kValueClientEnabled | kValueClientInput | kValueSyncType;

// The values in which two records differ: each setting by the bit of the value it is stored in;
// the file log's three together when any of them (or whether the log is on) differs; the server
// list when the slots in use differ in count, order, names or flags. Fields no value above holds
// (the agent's registration) are not looked at.
uint32_t ChangedSettingValues(const SettingsRecord& before, const SettingsRecord& after);

// How a value is meant to be stored.
enum class ValueForm { Number, Text, SyncType };

// Whether a stored value (type and size as stored) can be read in its form: a number is a
// REG_DWORD of four bytes; a text a REG_SZ that the read took whole (fitted: it was not over its
// limit); a "Type" such a text naming NoSync, NT5DS, AllSync or NTP.
bool StoredValueReadable(ValueForm form, uint32_t type, uint32_t size, bool fitted,
                         const char* text);

// The registry as the settings were loaded: a value the pages could not read is shown with its
// default and written back only when the user changes it.
struct SettingsBaseline {
    uint32_t unreadable; // SettingValue bits of values present in another form
    uint32_t missing;    // SettingValue bits of values not stored at all
    char* serverList;    // "NTPServer" as stored, null when missing (owned: malloc)
};

// LoadSettings, and the baseline of what the registry held (the previous baseline released).
void LoadSettingsWithBaseline(SettingsRecord* record, SettingsBaseline* baseline);
void ReleaseSettingsBaseline(SettingsBaseline* baseline);
// Writes the values whose bits are in changed, nothing else: the file log's marked values while
// the log is on, all three deleted once it is off; "NTPServer" merged with the stored list, and
// only when the slots (origins: the stored entry each stands for) differ from what it loads as.
void SaveChangedSettings(const SettingsRecord& record, const SettingsBaseline& baseline,
                         const int origins[kMaxTimeServers], uint32_t changed);

// Saves what the installer's rules changed between before (loaded with baseline) and after,
// and writes the values not stored at all with what the settings loaded for them, then the
// agent's registration: a configuration the rules did not touch stays byte for byte (a list of
// more than six servers, a value stored in another form), where a full save would rewrite it.
void SaveSettingsChangedFrom(const SettingsRecord& before, const SettingsBaseline& baseline,
                             const SettingsRecord& after);

// --- The "NTPServer" text ---

// One entry of an "NTPServer" text: a name piece and the flags pieces that follow it.
struct ServerListEntry {
    char name[kServerNameSize]; // as a slot holds it: trimmed, cut to 63 characters
    uint32_t flags;             // the last flags piece's value, kDefaultServerFlags without one
    const char* nameText;       // the name piece as written
    size_t nameLength;
    const char* flagsText; // the flags pieces as written, from the first to the last
    size_t flagsLength;    // 0 without a flags piece
};

// Reads the entry that starts at *cursor and moves the cursor past it; false at the end of the
// list (the end of the text, or a piece that is blank once trimmed).
bool NextServerListEntry(const char** cursor, ServerListEntry* entry);
// Entries of a stored list, the shown six included; 0 for null.
size_t CountServerListEntries(const char* stored);

// A row of the Client page when it is read back.
struct ServerRow {
    const char* text;    // what the row holds (null: empty)
    uint32_t shownFlags; // flags of the slot the row showed (kDefaultServerFlags for none)
    int origin;          // stored entry behind that slot, -1 for none
    int pickedMode;      // mode index the user picked in the row's list, -1 when untouched
};

// The flags a picked mode leaves: the mode bits (2, 4, 8) replaced by the picked one's bit,
// every other bit kept, so client mode with the special interval (9) becomes 3 for "Fallback
// Only" and 1 for "Special Interval".
uint32_t FlagsWithPickedMode(uint32_t flags, int modeIndex);

// Rebuilds the record's slots from six rows: each trimmed, empty ones dropped, the rest in order
// and cut to 63 characters, with the row's flags (changed only by a picked mode; a row that
// showed no stored entry takes the picked mode's flag alone). origins
// receives, for each slot, the stored entry it stands for (-1 for a new name).
void RebuildServerSlots(const ServerRow rows[kMaxTimeServers], SettingsRecord* record,
                        int origins[kMaxTimeServers]);
// The slot origins of a freshly loaded record: slot i stands for entry i.
void IdentityServerOrigins(const SettingsRecord& record, int origins[kMaxTimeServers]);

// Whether the slots differ from what the stored list loads as (names, flags, count, order).
bool ServerSlotsChanged(const char* stored, const SettingsRecord& record,
                        const int origins[kMaxTimeServers]);
// Room for the merged text of a stored list (terminator included).
size_t MergedServerListSize(const char* stored);
// The "NTPServer" text after the edits: the slots in order, then the stored entries beyond the
// shown six as written. A slot standing for a stored entry keeps that entry's name text while
// its name is unchanged and the flags pieces while its flags are; otherwise "name,0xflags"
// (bare names when withFlags is false). Entries are joined by single spaces. False, out "", when
// out (size bytes) is too small.
bool MergeServerList(const char* stored, const SettingsRecord& record,
                     const int origins[kMaxTimeServers], bool withFlags, char* out, size_t size);
