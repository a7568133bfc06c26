// What an Apply does to the machine besides saving the changed settings, decided without the
// system: whether the service manager gets a new start type, whether Windows Time takes the NTP
// port over from the family server, and how a running service learns of the change.
#pragma once

#include <cstdint>

#include "config/settings.h"

// The start type (2 automatic, 3 manual, 4 disabled) to give W32Time in its service manager:
// only when the user changed it and it is one of those three. False when there is none.
bool StartTypeToApply(const SettingsRecord& record, uint32_t changedValues, uint32_t* startType);

// Whether switching on the Windows Time server may need the NTP port of the family server: the
// family server is installed and the record serves NTP. (Whether that server serves NTP now is
// asked of the registry only then.)
bool NtpHandOverPossible(const SettingsRecord& record, uint32_t familyProduct);

// How a running W32Time learns of new settings: releases after Windows 2000 take the
// parameter-change control; Windows 2000 is restarted.
enum class ServiceNotice { kParameterChange, kRestart };
ServiceNotice ServiceNoticeFor(bool laterThan2000);
