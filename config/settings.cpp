#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/system_identity.h"
#include "config/registry.h"
#include "config/settings_changes.h"
#include "config/settings_platform.h"
#include "config/settings_schema.h"
#include "resources/version.h"

namespace {

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
constexpr const char* kFamilyServerService = kFamilyServerServiceKey;
constexpr const char* kFamilyClientService = kFamilyClientServiceKey;

Environment g_environment{};

// Server-list text size: the whole value as stored.
constexpr size_t kServerListSize = 65536;

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

// Reads one value of the table into the record.
void LoadField(const SettingField& field, SettingsRecord* record) {
    switch (field.type) {
    case SettingType::Number:
        *SettingNumber(record, field) = ReadNumber(field.key, field.name, field.defaultValue);
        break;
    case SettingType::Boolean:
        *SettingNumber(record, field) = ReadBoolean(field.key, field.name, field.defaultValue);
        break;
    case SettingType::Text:
        ReadString(field.key, field.name, SettingText(record, field), field.limit, "");
        break;
    case SettingType::SyncType: {
        char type[261];
        ReadString(field.key, field.name, type, field.limit, "");
        record->syncType = ParseSyncType(type);
        if (record->syncType == kSyncNotTouched || record->syncType > kSyncNtp) {
            record->syncType = kSyncNtp;
        }
        break;
    }
    case SettingType::ServerList: {
        char* list = ReadStringCopy(field.key, field.name, nullptr);
        ParseServerList(list, record);
        if (list != nullptr) {
            FreeStringCopy(list);
        }
        break;
    }
    }
}

bool IsFileLogValue(const SettingField& field) {
    return (field.bit & kFileLogValues) != 0;
}

// Writes one value of the table from the record; "NTPServer" through writeList. A file log
// value is deleted instead while the log is off.
template <typename ListWriter>
void WriteField(const SettingField& field, const SettingsRecord& record, ListWriter writeList) {
    if (IsFileLogValue(field) && !record.fileLogging) {
        DeleteValue(field.key, field.name);
        return;
    }
    switch (field.type) {
    case SettingType::Number:
        WriteNumber(field.key, field.name, SettingNumber(record, field));
        break;
    case SettingType::Boolean:
        WriteBoolean(field.key, field.name, SettingNumber(record, field) != 0);
        break;
    case SettingType::Text:
        WriteString(field.key, field.name, SettingText(record, field));
        break;
    case SettingType::SyncType:
        WriteString(field.key, field.name, SyncTypeName(record.syncType));
        break;
    case SettingType::ServerList:
        writeList(field);
        break;
    }
}

// What registers the agent as a provider, beside the settings the pages show.
void WriteAgentRegistration(const SettingsRecord& record) {
    WriteBoolean(kAgent, kServiceInstalledValue, true);
    WriteBoolean(kAgent, "DNS Lookups Enabled", record.dnsLookups != 0);
    WriteString(kAgent, kCurrentVersionValue, HOROLOGIX_VERSION_TEXT);
    WriteNumber(kAgent, "OEMID", 0);
    WriteNumber(kAgent, "InputProvider", record.agentInputProvider);
    WriteString(kAgent, "DllName", kLibraryName);
    WriteNumber(kCategory, kCategoryValue, 6);
}

} // namespace

void LoadSettings(SettingsRecord* record) {
    const uint32_t os = LocalSystemIdentity().os;
    record->agentFilePresent = 2;
    size_t count = 0;
    const SettingField* fields = SettingFields(&count);
    for (size_t i = 0; i < count; ++i) {
        if (SettingExistsOn(fields[i], os)) {
            LoadField(fields[i], record);
        }
    }
    if (os == kOsWin2000) {
        record->agentInstalled = 0;
        return;
    }
    if (os < kOsWinXP) {
        return;
    }
    record->fileLogging = record->fileLogSize != 0 && record->fileLogEntries[0] != '\0' &&
                          record->fileLogName[0] != '\0';
    CheckLibraryPresent(record);
}

void SaveSettings(const SettingsRecord& record, bool includeAgent) {
    const uint32_t os = LocalSystemIdentity().os;
    const auto writeList = [&](const SettingField& field) {
        if (char* list = static_cast<char*>(std::calloc(kServerListSize, 1))) {
            FormatServerList(record, os != kOsWin2000, list, kServerListSize);
            WriteString(field.key, field.name, list);
            std::free(list);
        }
    };
    size_t count = 0;
    const SettingField* fields = SettingFields(&count);
    for (size_t i = 0; i < count; ++i) {
        if (fields[i].owner == SettingOwner::Pages && SettingExistsOn(fields[i], os)) {
            WriteField(fields[i], record, writeList);
        }
    }
    if (os < kOsWinXP) {
        return;
    }
    if (!includeAgent) {
        DeleteAgentRegistration();
        return;
    }
    WriteAgentRegistration(record);
    for (size_t i = 0; i < count; ++i) {
        if (fields[i].owner == SettingOwner::Agent) {
            WriteField(fields[i], record, writeList);
        }
    }
}

namespace {

ValueForm FormOf(SettingType type) {
    switch (type) {
    case SettingType::Text:
        return ValueForm::Text;
    case SettingType::SyncType:
        return ValueForm::SyncType;
    default:
        return ValueForm::Number;
    }
}

// A value present (as type and size) in a form the pages cannot read.
bool StoredUnreadable(const SettingField& field, uint32_t type, uint32_t size) {
    const ValueForm form = FormOf(field.type);
    char text[261] = "";
    bool fitted = false;
    if (form != ValueForm::Number) {
        fitted = ReadString(field.key, field.name, text, field.limit, "");
    }
    return !StoredValueReadable(form, type, size, fitted, text);
}

// The value's text as stored, in memory to release with std::free; null when missing.
char* StoredTextCopy(const SettingField& field) {
    char* copy = nullptr;
    if (char* text = ReadStringCopy(field.key, field.name, nullptr)) {
        const size_t length = std::strlen(text);
        copy = static_cast<char*>(std::malloc(length + 1));
        if (copy != nullptr) {
            std::memcpy(copy, text, length + 1);
        }
        FreeStringCopy(text);
    }
    return copy;
}

} // namespace

void LoadSettingsWithBaseline(SettingsRecord* record, SettingsBaseline* baseline) {
    ReleaseSettingsBaseline(baseline);
    LoadSettings(record);
    size_t count = 0;
    const SettingField* fields = SettingFields(&count);
    for (size_t i = 0; i < count; ++i) {
        const SettingField& field = fields[i];
        if (field.bit == 0) {
            continue;
        }
        if (field.type == SettingType::ServerList) {
            baseline->serverList = StoredTextCopy(field);
            if (baseline->serverList == nullptr) {
                baseline->missing |= field.bit;
            }
            continue;
        }
        uint32_t type = 0;
        uint32_t size = 0;
        if (!QueryValueForm(field.key, field.name, &type, &size)) {
            baseline->missing |= field.bit;
        } else if (StoredUnreadable(field, type, size)) {
            baseline->unreadable |= field.bit;
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
    const auto writeList = [&](const SettingField& field) {
        if (!ServerSlotsChanged(baseline.serverList, record, origins)) {
            return;
        }
        const size_t size = MergedServerListSize(baseline.serverList);
        if (char* list = static_cast<char*>(std::calloc(size, 1))) {
            if (MergeServerList(baseline.serverList, record, origins, os != kOsWin2000, list,
                                size)) {
                WriteString(field.key, field.name, list);
            }
            std::free(list);
        }
    };
    size_t count = 0;
    const SettingField* fields = SettingFields(&count);
    for (size_t i = 0; i < count; ++i) {
        const SettingField& field = fields[i];
        if (field.bit == 0 || !SettingExistsOn(field, os)) {
            continue;
        }
        // While the log is off, any change to it deletes all three of its values.
        const bool marked = IsFileLogValue(field) && !record.fileLogging
                                ? (changed & kFileLogValues) != 0
                                : (changed & field.bit) != 0;
        if (marked) {
            WriteField(field, record, writeList);
        }
    }
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
    if (ReadBoolean(kFamilyServerKey, kServiceInstalledValue, 0) == 1) {
        return kFamilyServer;
    }
    if (ReadBoolean(kFamilyClientKey, kServiceInstalledValue, 0) != 1) {
        return kFamilyNone;
    }
    if (ReadBoolean(kFamilyClientKey, kThinClientValue, 0) == 1) {
        return kFamilyThinClient;
    }
    if (ReadBoolean(kFamilyClientKey, kUltraThinClientValue, 0) == 1) {
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
    return ReadBoolean(kFamilyClientKey, kForceDisableValue, 0) == 1 ||
           ReadBoolean(kFamilyServerKey, kForceDisableValue, 0) == 1;
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
