// The Server page's decisions and texts that need no window: its options as the registry stores
// them, which controls it shows and enables, what a click marks changed, when the family server's
// NTP conflict is asked about, and the sentence of its server test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "applet/client_rules.h"
#include "config/settings.h"

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

// Which of the page's controls show and are enabled. later: the target runs a release after
// Windows 2000 (three server options and three reliability options; the 2000 template has one
// reliability box). serving: a server option other than "Disabled" is chosen.
struct ServerPageControls {
    bool laterOptions;    // "Disabled" and the three reliability options shown
    bool reliable2000;    // the single reliability box shown
    bool reliableEnabled; // the three reliability options
    bool testEnabled;     // "Test" and its result line
};
ServerPageControls ServerControlStates(bool later, bool serving, uint32_t familyProduct);

// SettingValue bits a click on a server option changes.
uint32_t ServerOptionValues(bool later);

// Whether Group Policy (policySet: SettingValue bits in force from policy) sets what the server
// options store, and what the reliability options store; those controls are then locked.
bool PolicySetsServerOption(bool later, uint32_t policySet);
bool PolicySetsReliability(uint32_t policySet);

// Whether a click on a server option asks before taking NTP from the family server: on later
// releases, once per page (unconfirmed), and only while that server serves NTP.
bool ServerConflictAsked(bool later, bool unconfirmed, bool familyServesNtp);
