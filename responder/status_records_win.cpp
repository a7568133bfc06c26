// The agent's status records and installation identifier. The records' byte layouts come with the
// management responder; until then the agent's bookkeeping calls land here and are kept in memory.
#include "agent/agent_interfaces_win.h"

#include <cstdio>

namespace {
struct StatusCounters {
    bool pending;
    uint32_t syncEvents;
    uint32_t syncSuccesses;
    uint32_t syncFailures;
    uint32_t lastSyncTime;
    uint32_t agentStartTime;
    int64_t offsetSumMs;
    int64_t lastOffsetMs;
    uint8_t role;
    char partnerName[63];
};
StatusCounters g_status;
} // namespace

void InitAgentStatusBlock(uint8_t role) {
    g_status = StatusCounters{};
    g_status.role = role;
    std::snprintf(g_status.partnerName, sizeof(g_status.partnerName), "%s", "(none since startup)");
}
void InitVersionRecord(uint8_t) {}
void BuildStatusRecord() {}
DWORD GetInstallationId() {
    return 0;
}
void StatusSetPending(bool pending) {
    g_status.pending = pending;
}
void StatusCountSync(bool success) {
    ++g_status.syncEvents;
    ++(success ? g_status.syncSuccesses : g_status.syncFailures);
}
void StatusNoteSync(uint32_t lastSyncTime) {
    g_status.lastSyncTime = lastSyncTime;
}
void StatusSetPartnerName(const char* name) {
    std::snprintf(g_status.partnerName, sizeof(g_status.partnerName), "%s", name);
}
void StatusMarkThreadStart(uint32_t now) {
    g_status.pending = true;
    g_status.agentStartTime = now;
}
void StatusMarkThreadEnd() {
    g_status.pending = false;
    g_status.agentStartTime = 0;
}
void StatusAddOffset(int64_t offsetMs) {
    g_status.offsetSumMs += offsetMs;
    g_status.lastOffsetMs = offsetMs;
}
uint8_t StatusRole() {
    return g_status.role;
}
