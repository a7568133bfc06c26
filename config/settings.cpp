#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/system_identity.h"
#include "config/registry.h"
#include "config/settings_changes.h"
#include "config/settings_platform.h"
#include "resources/version.h"

namespace {

const char kLanMan[] = "\\\\System\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
const char kService[] = "\\\\System\\CurrentControlSet\\Services\\W32Time";
const char kParameters[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
const char kConfig[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Config";
const char kNtpClient[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
const char kNtpServer[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpServer";
constexpr const char* kAgent = kAgentKeyPath;
const char kCategory[] =
    "\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended "
    "Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2";
const char kComputerNameKey[] =
    "\\\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
const char kCategoryValue[] = "%systemroot%\\system32\\kestrel.cpl";
const char kLibraryName[] = "kestrel.cpl";

constexpr const char* kFamilyServerKey = kFamilyServerParametersKey;
constexpr const char* kFamilyClientKey = kFamilyClientParametersKey;
constexpr const char* kFamilyServerProtocols = kFamilyServerProtocolsKey;
const char kFamilyServerService[] = "\\\\System\\CurrentControlSet\\Services\\Quorvex Server";
const char kFamilyClientService[] = "\\\\System\\CurrentControlSet\\Services\\Quorvex Client";

Environment g_environment{};

// Server-list text size: the whole value as stored.
constexpr size_t kServerListSize = 65536;

void ReadText(const char* key, const char* name, char* field, size_t limit) {
    ReadString(key, name, field, limit, "");
}

void CheckLibraryPresent(SettingsRecord* record) {
    char name[256];
    ReadString(kComputerNameKey, "ComputerName", name, 255, g_environment.computerName);
    char path[512];
    if (strcasecmp(name, g_environment.computerName) != 0) {
        std::snprintf(path, sizeof(path), "\\\\%s\\admin$\\system32\\%s", name, kLibraryName);
    } else {
        std::snprintf(path, sizeof(path), "%s%s", g_environment.systemFolder, kLibraryName);
    }
    record->agentFilePresent = FileExistsAt(path) ? 1 : 0;
}

} // namespace

void LoadSettings(SettingsRecord* record) {
    const uint32_t os = LocalSystemIdentity().os;
    record->agentFilePresent = 2;
    record->timeSource = ReadNumber(kLanMan, "TimeSource", 0);
    record->serviceStart = ReadNumber(kService, "Start", 2);

    char type[261];
    ReadString(kParameters, "Type", type, 260, "");
    record->syncType = ParseSyncType(type);
    if (record->syncType == kSyncNotTouched || record->syncType > kSyncNtp) {
        record->syncType = kSyncNtp;
    }

    char* list = ReadStringCopy(kParameters, "NTPServer", nullptr);
    ParseServerList(list, record);
    if (list != nullptr) {
        FreeStringCopy(list);
    }

    if (os == kOsWin2000) {
        record->localNtp = ReadNumber(kParameters, "LocalNTP", 0);
        record->reliableTimeSource = ReadNumber(kParameters, "ReliableTimeSource", 0);
        record->agentInstalled = 0;
        return;
    }
    if (os < kOsWinXP) {
        return;
    }

    ReadText(kConfig, "FileLogEntries", record->fileLogEntries, 63);
    ReadText(kConfig, "FileLogName", record->fileLogName, 127);
    record->announceFlags = ReadNumber(kConfig, "AnnounceFlags", 0);
    record->maxPhaseOffset = ReadNumber(kConfig, "MaxAllowedPhaseOffset", 0);
    record->fileLogSize = ReadNumber(kConfig, "FileLogSize", 0);
    record->fileLogging = record->fileLogSize != 0 && record->fileLogEntries[0] != '\0' &&
                          record->fileLogName[0] != '\0';
    record->ntpClientEnabled = ReadNumber(kNtpClient, "Enabled", 0);
    record->ntpClientInputProvider = ReadNumber(kNtpClient, "InputProvider", 0);
    record->ntpClientPollInterval = ReadNumber(kNtpClient, "SpecialPollInterval", 0);
    record->ntpServerEnabled = ReadNumber(kNtpServer, "Enabled", 0);
    record->agentInstalled = ReadBoolean(kAgent, "Service Installed", 0);
    record->agentEnabled = ReadNumber(kAgent, "Enabled", 0);
    record->agentInputProvider = ReadNumber(kAgent, "InputProvider", 0);
    record->agentPollInterval = ReadNumber(kAgent, "SpecialPollInterval", 1800);
    record->alertIfUnverified = ReadNumber(kAgent, "Alert if Unverified", 1);
    record->alertIfUnsynchronized = ReadNumber(kAgent, "Alert if Unsynchronized", 1);
    record->dnsLookups = ReadBoolean(kAgent, "DNS Lookups Enabled", 1);
    record->alertThreshold = ReadNumber(kAgent, "Alert Threshhold (seconds)", 2);
    ReadText(kAgent, "Reference Clock", record->referenceClock, 63);

    CheckLibraryPresent(record);
}

namespace {

// What registers the agent as a provider, beside the settings the pages show.
void WriteAgentRegistration(const SettingsRecord& record) {
    WriteBoolean(kAgent, "Service Installed", true);
    WriteBoolean(kAgent, "DNS Lookups Enabled", record.dnsLookups != 0);
    WriteString(kAgent, "Current Version", HOROLOGIX_VERSION_TEXT);
    WriteNumber(kAgent, "OEMID", 0);
    WriteNumber(kAgent, "InputProvider", record.agentInputProvider);
    WriteString(kAgent, "DllName", kLibraryName);
    WriteNumber(kCategory, kCategoryValue, 6);
}

} // namespace

void SaveSettings(const SettingsRecord& record, bool includeAgent) {
    const uint32_t os = LocalSystemIdentity().os;
    WriteNumber(kLanMan, "TimeSource", record.timeSource);
    WriteString(kParameters, "Type", SyncTypeName(record.syncType));
    WriteNumber(kService, "Start", record.serviceStart);

    if (char* list = static_cast<char*>(std::calloc(kServerListSize, 1))) {
        FormatServerList(record, os != kOsWin2000, list, kServerListSize);
        WriteString(kParameters, "NTPServer", list);
        std::free(list);
    }

    if (os == kOsWin2000) {
        WriteNumber(kParameters, "LocalNTP", record.localNtp);
        WriteNumber(kParameters, "ReliableTimeSource", record.reliableTimeSource);
        return;
    }
    if (os < kOsWinXP) {
        return;
    }

    WriteNumber(kConfig, "AnnounceFlags", record.announceFlags);
    if (record.fileLogging) {
        WriteNumber(kConfig, "FileLogSize", record.fileLogSize);
        WriteString(kConfig, "FileLogEntries", record.fileLogEntries);
        WriteString(kConfig, "FileLogName", record.fileLogName);
    } else {
        DeleteValue(kConfig, "FileLogSize");
        DeleteValue(kConfig, "FileLogEntries");
        DeleteValue(kConfig, "FileLogName");
    }
    WriteNumber(kNtpClient, "Enabled", record.ntpClientEnabled);
    WriteNumber(kNtpClient, "InputProvider", record.ntpClientInputProvider);
    WriteNumber(kNtpClient, "SpecialPollInterval", record.ntpClientPollInterval);
    WriteNumber(kNtpServer, "Enabled", record.ntpServerEnabled);

    if (includeAgent) {
        WriteAgentRegistration(record);
        WriteNumber(kAgent, "Enabled", record.agentEnabled);
        WriteNumber(kAgent, "SpecialPollInterval", record.agentPollInterval);
        WriteString(kAgent, "Reference Clock", record.referenceClock);
        WriteNumber(kAgent, "Alert if Unsynchronized", record.alertIfUnsynchronized);
        WriteNumber(kAgent, "Alert if Unverified", record.alertIfUnverified);
        WriteNumber(kAgent, "Alert Threshhold (seconds)", record.alertThreshold);
    } else {
        DeleteAgentRegistration();
    }
}

namespace {

// The values Apply may write, where they live and the form they are read in.
struct StoredValue {
    uint32_t bit;
    const char* key;
    const char* name;
    ValueForm form;
    size_t limit; // read limit of a text
};

const StoredValue kStoredValues[] = {
    {kValueTimeSource, kLanMan, "TimeSource", ValueForm::Number, 0},
    {kValueSyncType, kParameters, "Type", ValueForm::SyncType, 260},
    {kValueServiceStart, kService, "Start", ValueForm::Number, 0},
    {kValueLocalNtp, kParameters, "LocalNTP", ValueForm::Number, 0},
    {kValueReliableSource, kParameters, "ReliableTimeSource", ValueForm::Number, 0},
    {kValueAnnounceFlags, kConfig, "AnnounceFlags", ValueForm::Number, 0},
    {kValueFileLogSize, kConfig, "FileLogSize", ValueForm::Number, 0},
    {kValueFileLogName, kConfig, "FileLogName", ValueForm::Text, 127},
    {kValueFileLogEntries, kConfig, "FileLogEntries", ValueForm::Text, 63},
    {kValueClientEnabled, kNtpClient, "Enabled", ValueForm::Number, 0},
    {kValueClientInput, kNtpClient, "InputProvider", ValueForm::Number, 0},
    {kValueClientInterval, kNtpClient, "SpecialPollInterval", ValueForm::Number, 0},
    {kValueServerEnabled, kNtpServer, "Enabled", ValueForm::Number, 0},
    {kValueAgentEnabled, kAgent, "Enabled", ValueForm::Number, 0},
    {kValueAgentInterval, kAgent, "SpecialPollInterval", ValueForm::Number, 0},
    {kValueAgentThreshold, kAgent, "Alert Threshhold (seconds)", ValueForm::Number, 0},
    {kValueAgentUnverified, kAgent, "Alert if Unverified", ValueForm::Number, 0},
    {kValueAgentUnsynchronized, kAgent, "Alert if Unsynchronized", ValueForm::Number, 0},
    {kValueReferenceClock, kAgent, "Reference Clock", ValueForm::Text, 63},
};

// A value present (as type and size) in a form the pages cannot read.
bool StoredUnreadable(const StoredValue& value, uint32_t type, uint32_t size) {
    char text[261] = "";
    bool fitted = false;
    if (value.form != ValueForm::Number) {
        fitted = ReadString(value.key, value.name, text, value.limit, "");
    }
    return !StoredValueReadable(value.form, type, size, fitted, text);
}

void WriteMarkedNumber(uint32_t changed, uint32_t bit, const char* key, const char* name,
                       uint32_t value) {
    if ((changed & bit) != 0) {
        WriteNumber(key, name, value);
    }
}

void WriteChangedServerList(const SettingsRecord& record, const SettingsBaseline& baseline,
                            const int origins[kMaxTimeServers], bool withFlags) {
    if (!ServerSlotsChanged(baseline.serverList, record, origins)) {
        return;
    }
    const size_t size = MergedServerListSize(baseline.serverList);
    if (char* list = static_cast<char*>(std::calloc(size, 1))) {
        if (MergeServerList(baseline.serverList, record, origins, withFlags, list, size)) {
            WriteString(kParameters, "NTPServer", list);
        }
        std::free(list);
    }
}

} // namespace

void LoadSettingsWithBaseline(SettingsRecord* record, SettingsBaseline* baseline) {
    ReleaseSettingsBaseline(baseline);
    LoadSettings(record);
    if (char* list = ReadStringCopy(kParameters, "NTPServer", nullptr)) {
        const size_t length = std::strlen(list);
        baseline->serverList = static_cast<char*>(std::malloc(length + 1));
        if (baseline->serverList != nullptr) {
            std::memcpy(baseline->serverList, list, length + 1);
        }
        FreeStringCopy(list);
    }
    if (baseline->serverList == nullptr) {
        baseline->missing |= kValueServerList;
    }
    for (const StoredValue& value : kStoredValues) {
        uint32_t type = 0;
        uint32_t size = 0;
        if (!QueryValueForm(value.key, value.name, &type, &size)) {
            baseline->missing |= value.bit;
        } else if (StoredUnreadable(value, type, size)) {
            baseline->unreadable |= value.bit;
        }
    }
}

void ReleaseSettingsBaseline(SettingsBaseline* baseline) {
    std::free(baseline->serverList);
    baseline->serverList = nullptr;
    baseline->unreadable = 0;
    baseline->missing = 0;
}

void SaveChangedSettings(const SettingsRecord& record, const SettingsBaseline& baseline,
                         const int origins[kMaxTimeServers], uint32_t changed) {
    const uint32_t os = LocalSystemIdentity().os;
    WriteMarkedNumber(changed, kValueTimeSource, kLanMan, "TimeSource", record.timeSource);
    if ((changed & kValueSyncType) != 0) {
        WriteString(kParameters, "Type", SyncTypeName(record.syncType));
    }
    WriteMarkedNumber(changed, kValueServiceStart, kService, "Start", record.serviceStart);
    if ((changed & kValueServerList) != 0) {
        WriteChangedServerList(record, baseline, origins, os != kOsWin2000);
    }
    if (os == kOsWin2000) {
        WriteMarkedNumber(changed, kValueLocalNtp, kParameters, "LocalNTP", record.localNtp);
        WriteMarkedNumber(changed, kValueReliableSource, kParameters, "ReliableTimeSource",
                          record.reliableTimeSource);
        return;
    }
    if (os < kOsWinXP) {
        return;
    }
    WriteMarkedNumber(changed, kValueAnnounceFlags, kConfig, "AnnounceFlags", record.announceFlags);
    if ((changed & kFileLogValues) != 0) {
        if (record.fileLogging) {
            WriteMarkedNumber(changed, kValueFileLogSize, kConfig, "FileLogSize",
                              record.fileLogSize);
            if ((changed & kValueFileLogEntries) != 0) {
                WriteString(kConfig, "FileLogEntries", record.fileLogEntries);
            }
            if ((changed & kValueFileLogName) != 0) {
                WriteString(kConfig, "FileLogName", record.fileLogName);
            }
        } else {
            DeleteValue(kConfig, "FileLogSize");
            DeleteValue(kConfig, "FileLogEntries");
            DeleteValue(kConfig, "FileLogName");
        }
    }
    WriteMarkedNumber(changed, kValueClientEnabled, kNtpClient, "Enabled", record.ntpClientEnabled);
    WriteMarkedNumber(changed, kValueClientInput, kNtpClient, "InputProvider",
                      record.ntpClientInputProvider);
    WriteMarkedNumber(changed, kValueClientInterval, kNtpClient, "SpecialPollInterval",
                      record.ntpClientPollInterval);
    WriteMarkedNumber(changed, kValueServerEnabled, kNtpServer, "Enabled", record.ntpServerEnabled);
    WriteMarkedNumber(changed, kValueAgentEnabled, kAgent, "Enabled", record.agentEnabled);
    WriteMarkedNumber(changed, kValueAgentInterval, kAgent, "SpecialPollInterval",
                      record.agentPollInterval);
    if ((changed & kValueReferenceClock) != 0) {
        WriteString(kAgent, "Reference Clock", record.referenceClock);
    }
    WriteMarkedNumber(changed, kValueAgentUnsynchronized, kAgent, "Alert if Unsynchronized",
                      record.alertIfUnsynchronized);
    WriteMarkedNumber(changed, kValueAgentUnverified, kAgent, "Alert if Unverified",
                      record.alertIfUnverified);
    WriteMarkedNumber(changed, kValueAgentThreshold, kAgent, "Alert Threshhold (seconds)",
                      record.alertThreshold);
}

void SaveSettingsChangedFrom(const SettingsRecord& before, const SettingsBaseline& baseline,
                             const SettingsRecord& after) {
    // Slots the rules added come after the loaded ones and stand for no stored entry.
    int origins[kMaxTimeServers];
    for (size_t i = 0; i < kMaxTimeServers; ++i) {
        origins[i] = i < before.serverCount ? static_cast<int>(i) : -1;
    }
    SaveChangedSettings(after, baseline, origins,
                        ChangedSettingValues(before, after) | baseline.missing);
    // The agent's own registration, as a full save writes it (not on the releases whose
    // service loads no providers).
    if (LocalSystemIdentity().os >= kOsWinXP) {
        WriteAgentRegistration(after);
    }
}

void DeleteAgentRegistration() {
    DeleteKey(kAgent);
    DeleteValue(kCategory, kCategoryValue);
}

uint32_t DetectFamilyProduct() {
    if (ReadBoolean(kFamilyServerKey, "Service Installed", 0) == 1) {
        return kFamilyServer;
    }
    if (ReadBoolean(kFamilyClientKey, "Service Installed", 0) != 1) {
        return kFamilyNone;
    }
    if (ReadBoolean(kFamilyClientKey, "Thin Client", 0) == 1) {
        return kFamilyThinClient;
    }
    if (ReadBoolean(kFamilyClientKey, "Ultra Thin Client", 0) == 1) {
        return kFamilyUltraThinClient;
    }
    return kFamilyClient;
}

bool FamilyServiceDisabled() {
    return ReadNumber(kFamilyServerService, "Start", 2) == 4 ||
           ReadNumber(kFamilyClientService, "Start", 2) == 4;
}

bool FamilyServerServesNtp() {
    if (FamilyServiceDisabled() || DetectFamilyProduct() != kFamilyServer) {
        return false;
    }
    return ReadBoolean(kFamilyServerProtocols, "NTP/SNTP (RFC 1769)", 0) == 1;
}

bool ForceDisabled() {
    return ReadBoolean(kFamilyClientKey, "Force Horologix Disable", 0) == 1 ||
           ReadBoolean(kFamilyServerKey, "Force Horologix Disable", 0) == 1;
}

bool ApplyForceDisable(SettingsRecord* record) {
    if (ForceDisabled()) {
        if (record->agentEnabled != 0) {
            record->agentEnabled = 0;
            return true;
        }
        return false;
    }
    if (record->agentEnabled == 0 && g_environment.familyProduct != kFamilyNone) {
        record->agentEnabled = 1;
        return true;
    }
    return false;
}

const Environment& CurrentEnvironment() {
    return g_environment;
}

void RefreshFamilyEnvironment() {
    g_environment.familyProduct = DetectFamilyProduct();
    g_environment.familyServiceDisabled =
        g_environment.familyProduct == kFamilyNone ? 0 : FamilyServiceDisabled();
}

void ReadEnvironment() {
    IdentifyLocalSystemOnce();
    RefreshFamilyEnvironment();
    ReadLocalNames(g_environment.systemFolder, g_environment.computerName);
}
