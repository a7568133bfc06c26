// The applet's process-wide state: the machine it works on, the settings record the pages share,
// and what the sheet run creates for the pages and the status thread (fonts, icons, events).
// Everything here is used on Control Panel's thread, except SheetResources, which the status
// thread shares through its own reference.
#pragma once
#include <windows.h>

#include <cstdint>

#include "applet/applet_rules.h"
#include "common/system_identity.h"
#include "config/policy_settings.h"
#include "config/settings.h"
#include "config/settings_changes.h"

// The sheet's status icons, in the order of their resources 142 to 145.
enum StatusIcon { kIconUnknown = 0, kIconGood, kIconBad, kIconWarning, kStatusIconCount };

// What a sheet run creates and the status thread uses. Reference counted: the frame holds one
// reference and the status thread another, and the last release deletes the fonts and icons and
// closes the events, so a status thread that outlives the frame's wait never touches a released
// handle. windowsOpen turns 0 when the Client page is destroyed; from then on the thread must not
// touch any window.
struct SheetResources {
    volatile LONG references;
    volatile LONG windowsOpen;
    HFONT normalFont;
    HFONT boldFont;
    HFONT underlinedFont;
    HFONT fixedFont;
    HICON icons[kStatusIconCount];
    HANDLE stopEvent;     // manual reset: the sheet has closed
    HANDLE checkNowEvent; // automatic reset: a page asks for a status pass now
    // The library's own reference that the status thread holds while it runs, so that Control
    // Panel unloading the library cannot pull the code from under a thread that outlived the
    // sheet; null when the applet is linked into a program.
    HMODULE pinnedModule;
};

SheetResources* CreateSheetResources();
void RetainSheetResources(SheetResources* resources);
void ReleaseSheetResources(SheetResources* resources);

struct AppletState {
    char targetMachine[kTargetMachineChars + 1]; // upper case; "" for the local machine
    bool quietMode;
    bool winsockStarted;
    OsFamily targetOs;
    uint32_t serverTypeBits;
    bool remoteWin2000;
    // The settings in force: Group Policy's values in place of the local ones it overrides.
    SettingsRecord settings;
    // Which of them policy sets, and the local values it hides (Apply never writes those).
    EffectiveSettings policy;
    // What the registry held when the settings were loaded, and, for each server slot of
    // settings, the stored entry it stands for (-1 for a name the user added).
    SettingsBaseline baseline;
    int serverOrigins[kMaxTimeServers];
    // SettingValue bits of the values the user (or a family rule) changed since the load: Apply
    // writes these and nothing else.
    uint32_t changedValues;
    bool settingsDirty;
    unsigned busyCount;
    SheetResources* sheet; // while a sheet run is open
    HWND sheetWindow;
    HWND graphWindow;
    HWND clientPage;
    HANDLE statusThread;
};

AppletState& Applet();

// The module whose resources the applet shows: kestrel.cpl when loaded, otherwise the program
// the applet is linked into (tests).
HINSTANCE AppletModule();

// The TargetMachine for registry, service and file calls: null for the local machine.
const char* TargetOrNull();
bool TargetIsRemote();
// The name pages show: the TargetMachine, or the local computer name.
const char* TargetDisplayName();
