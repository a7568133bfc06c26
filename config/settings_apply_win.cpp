#include "config/settings_apply_win.h"

#include "config/registry.h"
#include "config/service_control_win.h"
#include "config/settings_apply.h"

int ApplyMachineSettings(const SettingsRecord& record, const SettingsBaseline& baseline,
                         const int serverOrigins[kMaxTimeServers], uint32_t changedValues,
                         const ApplyContext& context) {
    // Only what was changed since the settings were loaded is written.
    SaveChangedSettings(record, baseline, serverOrigins, changedValues);
    const char* machine = context.machine;
    uint32_t startType = 0;
    if (StartTypeToApply(record, changedValues, &startType)) {
        SetTimeServiceStartType(machine, startType);
    }

    // Two NTP servers cannot share the port: switching the Windows Time server on hands the port
    // over from the family server, which keeps its other protocols.
    if (NtpHandOverPossible(record, context.familyProduct) && FamilyServerServesNtp()) {
        WriteBoolean(kFamilyServerProtocolsKey, "NTP/SNTP (RFC 1769)", false);
        WriteBoolean(kFamilyServerParametersKey, "Skip Splash Once", true);
        ControlTimeService(context.owner, machine, kTimeServiceStop, false);
        RestartService(context.owner, machine, "Quorvex Server");
        ControlTimeService(context.owner, machine, kTimeServiceStart, true);
        return 0;
    }

    if (!ControlTimeService(context.owner, machine, kTimeServiceIsRunning, false)) {
        return 0;
    }
    if (ServiceNoticeFor(context.laterThan2000) == ServiceNotice::kParameterChange) {
        ControlTimeService(context.owner, machine, kTimeServiceParamChange, true);
    } else {
        RestartService(context.owner, machine, "W32Time");
    }
    return context.triggerSync != nullptr ? static_cast<int>(context.triggerSync(machine)) : 0;
}
