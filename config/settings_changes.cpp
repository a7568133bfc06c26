#include "config/settings_changes.h"

#include <cstring>

#include "config/registry.h"

namespace {

void MarkIf(bool differs, uint32_t bit, uint32_t* changed) {
    if (differs) {
        *changed |= bit;
    }
}

bool TextsDiffer(const char* a, const char* b, size_t size) {
    return std::strncmp(a, b, size) != 0;
}

bool ServerSlotsDiffer(const SettingsRecord& a, const SettingsRecord& b) {
    if (a.serverCount != b.serverCount) {
        return true;
    }
    const size_t used = a.serverCount < kMaxTimeServers ? a.serverCount : kMaxTimeServers;
    for (size_t i = 0; i < used; ++i) {
        if (a.servers[i].flags != b.servers[i].flags ||
            TextsDiffer(a.servers[i].name, b.servers[i].name, kServerNameSize)) {
            return true;
        }
    }
    return false;
}

} // namespace

uint32_t ChangedSettingValues(const SettingsRecord& a, const SettingsRecord& b) {
    uint32_t changed = 0;
    MarkIf(a.timeSource != b.timeSource, kValueTimeSource, &changed);
    MarkIf(a.syncType != b.syncType, kValueSyncType, &changed);
    MarkIf(a.serviceStart != b.serviceStart, kValueServiceStart, &changed);
    MarkIf(ServerSlotsDiffer(a, b), kValueServerList, &changed);
    MarkIf(a.localNtp != b.localNtp, kValueLocalNtp, &changed);
    MarkIf(a.reliableTimeSource != b.reliableTimeSource, kValueReliableSource, &changed);
    MarkIf(a.announceFlags != b.announceFlags, kValueAnnounceFlags, &changed);
    MarkIf(a.fileLogging != b.fileLogging || a.fileLogSize != b.fileLogSize ||
               TextsDiffer(a.fileLogEntries, b.fileLogEntries, sizeof(a.fileLogEntries)) ||
               TextsDiffer(a.fileLogName, b.fileLogName, sizeof(a.fileLogName)),
           kFileLogValues, &changed);
    MarkIf(a.ntpClientEnabled != b.ntpClientEnabled, kValueClientEnabled, &changed);
    MarkIf(a.ntpClientInputProvider != b.ntpClientInputProvider, kValueClientInput, &changed);
    MarkIf(a.ntpClientPollInterval != b.ntpClientPollInterval, kValueClientInterval, &changed);
    MarkIf(a.ntpServerEnabled != b.ntpServerEnabled, kValueServerEnabled, &changed);
    MarkIf(a.agentEnabled != b.agentEnabled, kValueAgentEnabled, &changed);
    MarkIf(a.agentPollInterval != b.agentPollInterval, kValueAgentInterval, &changed);
    MarkIf(a.alertThreshold != b.alertThreshold, kValueAgentThreshold, &changed);
    MarkIf(a.alertIfUnverified != b.alertIfUnverified, kValueAgentUnverified, &changed);
    MarkIf(a.alertIfUnsynchronized != b.alertIfUnsynchronized, kValueAgentUnsynchronized, &changed);
    MarkIf(TextsDiffer(a.referenceClock, b.referenceClock, sizeof(a.referenceClock)),
           kValueReferenceClock, &changed);
    return changed;
}

bool StoredValueReadable(ValueForm form, uint32_t type, uint32_t size, bool fitted,
                         const char* text) {
    switch (form) {
    case ValueForm::Number:
        return type == kRegNumber && size == 4;
    case ValueForm::Text:
        return type == kRegString && fitted;
    case ValueForm::SyncType: {
        const uint32_t code = ParseSyncType(text);
        return type == kRegString && fitted && code >= kSyncNoSync && code <= kSyncNtp;
    }
    }
    return false;
}
