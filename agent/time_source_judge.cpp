#include "agent/time_source_judge.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "agent/sync_follower.h"
#include "config/settings.h"
#include "timesrc/time_format.h"

namespace {

// Four ASCII letters as the service stores them: the first letter is the first byte in memory.
constexpr uint32_t AsciiRefId(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

constexpr uint32_t kRefIdLocalClock = AsciiRefId("LOCL");
constexpr uint32_t kRefIdVirtualHost = AsciiRefId("VINC");

ClaimedSource ClassifyRefId(uint32_t refId) {
    if (refId == kRefIdLocalClock) {
        return ClaimedSource::kLocalCmosClock;
    }
    if (refId == kRefIdVirtualHost) {
        return ClaimedSource::kVirtualMachineHost;
    }
    return ClaimedSource::kNetwork;
}

} // namespace

bool ExpectsNetworkSources(uint32_t syncType) {
    return syncType == kSyncNtp || syncType == kSyncNt5ds || syncType == kSyncAllSync;
}

const char* ClaimedSourceText(ClaimedSource source) {
    switch (source) {
    case ClaimedSource::kLocalCmosClock:
        return "Local CMOS Clock";
    case ClaimedSource::kFreeRunning:
        return "Free-running System Clock";
    case ClaimedSource::kVirtualMachineHost:
        return "VM IC Time Synchronization Provider (the virtual machine's host)";
    case ClaimedSource::kNetwork:
        break;
    }
    return "a network source";
}

SourceVerdict JudgeTimeSource(const ServiceSourceFacts& facts) {
    ClaimedSource source = ClassifyRefId(facts.refId);
    if (source == ClaimedSource::kNetwork &&
        (facts.stratum == 0 || facts.refId == 0 || facts.lastSyncTime <= kFileTime1900)) {
        source = ClaimedSource::kFreeRunning;
    }
    SourceVerdict verdict;
    verdict.source = source;
    verdict.followsNoNetworkSource =
        source != ClaimedSource::kNetwork && ExpectsNetworkSources(facts.syncType);
    verdict.claimedText = ClaimedSourceText(source);
    return verdict;
}

ClaimedSource ClaimedSourceFromPartner(const char* partnerName) {
    if (partnerName == nullptr) {
        return ClaimedSource::kNetwork;
    }
    for (uint32_t refId : {kRefIdLocalClock, kRefIdVirtualHost}) {
        char dotted[kAddressTextSize];
        FormatAddress(refId, dotted);
        if (std::strcmp(partnerName, dotted) == 0) {
            return ClassifyRefId(refId);
        }
    }
    return ClaimedSource::kNetwork;
}

StatusSourceVerdict JudgeStatusRecordSource(const char* partnerName, uint32_t lastSyncTime,
                                            uint32_t agentStartTime, uint32_t now) {
    const ClaimedSource claimed = ClaimedSourceFromPartner(partnerName);
    if (claimed != ClaimedSource::kNetwork) {
        return {true, ClaimedSourceText(claimed)};
    }
    // The agent counts a service unsynchronized for 19 polls before it says so: a minute leaves
    // room for that.
    constexpr uint32_t kSettleSeconds = 60;
    if (lastSyncTime == 0 && agentStartTime != 0 && now - agentStartTime >= kSettleSeconds &&
        now - agentStartTime < 0x80000000u) {
        return {true, "its local clock or none (no synchronization seen since the agent started)"};
    }
    return {false, ClaimedSourceText(ClaimedSource::kNetwork)};
}

SelfSyncEvent SelfSyncWatch::OnCheck(const SourceVerdict& verdict, const CheckOutcome& outcome) {
    if (!verdict.followsNoNetworkSource) {
        return OnPoll(verdict);
    }
    const bool beyond =
        outcome.thresholdMs != 0 && (outcome.offsetMs > static_cast<int64_t>(outcome.thresholdMs) ||
                                     outcome.offsetMs < -static_cast<int64_t>(outcome.thresholdMs));
    const bool worthSaying = outcome.verified ? beyond : outcome.warnUnverified;
    if (inEpisode_ || !outcome.completed || !worthSaying) {
        return SelfSyncEvent::kNone;
    }
    inEpisode_ = true;
    return SelfSyncEvent::kWarn;
}

SelfSyncEvent SelfSyncWatch::OnPoll(const SourceVerdict& verdict) {
    if (inEpisode_ && verdict.source == ClaimedSource::kNetwork) {
        inEpisode_ = false;
        return SelfSyncEvent::kRecovered;
    }
    return SelfSyncEvent::kNone;
}

void FormatSelfSyncWarning(const SourceVerdict& verdict, const CheckOutcome& outcome, char* out,
                           size_t size) {
    char measured[200];
    if (outcome.verified) {
        const char* direction = outcome.offsetMs > 0   ? " slow"
                                : outcome.offsetMs < 0 ? " fast"
                                                       : "";
        std::snprintf(measured, sizeof(measured), "The agent measured the clock %s%s against %s",
                      FormatMilliseconds(outcome.offsetMs), direction, outcome.source);
    } else {
        std::snprintf(measured, sizeof(measured),
                      "The agent could not verify the clock against any source");
    }
    std::snprintf(out, size,
                  "Windows Time is set to follow network time servers, but its source is %s. %s%s.",
                  verdict.claimedText, measured,
                  outcome.verified ? ", more than the alert threshold" : "");
}

void FormatSelfSyncRecovery(uint32_t refId, char* out, size_t size) {
    char dotted[kAddressTextSize];
    std::snprintf(out, size, "Windows Time follows a network time source again (partner %s).",
                  FormatAddress(refId, dotted));
}
