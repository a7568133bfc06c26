#include "config/settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/system_identity.h"
#include "common/text_trim.h"
#include "config/registry.h"
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
const char kAgent[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";
const char kCategory[] = "\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended "
                         "Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2";
const char kComputerNameKey[] = "\\\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
const char kCategoryValue[] = "%systemroot%\\system32\\kestrel.cpl";
const char kLibraryName[] = "kestrel.cpl";

const char kFamilyServer[] = "\\\\Software\\Tessaric\\Quorvex Server\\Parameters";
const char kFamilyClient[] = "\\\\Software\\Tessaric\\Quorvex Client\\Parameters";
const char kFamilyServerProtocols[] = "\\\\Software\\Tessaric\\Quorvex Server\\Enabled Protocols";
const char kFamilyServerService[] = "\\\\System\\CurrentControlSet\\Services\\Quorvex Server";
const char kFamilyClientService[] = "\\\\System\\CurrentControlSet\\Services\\Quorvex Client";


Environment g_environment{};

// Server-list text size: the value may be long, but no single piece we keep exceeds a name.
constexpr size_t kServerListSize = 65536;

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// "0xH" or "0xHH" (either case of x and of the digits): the flags of the previous server.
bool ParseFlagsPiece(const char* piece, uint32_t* flags) {
    const size_t length = std::strlen(piece);
    if ((length != 3 && length != 4) || piece[0] != '0' || (piece[1] != 'x' && piece[1] != 'X')) {
        return false;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!IsHexDigit(piece[i])) {
            return false;
        }
    }
    *flags = static_cast<uint32_t>(std::strtoul(piece + 2, nullptr, 16));
    return true;
}

void CopyText(char* field, size_t size, const char* text) {
    std::snprintf(field, size, "%s", text);
}

void ReadText(const char* key, const char* name, char* field, size_t limit) {
    ReadString(key, name, field, limit, "");
}

void EmptyServers(SettingsRecord* record) {
    for (TimeServerEntry& server : record->servers) {
        std::memset(server.name, 0, sizeof(server.name));
        server.flags = kDefaultServerFlags;
    }
    record->serverCount = 0;
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

uint32_t ParseSyncType(const char* text) {
    static const struct {
        const char* name;
        uint32_t code;
    } kOrder[] = {{"Not Touched", kSyncNotTouched}, {"Disabled", kSyncDisabled},
                  {"NoSync", kSyncNoSync},          {"NT5DS", kSyncNt5ds},
                  {"AllSync", kSyncAllSync},        {"NTP", kSyncNtp}};
    if (text == nullptr) {
        return kSyncUnknown;
    }
    for (const auto& entry : kOrder) {
        if (strncasecmp(text, entry.name, 3) == 0) {
            return entry.code;
        }
    }
    return kSyncUnknown;
}

const char* SyncTypeName(uint32_t code) {
    switch (code) {
    case kSyncNotTouched:
        return "Not Touched";
    case kSyncNoSync:
        return "NoSync";
    case kSyncNt5ds:
        return "NT5DS";
    case kSyncAllSync:
        return "AllSync";
    case kSyncDisabled:
        return "Disabled";
    default:
        return "NTP";
    }
}

void ParseServerList(const char* text, SettingsRecord* record) {
    EmptyServers(record);
    if (text == nullptr) {
        return;
    }
    const char* cursor = text;
    while (record->serverCount < kMaxTimeServers) {
        cursor += std::strspn(cursor, ", ");
        const size_t length = std::strcspn(cursor, ", ");
        if (length == 0) {
            break;
        }
        // A piece longer than a name cannot be a flags piece; keep what a slot can hold.
        char piece[kServerNameSize * 2];
        std::snprintf(piece, sizeof(piece), "%.*s",
                      static_cast<int>(length < sizeof(piece) - 1 ? length : sizeof(piece) - 1),
                      cursor);
        cursor += length;
        TrimWhitespace(piece);
        if (piece[0] == '\0') {
            break;
        }
        uint32_t flags = 0;
        if (record->serverCount > 0 && ParseFlagsPiece(piece, &flags)) {
            record->servers[record->serverCount - 1].flags = flags;
            continue;
        }
        TimeServerEntry& server = record->servers[record->serverCount++];
        CopyText(server.name, sizeof(server.name), piece);
        server.flags = kDefaultServerFlags;
    }
}

void FormatServerList(const SettingsRecord& record, bool withFlags, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    std::memset(out, 0, size);
    size_t used = 0;
    const size_t count = record.serverCount < kMaxTimeServers ? record.serverCount : kMaxTimeServers;
    for (size_t i = 0; i < count; ++i) {
        const TimeServerEntry& server = record.servers[i];
        const size_t nameLength = strnlen(server.name, sizeof(server.name) - 1);
        if (nameLength == 0) {
            continue;
        }
        // Room for the separator, ",0x" and eight hex digits, and the terminator.
        if (nameLength + used + 8 >= size - 1 || used + nameLength + 12 >= size) {
            continue;
        }
        const int written =
            withFlags ? std::snprintf(out + used, size - used, "%s%.*s,0x%x", used ? " " : "",
                                      static_cast<int>(nameLength), server.name, server.flags)
                      : std::snprintf(out + used, size - used, "%s%.*s", used ? " " : "",
                                      static_cast<int>(nameLength), server.name);
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            out[used] = '\0';
            break;
        }
        used += static_cast<size_t>(written);
    }
}

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
        WriteBoolean(kAgent, "Service Installed", true);
        WriteBoolean(kAgent, "DNS Lookups Enabled", record.dnsLookups != 0);
        WriteString(kAgent, "Current Version", HOROLOGIX_VERSION_TEXT);
        WriteNumber(kAgent, "OEMID", 0);
        WriteNumber(kAgent, "Enabled", record.agentEnabled);
        WriteNumber(kAgent, "InputProvider", record.agentInputProvider);
        WriteNumber(kAgent, "SpecialPollInterval", record.agentPollInterval);
        WriteString(kAgent, "DllName", kLibraryName);
        WriteString(kAgent, "Reference Clock", record.referenceClock);
        WriteNumber(kAgent, "Alert if Unsynchronized", record.alertIfUnsynchronized);
        WriteNumber(kAgent, "Alert if Unverified", record.alertIfUnverified);
        WriteNumber(kAgent, "Alert Threshhold (seconds)", record.alertThreshold);
        WriteNumber(kCategory, kCategoryValue, 6);
    } else {
        DeleteKey(kAgent);
        DeleteValue(kCategory, kCategoryValue);
    }
}

uint32_t DetectFamilyProduct() {
    if (ReadBoolean(kFamilyServer, "Service Installed", 0) == 1) {
        return kFamilyServer;
    }
    if (ReadBoolean(kFamilyClient, "Service Installed", 0) != 1) {
        return kFamilyNone;
    }
    if (ReadBoolean(kFamilyClient, "Thin Client", 0) == 1) {
        return kFamilyThinClient;
    }
    if (ReadBoolean(kFamilyClient, "Ultra Thin Client", 0) == 1) {
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
    return ReadBoolean(kFamilyClient, "Force Horologix Disable", 0) == 1 ||
           ReadBoolean(kFamilyServer, "Force Horologix Disable", 0) == 1;
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
