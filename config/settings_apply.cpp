#include "config/settings_apply.h"

#include "config/settings_changes.h"

bool StartTypeToApply(const SettingsRecord& record, uint32_t changedValues, uint32_t* startType) {
    if ((changedValues & kValueServiceStart) == 0 || record.serviceStart < 2 ||
        record.serviceStart > 4) {
        return false;
    }
    *startType = record.serviceStart;
    return true;
}

bool NtpHandOverPossible(const SettingsRecord& record, uint32_t familyProduct) {
    return familyProduct == kFamilyServer && record.ntpServerEnabled != 0;
}

ServiceNotice ServiceNoticeFor(bool laterThan2000) {
    return laterThan2000 ? ServiceNotice::kParameterChange : ServiceNotice::kRestart;
}
