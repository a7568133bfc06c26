// The Client and Server pages' decisions and texts that need no window: the status verdict and
// the variance text of the live display, when "Sync Now" may be pressed, the client options and
// server modes as the registry stores them, the server list rebuilt from the six rows, the
// Server page's options, and the sentence of its server test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

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

// "Sync Now" may be pressed when the service runs, neither "NoSync" nor "Disabled" is chosen and
// the time-source line is not in a waiting state (no "checking" or "..." in any case).
bool SyncNowAllowed(bool serviceRunning, bool noSyncSelected, bool disabledSelected,
                    const char* timeSourceText);

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

// The Server page (later releases): which server option and which reliability option a record
// shows, and what a choice stores.
enum ServerOption : int { kServerDisabled = 0, kServerAlways, kServerAutomatic };
enum ReliableOption : int { kReliableNever = 0, kReliableAlways, kReliableAutomatic };
int ServerOptionOfRecord(const SettingsRecord& record);
int ReliableOptionOfRecord(const SettingsRecord& record);
// reliable -1 means none selected (stored as automatic).
void StoreServerOptions(int server, int reliable, SettingsRecord* record);
// The text of the "Disabled" server option.
const char* ServerDisabledText(uint32_t familyProduct, uint32_t ntpClientEnabled);

// The result of the Server page's test. reply is the 48 bytes the server sent (stratum in
// byte 1, reference identifier in bytes 12-15); clientIcon the icon the Client page shows.
// *icon receives the icon this page shows. Write at most size - 1 characters and a zero.
char* FormatServerTestSuccess(const char* host, const uint8_t* reply, int clientIcon, int* icon,
                              char* out, size_t size);
// A failure: the not-synchronized text for error 1901 (warning icon), otherwise the socket
// error's text (bad icon).
char* FormatServerTestFailure(const char* host, uint32_t error, const char* socketErrorText,
                              int* icon, char* out, size_t size);
