#include "agent/time_source_judge.h"

#include <gtest/gtest.h>

#include <cstring>

#include "agent/sync_follower.h"
#include "config/settings.h"

namespace {

constexpr uint64_t kRecentSync = 134000000000000000ull; // 2025, as a file time
constexpr uint32_t kChronyd = 0x0100007F;               // 127.0.0.1 in network byte order

uint32_t Letters(const char* four) {
    uint32_t refId;
    std::memcpy(&refId, four, 4);
    return refId;
}

CheckOutcome Verified(int64_t offsetMs) {
    CheckOutcome outcome{};
    outcome.completed = true;
    outcome.verified = true;
    outcome.offsetMs = offsetMs;
    std::snprintf(outcome.source, sizeof(outcome.source), "127.0.0.2");
    outcome.thresholdMs = 2000;
    return outcome;
}

TEST(TimeSourceJudge, signatures_of_a_service_that_follows_no_network_source) {
    struct Case {
        uint32_t refId;
        uint8_t stratum;
        uint64_t lastSync;
        ClaimedSource source;
    } cases[] = {
        {Letters("LOCL"), 1, kRecentSync, ClaimedSource::kLocalCmosClock},
        {Letters("LOCL"), 3, 0, ClaimedSource::kLocalCmosClock},
        {Letters("VINC"), 3, kRecentSync, ClaimedSource::kVirtualMachineHost},
        {0, 0, 0, ClaimedSource::kFreeRunning},
        {kChronyd, 0, kRecentSync, ClaimedSource::kFreeRunning},
        {kChronyd, 3, kFileTime1900, ClaimedSource::kFreeRunning},
        {0, 3, kRecentSync, ClaimedSource::kFreeRunning},
        {kChronyd, 3, kRecentSync, ClaimedSource::kNetwork},
        {Letters("GPS\0"), 2, kRecentSync, ClaimedSource::kNetwork},
    };
    for (const Case& c : cases) {
        for (uint32_t type : {kSyncNtp, kSyncNt5ds, kSyncAllSync, kSyncNoSync, kSyncUnknown}) {
            const SourceVerdict v = JudgeTimeSource({c.refId, c.stratum, c.lastSync, type});
            SCOPED_TRACE(testing::Message() << std::hex << c.refId << " type " << type);
            EXPECT_EQ(v.source, c.source);
            const bool networkType = type == kSyncNtp || type == kSyncNt5ds || type == kSyncAllSync;
            EXPECT_EQ(v.followsNoNetworkSource, networkType && c.source != ClaimedSource::kNetwork);
        }
    }
    EXPECT_STREQ(JudgeTimeSource({Letters("LOCL"), 1, kRecentSync, kSyncNtp}).claimedText,
                 "Local CMOS Clock");
    EXPECT_STREQ(JudgeTimeSource({0, 0, 0, kSyncNtp}).claimedText, "Free-running System Clock");

    EXPECT_EQ(ClaimedSourceFromPartner("76.79.67.76"), ClaimedSource::kLocalCmosClock);
    EXPECT_EQ(ClaimedSourceFromPartner("86.73.78.67"), ClaimedSource::kVirtualMachineHost);
    EXPECT_EQ(ClaimedSourceFromPartner("127.0.0.1"), ClaimedSource::kNetwork);
    EXPECT_EQ(ClaimedSourceFromPartner("(none since startup)"), ClaimedSource::kNetwork);
    EXPECT_EQ(ClaimedSourceFromPartner(nullptr), ClaimedSource::kNetwork);

    // From the status record: the partner, or no synchronization a minute after the start.
    const uint32_t start = 1765000000;
    EXPECT_TRUE(
        JudgeStatusRecordSource("76.79.67.76", start, start, start + 5).followsNoNetworkSource);
    EXPECT_STREQ(JudgeStatusRecordSource("76.79.67.76", start, start, start + 5).claimedText,
                 "Local CMOS Clock");
    EXPECT_FALSE(
        JudgeStatusRecordSource("127.0.0.1", start, start, start + 5).followsNoNetworkSource);
    EXPECT_FALSE(JudgeStatusRecordSource("(none since startup)", 0, start, start + 59)
                     .followsNoNetworkSource);
    EXPECT_TRUE(JudgeStatusRecordSource("(none since startup)", 0, start, start + 60)
                    .followsNoNetworkSource);
    EXPECT_FALSE(
        JudgeStatusRecordSource("(none since startup)", 0, 0, start).followsNoNetworkSource);
    EXPECT_FALSE(JudgeStatusRecordSource("(none since startup)", 0, start, start - 100)
                     .followsNoNetworkSource);
}

TEST(SelfSyncWatch, one_warning_per_episode_and_one_recovery) {
    const SourceVerdict local = JudgeTimeSource({Letters("LOCL"), 1, kRecentSync, kSyncNtp});
    const SourceVerdict noSync = JudgeTimeSource({Letters("LOCL"), 1, kRecentSync, kSyncNoSync});
    const SourceVerdict network = JudgeTimeSource({kChronyd, 3, kRecentSync, kSyncNtp});
    CheckOutcome unverified{};
    unverified.completed = true;
    unverified.thresholdMs = 2000;
    unverified.warnUnverified = true;

    SelfSyncWatch watch;
    EXPECT_EQ(watch.OnCheck(local, Verified(2000)), SelfSyncEvent::kNone) << "within threshold";
    EXPECT_EQ(watch.OnCheck(noSync, Verified(3000)), SelfSyncEvent::kNone) << "asked for";
    EXPECT_EQ(watch.OnCheck(network, Verified(3000)), SelfSyncEvent::kNone);
    EXPECT_EQ(watch.OnCheck(local, Verified(-2001)), SelfSyncEvent::kWarn);
    EXPECT_EQ(watch.OnCheck(local, Verified(3000)), SelfSyncEvent::kNone);
    EXPECT_EQ(watch.OnCheck(local, unverified), SelfSyncEvent::kNone);
    EXPECT_EQ(watch.OnPoll(local), SelfSyncEvent::kNone);
    EXPECT_EQ(watch.OnPoll(network), SelfSyncEvent::kRecovered);
    EXPECT_EQ(watch.OnPoll(network), SelfSyncEvent::kNone);
    EXPECT_FALSE(watch.inEpisode());
    // A new episode, opened by a check that cannot verify the clock.
    EXPECT_EQ(watch.OnCheck(local, unverified), SelfSyncEvent::kWarn);
    EXPECT_EQ(watch.OnCheck(network, Verified(0)), SelfSyncEvent::kRecovered);

    // Alerts switched off stay off here too; a check cut short by a stop says nothing.
    CheckOutcome noThreshold = Verified(900000);
    noThreshold.thresholdMs = 0;
    CheckOutcome quietUnverified = unverified;
    quietUnverified.warnUnverified = false;
    CheckOutcome stopped = unverified;
    stopped.completed = false;
    SelfSyncWatch quiet;
    EXPECT_EQ(quiet.OnCheck(local, noThreshold), SelfSyncEvent::kNone);
    EXPECT_EQ(quiet.OnCheck(local, quietUnverified), SelfSyncEvent::kNone);
    EXPECT_EQ(quiet.OnCheck(local, stopped), SelfSyncEvent::kNone);
    EXPECT_FALSE(quiet.inEpisode());
}

TEST(SelfSyncWatch, texts) {
    const SourceVerdict local = JudgeTimeSource({Letters("LOCL"), 1, kRecentSync, kSyncNtp});
    char text[400];
    FormatSelfSyncWarning(local, Verified(3012), text, sizeof(text));
    EXPECT_STREQ(text, "Windows Time is set to follow network time servers, but its source is "
                       "Local CMOS Clock. The agent measured the clock 3 seconds, 12 milliseconds "
                       "slow against 127.0.0.2, more than the alert threshold.");
    CheckOutcome unverified{};
    FormatSelfSyncWarning(JudgeTimeSource({0, 0, 0, kSyncNt5ds}), unverified, text, sizeof(text));
    EXPECT_STREQ(text, "Windows Time is set to follow network time servers, but its source is "
                       "Free-running System Clock. The agent could not verify the clock against "
                       "any source.");
    FormatSelfSyncRecovery(kChronyd, text, sizeof(text));
    EXPECT_STREQ(text, "Windows Time follows a network time source again (partner 127.0.0.1).");
}

} // namespace
