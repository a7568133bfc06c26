#include "config/policy_settings.h"

#include <cstring>
#include <strings.h>

#include "config/registry.h"
#include "config/settings_changes.h"

namespace {

constexpr char kParameters[] = "Parameters";
constexpr char kConfig[] = "Config";
constexpr char kNtpClient[] = "TimeProviders\\NtpClient";
constexpr char kNtpServer[] = "TimeProviders\\NtpServer";

// The values the Windows Time policy templates write, with the template's offered value.
constexpr PolicyValueInfo kPolicyValues[] = {
    // Configure Windows NTP Client
    {kParameters, "NtpServer", PolicyForm::Text, kValueServerList, "time.windows.com,0x9"},
    {kParameters, "Type", PolicyForm::Text, kValueSyncType, "NT5DS"},
    {kNtpClient, "CrossSiteSyncFlags", PolicyForm::Number, 0, "2"},
    {kNtpClient, "ResolvePeerBackoffMinutes", PolicyForm::Number, 0, "15"},
    {kNtpClient, "ResolvePeerBackoffMaxTimes", PolicyForm::Number, 0, "7"},
    {kNtpClient, "SpecialPollInterval", PolicyForm::Number, kValueClientInterval, "3600"},
    {kNtpClient, "EventLogFlags", PolicyForm::Number, 0, "0"},
    // Enable Windows NTP Client / Server
    {kNtpClient, "Enabled", PolicyForm::Number, kValueClientEnabled, "1"},
    {kNtpServer, "Enabled", PolicyForm::Number, kValueServerEnabled, "1"},
    // Global Configuration Settings
    {kConfig, "FrequencyCorrectRate", PolicyForm::Number, 0, "4"},
    {kConfig, "HoldPeriod", PolicyForm::Number, 0, "5"},
    {kConfig, "LargePhaseOffset", PolicyForm::Number, 0, "50000000"},
    {kConfig, "MaxAllowedPhaseOffset", PolicyForm::Number, 0, "300"},
    {kConfig, "MaxNegPhaseCorrection", PolicyForm::Number, 0, "172800"},
    {kConfig, "MaxPosPhaseCorrection", PolicyForm::Number, 0, "172800"},
    {kConfig, "PhaseCorrectRate", PolicyForm::Number, 0, "1"},
    {kConfig, "PollAdjustFactor", PolicyForm::Number, 0, "5"},
    {kConfig, "SpikeWatchPeriod", PolicyForm::Number, 0, "900"},
    {kConfig, "UpdateInterval", PolicyForm::Number, 0, "100"},
    {kConfig, "AnnounceFlags", PolicyForm::Number, kValueAnnounceFlags, "10"},
    {kConfig, "EventLogFlags", PolicyForm::Number, 0, "2"},
    {kConfig, "LocalClockDispersion", PolicyForm::Number, 0, "10"},
    {kConfig, "MaxPollInterval", PolicyForm::Number, 0, "10"},
    {kConfig, "MinPollInterval", PolicyForm::Number, 0, "6"},
    {kConfig, "ClockHoldoverPeriod", PolicyForm::Number, 0, "7800"},
    {kConfig, "RequireSecureTimeSyncRequests", PolicyForm::Number, 0, "0"},
    {kConfig, "UtilizeSslTimeData", PolicyForm::Number, 0, "1"},
    {kConfig, "ClockAdjustmentAuditLimit", PolicyForm::Number, 0, "800"},
    {kConfig, "ChainEntryTimeout", PolicyForm::Number, 0, "16"},
    {kConfig, "ChainMaxEntries", PolicyForm::Number, 0, "128"},
    {kConfig, "ChainMaxHostEntries", PolicyForm::Number, 0, "4"},
    {kConfig, "ChainDisable", PolicyForm::Number, 0, "0"},
    {kConfig, "ChainLoggingRate", PolicyForm::Number, 0, "30"},
};
static_assert(sizeof(kPolicyValues) / sizeof(kPolicyValues[0]) <= PolicyValues::kMaxValues,
              "PolicyValues holds every value of the table");

bool Is(const PolicyValueInfo& info, const char* subkey, const char* name) {
    return std::strcmp(info.subkey, subkey) == 0 && strcasecmp(info.name, name) == 0;
}

void CopyField(uint32_t bit, uint32_t set, const SettingsRecord& from, SettingsRecord* to) {
    if ((set & bit) == 0) {
        return;
    }
    switch (bit) {
    case kValueServerList:
        to->serverCount = from.serverCount;
        std::memcpy(to->servers, from.servers, sizeof(to->servers));
        break;
    case kValueSyncType:
        to->syncType = from.syncType;
        break;
    case kValueClientInterval:
        to->ntpClientPollInterval = from.ntpClientPollInterval;
        break;
    case kValueClientEnabled:
        to->ntpClientEnabled = from.ntpClientEnabled;
        break;
    case kValueServerEnabled:
        to->ntpServerEnabled = from.ntpServerEnabled;
        break;
    case kValueAnnounceFlags:
        to->announceFlags = from.announceFlags;
        break;
    default:
        break;
    }
}

} // namespace

const PolicyValueInfo* PolicyValueTable(size_t* count) {
    *count = sizeof(kPolicyValues) / sizeof(kPolicyValues[0]);
    return kPolicyValues;
}

bool PolicyValueUsable(const PolicyValueInfo& info, const PolicyStoredValue& value) {
    if (!value.present) {
        return false;
    }
    if (info.form == PolicyForm::Number) {
        return StoredValueReadable(ValueForm::Number, value.type, value.size, true, nullptr);
    }
    // A text the service reads (either string type), whole and not empty.
    if ((value.type != kRegString && value.type != kRegExpandString) || value.textCut ||
        value.text.empty()) {
        return false;
    }
    if (Is(info, kParameters, "Type")) {
        const uint32_t code = ParseSyncType(value.text.c_str());
        return code >= kSyncNoSync && code <= kSyncNtp;
    }
    return true;
}

EffectiveSettings ApplyPolicy(const SettingsRecord& local, const PolicyValues& policy,
                              bool windows2000) {
    EffectiveSettings settings;
    settings.local = local;
    settings.effective = local;
    if (windows2000) {
        return settings;
    }
    size_t count = 0;
    const PolicyValueInfo* table = PolicyValueTable(&count);
    for (size_t i = 0; i < count; ++i) {
        const PolicyValueInfo& info = table[i];
        const PolicyStoredValue& value = policy.values[i];
        if (!PolicyValueUsable(info, value)) {
            continue;
        }
        ++settings.policyValueCount;
        SettingsRecord& out = settings.effective;
        if (Is(info, kParameters, "NtpServer")) {
            ParseServerList(value.text.c_str(), &out);
        } else if (Is(info, kParameters, "Type")) {
            out.syncType = ParseSyncType(value.text.c_str());
        } else if (Is(info, kNtpClient, "SpecialPollInterval")) {
            out.ntpClientPollInterval = value.number;
        } else if (Is(info, kNtpClient, "Enabled")) {
            out.ntpClientEnabled = value.number;
        } else if (Is(info, kNtpServer, "Enabled")) {
            out.ntpServerEnabled = value.number;
        } else if (Is(info, kConfig, "AnnounceFlags")) {
            out.announceFlags = value.number;
        } else if (Is(info, kConfig, "MaxAllowedPhaseOffset")) {
            out.maxPhaseOffset = value.number;
        }
        settings.policySet |= info.settingValue;
    }
    return settings;
}

SettingsRecord LocalRecordToSave(const SettingsRecord& edited, const EffectiveSettings& settings) {
    SettingsRecord out = edited;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        CopyField(bit, settings.policySet, settings.local, &out);
    }
    out.maxPhaseOffset = settings.local.maxPhaseOffset;
    return out;
}
