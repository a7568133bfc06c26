// Apply: the applet's settings written to the target machine as one transaction, then the
// machine's services told (the service manager's start type, the NTP port taken over from the
// family server, the time service notified and asked to synchronize).
#pragma once
#include <windows.h>

#include <cstdint>

#include "config/settings.h"
#include "config/settings_changes.h"

// What Apply needs from its caller.
struct ApplyContext {
    HWND owner;             // owner of the service manager's error boxes (may be null)
    const char* machine;    // the target machine, null for this machine
    uint32_t familyProduct; // DetectFamilyProduct of the target
    bool laterThan2000;     // the applet's release family: decides how the service is told
    // Asks the target's time service to synchronize; returns 0 when it accepted.
    uint32_t (*triggerSync)(const char* machine);
};

// Saves the values in changedValues (SaveChangedSettings: baseline and origins as loaded), gives
// the service manager the start type when it changed, then either hands the NTP port over from
// the family server (its NTP protocol off and its splash skipped, W32Time stopped, the family
// server restarted, W32Time started) or, when W32Time runs, tells it of the change and asks it
// to synchronize. Returns the trigger's result, 0 when none was sent.
int ApplyMachineSettings(const SettingsRecord& record, const SettingsBaseline& baseline,
                         const int serverOrigins[kMaxTimeServers], uint32_t changedValues,
                         const ApplyContext& context);
