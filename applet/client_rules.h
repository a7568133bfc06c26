// The Client page's decisions and texts that need no window (both templates): the status verdict
// and the variance text of the live display, when "Sync Now" may be pressed, the client options
// and server modes as the registry stores them, the server list rebuilt from the six rows, and
// which controls the options, the typed names and a family product leave enabled.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"
#include "config/settings_changes.h"

// The status icons in the order of their resources (unknown, good, bad, warning).
enum StatusVerdictIcon : int {
    kVerdictUnknown = 0,
    kVerdictGood = 1,
    kVerdictBad = 2,
    kVerdictWarning = 3,
};

struct StatusVerdict {
    int icon;
    const char* line;
};

// The verdict of one status pass: answered rows, the sum of their absolute differences from the
// machine in 100 ns units, and whether the machine's own time was known.
StatusVerdict JudgeSyncStatus(uint32_t answered, uint64_t absoluteSum, bool machineTimeKnown);

// A variance in signed milliseconds as the display shows it: "+0.250 secs", "-1.500 secs",
// "+1 min", "+2 hrs", "+3 days" (only the largest whole unit above a minute). Writes at most
// size - 1 characters and a zero; returns out.
char* FormatVarianceInto(int64_t ms, char* out, size_t size);

// The variance in milliseconds of a source against the machine, both offsets from the local
// clock in 100 ns units: truncated toward zero.
int64_t VarianceMs(int64_t sourceOffset, int64_t machineOffset);

// The five options of the Client page for later releases, in the order of the table of what
// each stores.
enum ClientOption : int {
    kClientDisabled = 0,
    kClientNoSync,
    kClientNt5ds,
    kClientAllSync,
    kClientNtp,
    kClientNone = -1,
};

// The option a record shows: "Disabled" when the NTP client is off, else by "Type" (1 NoSync,
// 2 NT5DS, 3 AllSync, 4 NTP); kClientNone for any other type.
int ClientOptionOfRecord(const SettingsRecord& record);
// Stores an option: NTP client on/off, input provider and "Type"; kClientNone stores NTP.
void StoreClientOption(int option, SettingsRecord* record);
// Whether the record already holds what "Disabled" stores.
bool HoldsDisabledOption(const SettingsRecord& record);
// What a family product that owns the clock imposes: the "Disabled" option's values (NTP client
// off, not an input provider, "Type" NoSync), each set only when the record differs and the
// value was stored in a form the page could read (unreadable: SettingValue bits). Returns the
// bits of the values it changed.
uint32_t ImposeFamilyClockOwner(SettingsRecord* record, uint32_t unreadable);
// The same on the Windows 2000 template, where it is "Type" NoSync alone.
uint32_t ImposeFamilyClockOwner2000(SettingsRecord* record, uint32_t unreadable);
// The options of the Windows 2000 template: NoSync, NT5DS, NTP by "Type" 1, 2, 4; kClientNone
// otherwise. Reading back stores 1, 2, or 4 for anything else.
int Client2000OptionOfRecord(const SettingsRecord& record);
uint32_t SyncTypeOfClient2000Option(int option);

// The per-server mode list: its items in list order, the index a flag value selects and the
// flag an index stands for (index -1, nothing selected: 1).
constexpr size_t kServerModeCount = 4;
extern const char* const kServerModeNames[kServerModeCount];
int ServerModeIndexOfFlags(uint32_t flags);
uint32_t ServerFlagsOfModeIndex(int index);

// The Client page's note on stored servers beyond its six rows ("" when there are none): they
// are kept after the rows. Writes at most size - 1 characters and a zero; returns out.
char* FormatMoreServersNote(size_t beyond, char* out, size_t size);

// The special poll interval as typed: a number below 1 (or no number, read as 0) stores 1.
uint32_t SpecialPollIntervalOfTyped(uint32_t typed);

// The family-product note of the Client pages and whether that product owns the clock.
// serverSlave tells whether the family server synchronizes the clock (its slave mode).
struct FamilyClockNote {
    bool ownsClock;
    const char* text;
};
FamilyClockNote FamilyClockNoteOf(uint32_t familyProduct, bool serverSlave);

// "Sync Now" may be pressed when the service runs, neither "NoSync" nor "Disabled" is chosen
// (option: a ClientOption) and no synchronization the user asked for is still pending (the
// time-source line says "Please wait...." until the next status pass replaces it).
bool SyncNowAllowed(bool serviceRunning, int option, bool syncPending);

// What the rows need to know: the six rows of both templates.
constexpr int kClientRowCount = 6;

// The Client page's enabled controls. later: the template of releases after Windows 2000 (five
// options, mode lists and the interval); option: the chosen ClientOption; familyOwnsClock: a
// family product owns the clock (the options that would let Windows Time set it are locked);
// named: which rows hold a server name (after trimming).
struct ClientPageControls {
    bool options[5];                 // by ClientOption
    bool serverEdits;                // the six name edits
    bool modeLists[kClientRowCount]; // later template only
    bool interval;                   // the interval edit, its label and unit (later template)
};
ClientPageControls ClientControlStates(bool later, int option, bool familyOwnsClock,
                                       const bool named[kClientRowCount]);

// SettingValue bits a click on an option changes on each template.
uint32_t ClientOptionValues(bool later);

// Locks what Group Policy sets (policySet: SettingValue bits of the values in force from
// policy): the options when it sets the client's switch or "Type", the names and their modes
// when it sets the server list, the interval when it sets the special poll interval.
void LockPolicySettings(uint32_t policySet, bool later, ClientPageControls* controls);
// The SettingValue bits the Client page shows (both templates).
constexpr uint32_t kClientPolicyValues =
    kClientOptionValues | kValueServerList | kValueClientInterval;

// The help subject of the Client page's link on each template.
const char* ClientHelpSubject(bool later);
