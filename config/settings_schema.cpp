#include "config/settings_schema.h"

#include <cstring>

#include "common/system_identity.h"
#include "config/registry_keys.h"
#include "config/settings_changes.h"

namespace {

using T = SettingType;
using R = SettingRelease;
using O = SettingOwner;

#define NUMBER_AT(field) offsetof(SettingsRecord, field), 0
#define TEXT_AT(field) offsetof(SettingsRecord, field), sizeof(SettingsRecord::field) - 1

const SettingField kFields[] = {
    // key, name, type, release, owner, Apply bit, default, field
    {kLanManParametersKeyPath, "TimeSource", T::Number, R::All, O::Pages, kValueTimeSource, 0,
     NUMBER_AT(timeSource)},
    // "Type" is read through a text of up to 260 characters.
    {kTimeParametersKeyPath, "Type", T::SyncType, R::All, O::Pages, kValueSyncType, 0,
     offsetof(SettingsRecord, syncType), 260},
    {kTimeServiceKeyPath, "Start", T::Number, R::All, O::Pages, kValueServiceStart, 2,
     NUMBER_AT(serviceStart)},
    {kTimeParametersKeyPath, "NTPServer", T::ServerList, R::All, O::Pages, kValueServerList, 0,
     offsetof(SettingsRecord, servers), 0},
    {kTimeParametersKeyPath, "LocalNTP", T::Number, R::Win2000Only, O::Pages, kValueLocalNtp, 0,
     NUMBER_AT(localNtp)},
    {kTimeParametersKeyPath, "ReliableTimeSource", T::Number, R::Win2000Only, O::Pages,
     kValueReliableSource, 0, NUMBER_AT(reliableTimeSource)},
    {kTimeConfigKeyPath, "AnnounceFlags", T::Number, R::XpAndLater, O::Pages, kValueAnnounceFlags,
     0, NUMBER_AT(announceFlags)},
    {kTimeConfigKeyPath, "FileLogSize", T::Number, R::XpAndLater, O::Pages, kValueFileLogSize, 0,
     NUMBER_AT(fileLogSize)},
    {kTimeConfigKeyPath, "FileLogEntries", T::Text, R::XpAndLater, O::Pages, kValueFileLogEntries,
     0, TEXT_AT(fileLogEntries)},
    {kTimeConfigKeyPath, "FileLogName", T::Text, R::XpAndLater, O::Pages, kValueFileLogName, 0,
     TEXT_AT(fileLogName)},
    {kTimeConfigKeyPath, "MaxAllowedPhaseOffset", T::Number, R::XpAndLater, O::LoadedOnly, 0, 0,
     NUMBER_AT(maxPhaseOffset)},
    {kNtpClientKeyPath, "Enabled", T::Number, R::XpAndLater, O::Pages, kValueClientEnabled, 0,
     NUMBER_AT(ntpClientEnabled)},
    {kNtpClientKeyPath, "InputProvider", T::Number, R::XpAndLater, O::Pages, kValueClientInput, 0,
     NUMBER_AT(ntpClientInputProvider)},
    {kNtpClientKeyPath, "SpecialPollInterval", T::Number, R::XpAndLater, O::Pages,
     kValueClientInterval, 0, NUMBER_AT(ntpClientPollInterval)},
    {kNtpServerKeyPath, "Enabled", T::Number, R::XpAndLater, O::Pages, kValueServerEnabled, 0,
     NUMBER_AT(ntpServerEnabled)},
    // The agent's registration.
    {kAgentKeyPath, kServiceInstalledValue, T::Boolean, R::XpAndLater, O::Registration, 0, 0,
     NUMBER_AT(agentInstalled)},
    {kAgentKeyPath, "DNS Lookups Enabled", T::Boolean, R::XpAndLater, O::Registration, 0, 1,
     NUMBER_AT(dnsLookups)},
    {kAgentKeyPath, "InputProvider", T::Number, R::XpAndLater, O::Registration, 0, 0,
     NUMBER_AT(agentInputProvider)},
    // The agent's settings.
    {kAgentKeyPath, "Enabled", T::Number, R::XpAndLater, O::Agent, kValueAgentEnabled, 0,
     NUMBER_AT(agentEnabled)},
    {kAgentKeyPath, "SpecialPollInterval", T::Number, R::XpAndLater, O::Agent, kValueAgentInterval,
     1800, NUMBER_AT(agentPollInterval)},
    {kAgentKeyPath, "Reference Clock", T::Text, R::XpAndLater, O::Agent, kValueReferenceClock, 0,
     TEXT_AT(referenceClock)},
    {kAgentKeyPath, "Alert if Unsynchronized", T::Number, R::XpAndLater, O::Agent,
     kValueAgentUnsynchronized, 1, NUMBER_AT(alertIfUnsynchronized)},
    {kAgentKeyPath, "Alert if Unverified", T::Number, R::XpAndLater, O::Agent,
     kValueAgentUnverified, 1, NUMBER_AT(alertIfUnverified)},
    // Spelled so in every stored configuration: the name is the value's identity.
    {kAgentKeyPath, "Alert Threshhold (seconds)", T::Number, R::XpAndLater, O::Agent,
     kValueAgentThreshold, 2, NUMBER_AT(alertThreshold)},
};

#undef TEXT_AT
#undef NUMBER_AT

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

bool SettingDiffers(const SettingField& field, const SettingsRecord& a, const SettingsRecord& b) {
    switch (field.type) {
    case SettingType::ServerList:
        return ServerSlotsDiffer(a, b);
    case SettingType::Text:
        return TextsDiffer(SettingText(a, field), SettingText(b, field), field.limit + 1);
    case SettingType::Number:
    case SettingType::Boolean:
    case SettingType::SyncType:
        return SettingNumber(a, field) != SettingNumber(b, field);
    }
    return false;
}

const SettingField* SettingFields(size_t* count) {
    *count = sizeof(kFields) / sizeof(kFields[0]);
    return kFields;
}

bool SettingExistsOn(const SettingField& field, uint32_t os) {
    switch (field.release) {
    case SettingRelease::All:
        return true;
    case SettingRelease::Win2000Only:
        return os == kOsWin2000;
    case SettingRelease::XpAndLater:
        return os >= kOsWinXP;
    }
    return false;
}

uint32_t* SettingNumber(SettingsRecord* record, const SettingField& field) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<unsigned char*>(record) + field.offset);
}

uint32_t SettingNumber(const SettingsRecord& record, const SettingField& field) {
    uint32_t value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(&record) + field.offset,
                sizeof(value));
    return value;
}

char* SettingText(SettingsRecord* record, const SettingField& field) {
    return reinterpret_cast<char*>(record) + field.offset;
}

const char* SettingText(const SettingsRecord& record, const SettingField& field) {
    return reinterpret_cast<const char*>(&record) + field.offset;
}

bool StoredSettingsDiffer(const SettingsRecord& a, const SettingsRecord& b) {
    if (a.fileLogging != b.fileLogging) {
        return true;
    }
    for (const SettingField& field : kFields) {
        if (SettingDiffers(field, a, b)) {
            return true;
        }
    }
    return false;
}
