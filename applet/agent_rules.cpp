#include "applet/agent_rules.h"

#include <cstdio>

#include "applet/agent_history.h"

AgentPageLayout AgentPageLayoutOf(bool familyInstalled) {
    return AgentPageLayout{familyInstalled ? kAgentFamilyNote : kAgentOverrideNote,
                           !familyInstalled, !familyInstalled};
}

void StoreAgentFields(const AgentPageFields& fields, SettingsRecord* record) {
    std::snprintf(record->referenceClock, sizeof(record->referenceClock), "%s",
                  fields.reference != nullptr ? fields.reference : "");
    record->agentPollInterval = IntervalSeconds(fields.intervalMinutes);
    record->alertThreshold = fields.threshold;
    record->agentEnabled = fields.agentTicked ? 1 : 0;
    record->alertIfUnverified = fields.alertUnverifiedTicked ? 1 : 0;
    record->alertIfUnsynchronized = fields.alertUnsynchronizedTicked ? 1 : 0;
}
