#include "applet/server_rules.h"

#include <cstdio>
#include <cstring>

#include "common/system_identity.h"
#include "common/text_trim.h"
#include "config/settings_changes.h"
#include "timesrc/time_format.h"

namespace {

// Announce bits: 1 always serve, 2 the service decides, 4 always reliable, 8 the service decides.
constexpr uint32_t kAnnounceServe = 1;
constexpr uint32_t kAnnounceServeAuto = 2;
constexpr uint32_t kAnnounceReliable = 4;
constexpr uint32_t kAnnounceReliableAuto = 8;

} // namespace

int ServerOptionOfRecord(const SettingsRecord& record) {
    if (record.ntpServerEnabled == 0) {
        return kServerDisabled;
    }
    if (record.announceFlags & kAnnounceServe) {
        return kServerAlways;
    }
    return record.announceFlags & kAnnounceServeAuto ? kServerAutomatic : kServerDisabled;
}

int ReliableOptionOfRecord(const SettingsRecord& record) {
    if (record.ntpServerEnabled == 0) {
        return kReliableNever;
    }
    if (record.announceFlags & kAnnounceReliable) {
        return kReliableAlways;
    }
    return record.announceFlags & kAnnounceReliableAuto ? kReliableAutomatic : kReliableNever;
}

void StoreServerOptions(int server, int reliable, SettingsRecord* record) {
    if (server == kServerDisabled) {
        record->announceFlags = 0;
        record->ntpServerEnabled = 0;
        return;
    }
    record->ntpServerEnabled = 1;
    uint32_t flags = server == kServerAlways ? kAnnounceServe : kAnnounceServeAuto;
    if (reliable == kReliableAlways) {
        flags |= kAnnounceReliable;
    } else if (reliable != kReliableNever) {
        flags |= kAnnounceReliableAuto;
    }
    record->announceFlags = flags;
}

const char* ServerDisabledText(uint32_t familyProduct, uint32_t ntpClientEnabled) {
    if (familyProduct != kFamilyServer) {
        return "&Disabled";
    }
    return ntpClientEnabled == 0 ? "&Disabled - Let Quorvex II serve NTP time"
                                 : "&Disabled - The Windows Time NtpClient owns port UDP/123";
}

char* FormatServerTestSuccess(const char* host, const uint8_t* reply, int clientIcon, int* icon,
                              char* out, size_t size) {
    const int stratum = reply[1];
    char source[32];
    if (stratum == 1) {
        // A stratum-1 server names its reference clock in four characters (zero-padded).
        size_t n = 0;
        for (; n < 4 && reply[12 + n] != 0; ++n) {
            source[n] = static_cast<char>(reply[12 + n]);
        }
        source[n] = '\0';
    } else {
        uint32_t address;
        std::memcpy(&address, reply + 12, sizeof(address));
        FormatAddress(address, source);
    }
    char sentence[600];
    std::snprintf(sentence, sizeof(sentence),
                  "%s provided a valid timestamp, and it believes the time to be correct. The NTP "
                  "stratum reported was %d, and the time source was %s",
                  host, stratum, source);
    TrimWhitespace(sentence);
    const char* verdict;
    switch (clientIcon) {
    case kVerdictBad:
        verdict = "HOWEVER, the time being served is WRONG.";
        *icon = kVerdictBad;
        break;
    case kVerdictWarning:
        verdict = "HOWEVER, the time is not well-synchronized.";
        *icon = kVerdictWarning;
        break;
    case kVerdictGood:
        verdict = "The time being served appears relatively accurate.";
        *icon = kVerdictGood;
        break;
    default:
        verdict = "The time being served cannot be verified with listed sources.";
        *icon = kVerdictWarning;
        break;
    }
    std::snprintf(out, size, "%s. %s", sentence, verdict);
    return out;
}

char* FormatServerTestFailure(const char* host, uint32_t error, const char* socketErrorText,
                              int* icon, char* out, size_t size) {
    if (error == 1901) {
        *icon = kVerdictWarning;
        std::snprintf(out, size,
                      "Unable to get the time from %s. The server responded to the NTP query, but "
                      "it reports that it does not know the correct time. This usually means that "
                      "the NTP client has failed to synchronize (or is in the middle of "
                      "synchronizing) the clock.",
                      host);
    } else {
        *icon = kVerdictBad;
        std::snprintf(out, size, "Unable to get the time from %s. A socket error occurred: %s",
                      host, socketErrorText != nullptr ? socketErrorText : "");
    }
    return out;
}

ServerPageControls ServerControlStates(bool later, bool serving, uint32_t familyProduct) {
    ServerPageControls controls{};
    controls.laterOptions = later;
    controls.reliable2000 = !later;
    controls.reliableEnabled = serving;
    // The family server answers NTP itself, so its port can be tested with ours off.
    controls.testEnabled = serving || familyProduct == kFamilyServer;
    return controls;
}

uint32_t ServerOptionValues(bool later) {
    return later ? kValueAnnounceFlags | kValueServerEnabled : kValueLocalNtp;
}

bool PolicySetsServerOption(bool later, uint32_t policySet) {
    return (policySet & ServerOptionValues(later)) != 0;
}

bool PolicySetsReliability(uint32_t policySet) {
    return (policySet & kValueAnnounceFlags) != 0;
}

bool ServerConflictAsked(bool later, bool unconfirmed, bool familyServesNtp) {
    return later && unconfirmed && familyServesNtp;
}
