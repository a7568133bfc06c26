#include "install/install_rules.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config/settings_schema.h"
#include "resources/version.h"

namespace {

constexpr size_t kBlobSlaveOffset = 4;
constexpr size_t kBlobNamesOffset = 43;
constexpr uint32_t kDomainControllerBits = 0x8 | 0x10; // primary and backup

} // namespace

bool IsNewerVersion(uint64_t source, uint64_t destination) {
    return destination == 0 || source > destination;
}

bool SettingsDiffer(const SettingsRecord& a, const SettingsRecord& b) {
    // Every stored value, then whether the module file was found.
    return StoredSettingsDiffer(a, b) || a.agentFilePresent != b.agentFilePresent;
}

void AddTimeServer(SettingsRecord* record, const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return;
    }
    const size_t used =
        record->serverCount < kMaxTimeServers ? record->serverCount : kMaxTimeServers;
    char cut[kServerNameSize];
    std::snprintf(cut, sizeof(cut), "%s", name);
    for (size_t i = 0; i < used; ++i) {
        if (strcasecmp(record->servers[i].name, cut) == 0) {
            return;
        }
    }
    if (used >= kMaxTimeServers) {
        return;
    }
    std::memcpy(record->servers[used].name, cut, sizeof(cut));
    record->serverCount = static_cast<uint32_t>(used + 1);
}

void MarkFirstInstallation(SettingsRecord* record) {
    if (record->agentInstalled != 0) {
        return;
    }
    record->agentInstalled = 1;
    record->agentEnabled = 1;
    record->agentInputProvider = 0;
}

FamilyBlobFacts ReadFamilyBlob(const uint8_t (&blob)[kFamilyBlobSize]) {
    FamilyBlobFacts facts{};
    facts.slave = blob[kBlobSlaveOffset] != 0;
    for (size_t i = 0; i < kFamilyBlobNames; ++i) {
        const uint8_t* field = blob + kBlobNamesOffset + i * kFamilyBlobNameSize;
        // A name that fills its field without a terminator is cut to the field.
        std::memcpy(facts.names[i], field, kFamilyBlobNameSize - 1);
        facts.names[i][kFamilyBlobNameSize - 1] = '\0';
    }
    return facts;
}

bool FamilyBlobLocation(uint32_t family, const char** key, const char** value) {
    switch (family) {
    case kFamilyServer:
        *key = kFamilyServerParametersKey;
        *value = "Server Settings";
        return true;
    case kFamilyClient:
    case kFamilyThinClient:
    case kFamilyUltraThinClient:
        *key = kFamilyClientParametersKey;
        *value = "Client Settings";
        return true;
    default:
        return false;
    }
}

bool ApplyFamilyAdjustments(SettingsRecord* record, uint32_t family, bool slave, bool servesNtp,
                            uint32_t serverTypeBits) {
    switch (family) {
    case kFamilyServer:
        // Only one program may steer the clock: a family server that does, or that answers NTP
        // itself, leaves Windows Time without a client.
        if (slave || servesNtp) {
            record->ntpClientEnabled = 0;
            record->ntpClientInputProvider = 0;
            record->syncType = kSyncNoSync;
        } else {
            record->ntpClientEnabled = 1;
            record->ntpClientInputProvider = 1;
        }
        if ((serverTypeBits & kDomainControllerBits) != 0) {
            if (servesNtp) {
                record->ntpServerEnabled = 0;
                record->announceFlags = 0;
            } else {
                record->ntpServerEnabled = 1;
                record->announceFlags = 10;
            }
        }
        return true;
    case kFamilyClient:
    case kFamilyThinClient:
    case kFamilyUltraThinClient:
        record->serviceStart = 2;
        record->ntpClientEnabled = 0;
        record->ntpClientInputProvider = 0;
        record->syncType = kSyncNoSync;
        return true;
    default:
        return false;
    }
}

RunDllCommand ParseRunDllCommand(const char* commandLine) {
    if (commandLine == nullptr || commandLine[0] == '\0') {
        return RunDllCommand::kMissing;
    }
    char lower[1024];
    size_t length = 0;
    for (; commandLine[length] != '\0' && length + 1 < sizeof(lower); ++length) {
        lower[length] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(commandLine[length])));
    }
    lower[length] = '\0';
    if (std::strstr(lower, "-install") != nullptr || std::strstr(lower, "/install") != nullptr) {
        return RunDllCommand::kInstall;
    }
    if (std::strstr(lower, "-remove") != nullptr || std::strstr(lower, "/remove") != nullptr) {
        return RunDllCommand::kRemove;
    }
    return RunDllCommand::kUnknown;
}

const char* ProgressProductText() {
    return HOROLOGIX_PRODUCT_NAME ", " HOROLOGIX_VERSION_TEXT "\r\n" HOROLOGIX_MAKER_NOTICE;
}

char* FormatProgressAction(bool install, const char* targetMachine, char* out, size_t size) {
    const bool remote = targetMachine != nullptr && targetMachine[0] != '\0';
    std::snprintf(out, size, "%s%s%s...", install ? "Installing/Upgrading" : "Removing",
                  remote ? " " : "", remote ? targetMachine : "");
    return out;
}

char* FormatUninstallCommand(const char* systemFolder, char* out, size_t size) {
    std::snprintf(out, size, "rundll32.exe %s%s,RunDll -remove", systemFolder, kModuleFileName);
    return out;
}

char* FormatUninstallIcon(const char* systemFolder, char* out, size_t size) {
    std::snprintf(out, size, "%s%s,0", systemFolder, kModuleFileName);
    return out;
}
