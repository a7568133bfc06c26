#include "applet/client_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/text_trim.h"
#include "config/settings_changes.h"
#include "timesrc/time_format.h"

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kMsPerHour = 3600000;
constexpr int64_t kMsPerMinute = 60000;
constexpr int64_t kTicksPerMs = 10000;

} // namespace

StatusVerdict JudgeSyncStatus(uint32_t answered, uint64_t absoluteSum, bool machineTimeKnown) {
    if (answered == 0) {
        return {kVerdictUnknown, "Clock synchronization status unknown"};
    }
    const uint64_t meanMs = absoluteSum / answered / kTicksPerMs;
    if (meanMs >= 2001) {
        return {kVerdictBad, "Clock is NOT synchronized"};
    }
    if (meanMs <= 1000) {
        return {kVerdictGood, machineTimeKnown ? "Clock synchronized to within 1 second"
                                               : "Not able to determine time at machine"};
    }
    return {kVerdictWarning, "Clock is NOT synchronized to within 1 second"};
}

char* FormatVarianceInto(int64_t ms, char* out, size_t size) {
    const char* sign = ms < 0 ? "-" : "+";
    // The magnitude as unsigned, so that the most negative value has one too.
    const uint64_t magnitude = ms < 0 ? 0 - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
    struct Unit {
        uint64_t ms;
        const char* name;
    };
    static const Unit kUnits[] = {{kMsPerDay, "day"}, {kMsPerHour, "hr"}, {kMsPerMinute, "min"}};
    for (const Unit& unit : kUnits) {
        if (magnitude >= unit.ms) {
            const unsigned long long count = magnitude / unit.ms;
            std::snprintf(out, size, "%s%llu %s%s", sign, count, unit.name, count == 1 ? "" : "s");
            return out;
        }
    }
    std::snprintf(out, size, "%s%d.%03d secs", sign, static_cast<int>(magnitude / 1000),
                  static_cast<int>(magnitude % 1000));
    return out;
}

int64_t VarianceMs(int64_t sourceOffset, int64_t machineOffset) {
    return (sourceOffset - machineOffset) / kTicksPerMs; // C++ division truncates toward zero
}

bool SyncNowAllowed(bool serviceRunning, int option, bool syncPending) {
    return serviceRunning && option != kClientNoSync && option != kClientDisabled && !syncPending;
}

int ClientOptionOfRecord(const SettingsRecord& record) {
    if (record.ntpClientEnabled == 0) {
        return kClientDisabled;
    }
    switch (record.syncType) {
    case kSyncNoSync:
        return kClientNoSync;
    case kSyncNt5ds:
        return kClientNt5ds;
    case kSyncAllSync:
        return kClientAllSync;
    case kSyncNtp:
        return kClientNtp;
    default:
        return kClientNone;
    }
}

void StoreClientOption(int option, SettingsRecord* record) {
    struct Stored {
        uint32_t enabled;
        uint32_t inputProvider;
        uint32_t type;
    };
    static const Stored kStored[] = {
        {0, 0, kSyncNoSync},  {1, 0, kSyncNoSync}, {1, 1, kSyncNt5ds},
        {1, 1, kSyncAllSync}, {1, 1, kSyncNtp},
    };
    const Stored& stored =
        option >= kClientDisabled && option <= kClientNtp ? kStored[option] : kStored[kClientNtp];
    record->ntpClientEnabled = stored.enabled;
    record->ntpClientInputProvider = stored.inputProvider;
    record->syncType = stored.type;
}

bool HoldsDisabledOption(const SettingsRecord& record) {
    return record.ntpClientEnabled == 0 && record.ntpClientInputProvider == 0 &&
           record.syncType == kSyncNoSync;
}

uint32_t ImposeFamilyClockOwner(SettingsRecord* record, uint32_t unreadable) {
    uint32_t changed = 0;
    const auto impose = [&](uint32_t* field, uint32_t value, uint32_t bit) {
        if (*field != value && (unreadable & bit) == 0) {
            *field = value;
            changed |= bit;
        }
    };
    impose(&record->ntpClientEnabled, 0, kValueClientEnabled);
    impose(&record->ntpClientInputProvider, 0, kValueClientInput);
    impose(&record->syncType, kSyncNoSync, kValueSyncType);
    return changed;
}

uint32_t ImposeFamilyClockOwner2000(SettingsRecord* record, uint32_t unreadable) {
    if (record->syncType == kSyncNoSync || (unreadable & kValueSyncType) != 0) {
        return 0;
    }
    record->syncType = kSyncNoSync;
    return kValueSyncType;
}

int Client2000OptionOfRecord(const SettingsRecord& record) {
    switch (record.syncType) {
    case kSyncNoSync:
        return kClientNoSync;
    case kSyncNt5ds:
        return kClientNt5ds;
    case kSyncNtp:
        return kClientNtp;
    default:
        return kClientNone;
    }
}

uint32_t SyncTypeOfClient2000Option(int option) {
    if (option == kClientNoSync) {
        return kSyncNoSync;
    }
    return option == kClientNt5ds ? kSyncNt5ds : kSyncNtp;
}

const char* const kServerModeNames[kServerModeCount] = {"Special Interval", "Fallback Only",
                                                        "Symmetric Active", "NTP Client Mode"};

int ServerModeIndexOfFlags(uint32_t flags) {
    switch (flags) {
    case 2:
        return 1;
    case 4:
        return 2;
    case 8:
        return 3;
    default:
        return 0;
    }
}

uint32_t ServerFlagsOfModeIndex(int index) {
    return index >= 0 && index < static_cast<int>(kServerModeCount) ? 1u << index : 1u;
}

char* FormatMoreServersNote(size_t beyond, char* out, size_t size) {
    if (size == 0) {
        return out;
    }
    if (beyond == 0) {
        out[0] = '\0';
    } else if (beyond == 1) {
        std::snprintf(out, size, "The list holds 1 more server, kept after these.");
    } else {
        std::snprintf(out, size, "The list holds %lu more servers, kept after these.",
                      static_cast<unsigned long>(beyond));
    }
    return out;
}

uint32_t SpecialPollIntervalOfTyped(uint32_t typed) {
    return typed < 1 ? 1 : typed;
}

FamilyClockNote FamilyClockNoteOf(uint32_t familyProduct, bool serverSlave) {
    if (familyProduct == kFamilyNone) {
        return {false,
                "Windows Time can synchronize the clock on this machine with an external time "
                "source. Select how you want Windows Time to find time sources."};
    }
    if (familyProduct == kFamilyServer) {
        if (serverSlave) {
            return {true, "Quorvex II Server is synchronizing the clock on this machine. Only one "
                          "process may manage the system clock. Time source selection on this "
                          "page is therefore disabled."};
        }
        return {false, "Quorvex II Server is not synchronizing the clock on this machine. Select "
                       "how you want Windows Time to find time sources."};
    }
    return {true, "Quorvex II Client is synchronizing the clock on this machine. Only one process "
                  "may manage the system clock. Time source selection on this page is therefore "
                  "disabled."};
}

ClientPageControls ClientControlStates(bool later, int option, bool familyOwnsClock,
                                       const bool named[kClientRowCount]) {
    ClientPageControls controls{};
    // "Disabled" stays open to a family owner: it is what the owner imposes. On the 2000
    // template NoSync is too.
    controls.options[kClientDisabled] = true;
    controls.options[kClientNoSync] = !later || !familyOwnsClock;
    controls.options[kClientNt5ds] = !familyOwnsClock;
    controls.options[kClientAllSync] = !familyOwnsClock;
    controls.options[kClientNtp] = !familyOwnsClock;
    controls.serverEdits =
        later ? option == kClientAllSync || option == kClientNtp : option == kClientNtp;
    controls.interval = later && controls.serverEdits;
    for (int i = 0; i < kClientRowCount; ++i) {
        controls.modeLists[i] = controls.interval && named[i];
    }
    return controls;
}

uint32_t ClientOptionValues(bool later) {
    return later ? kClientOptionValues : kValueSyncType;
}

void LockPolicySettings(uint32_t policySet, bool later, ClientPageControls* controls) {
    if ((policySet & ClientOptionValues(later)) != 0) {
        for (bool& option : controls->options) {
            option = false;
        }
    }
    if ((policySet & kValueServerList) != 0) {
        controls->serverEdits = false;
        for (bool& list : controls->modeLists) {
            list = false;
        }
    }
    if ((policySet & kValueClientInterval) != 0) {
        controls->interval = false;
    }
}

const char* ClientHelpSubject(bool later) {
    return later ? "clienttab" : "win2ktab";
}
