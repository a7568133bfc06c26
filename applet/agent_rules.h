// The Agent page's decisions that need no window, beside its history lines (agent_history.h):
// what the page shows with and without a family product, and what its fields store.
#pragma once

#include <cstdint>

#include "config/settings.h"

// With a product of the family installed, that product decides whether the agent runs: the
// note says so, the agent box is locked and the agent's own options are hidden.
struct AgentPageLayout {
    const char* note;
    bool agentBoxEnabled;
    bool optionsShown; // server, interval, alerts, threshold and their labels
};
AgentPageLayout AgentPageLayoutOf(bool familyInstalled);

// The page's fields as the user left them. reference is trimmed by the caller.
struct AgentPageFields {
    const char* reference;
    uint32_t intervalMinutes;
    uint32_t threshold;
    bool agentTicked;
    bool alertUnverifiedTicked;
    bool alertUnsynchronizedTicked;
};
// Stores the fields: the reference cut to its field, the interval in seconds (see
// IntervalSeconds), the threshold as typed and the three boxes as 0 or 1.
void StoreAgentFields(const AgentPageFields& fields, SettingsRecord* record);
