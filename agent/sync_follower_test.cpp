#include "agent/sync_follower.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Check {
    uint32_t when;
    uint8_t reason;
    bool afterSync;
};

class FakeHost final : public FollowerHost {
public:
    void SetPartnerText(const char* text) override { texts.push_back(text); }
    bool ServiceManagesClock() override { return managesClock; }
    bool Active() override { return active; }
    uint32_t AgentPollInterval() override { return pollInterval; }
    void SetPending(bool p) override { pending = p; }
    void CountSyncEvent(bool success) override {
        ++syncEvents;
        (success ? syncSuccesses : syncFailures)++;
    }
    void NoteSynchronization(uint32_t time, uint32_t) override { lastSyncTime = time; }
    void LookUpPartner(uint32_t, char* name, size_t size) override {
        std::snprintf(name, size, "%s", hostName.c_str());
    }
    void SetPartnerName(const char* name) override { partnerName = name; }
    void RecordLastUsedSource(uint32_t refId, uint32_t time) override {
        ring.push_back({refId, time});
    }
    bool RunCheck(uint32_t when, uint8_t reason, bool afterSync) override {
        checks.push_back({when, reason, afterSync});
        return checkSucceeds;
    }

    bool managesClock = true, active = true, checkSucceeds = true, pending = false;
    uint32_t pollInterval = 1800;
    std::string hostName;
    std::vector<std::string> texts;
    std::vector<Check> checks;
    std::vector<std::pair<uint32_t, uint32_t>> ring;
    int syncEvents = 0, syncSuccesses = 0, syncFailures = 0;
    uint32_t lastSyncTime = 0;
    std::string partnerName;
};

constexpr uint64_t kSecond = 10000000;
constexpr uint64_t kFileTime1970 = 116444736000000000ull;
constexpr uint32_t kStart = 1800000000; // January 2027

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

PolledState Synced(uint32_t at, uint32_t refId, uint8_t stratum = 3, uint32_t flags = 0) {
    const uint64_t now = kFileTime1970 + at * kSecond;
    return {now, now - kSecond, flags, refId, stratum};
}

PolledState Unsynced(uint32_t at) {
    return {kFileTime1970 + at * kSecond, 0, 0, 0, 0};
}

} // namespace

TEST(SyncRule, needs_a_real_last_sync_and_a_stratum_above_one) {
    EXPECT_TRUE(IsSynchronized(Synced(kStart, 1)));
    EXPECT_FALSE(IsSynchronized(Synced(kStart, 1, 1))); // stratum 1 with a recent sync
    EXPECT_FALSE(IsSynchronized(Unsynced(kStart)));
    PolledState at1900 = Synced(kStart, 1);
    at1900.lastSyncTime = kFileTime1900;
    EXPECT_FALSE(IsSynchronized(at1900));
    at1900.lastSyncTime = kFileTime1900 + 1;
    EXPECT_TRUE(IsSynchronized(at1900));
}

TEST(SyncFollower, unsynchronized_from_the_start_fails_once_at_the_19th_poll) {
    FakeHost host;
    SyncFollower follower(host);
    follower.Start(kStart);
    ASSERT_EQ(host.texts.back(), "Unknown - Windows Time service initializing");
    EXPECT_TRUE(host.pending);
    for (uint32_t poll = 1; poll <= 18; ++poll) {
        follower.Poll(Unsynced(kStart + poll));
    }
    EXPECT_EQ(host.syncFailures, 0);
    EXPECT_TRUE(host.pending);
    follower.Poll(Unsynced(kStart + 19));
    EXPECT_EQ(host.syncEvents, 1);
    EXPECT_EQ(host.syncFailures, 1);
    EXPECT_FALSE(host.pending);
    EXPECT_EQ(host.texts.back(), "Unknown - Windows Time synchronization failed");
    const size_t textsAfterFailure = host.texts.size();
    for (uint32_t poll = 20; poll <= 200; ++poll) {
        follower.Poll(Unsynced(kStart + poll));
    }
    EXPECT_EQ(host.syncFailures, 1);
    EXPECT_EQ(host.texts.size(), textsAfterFailure);
}

TEST(SyncFollower, texts_say_not_managing_when_the_service_does_not_discipline_the_clock) {
    FakeHost host;
    host.managesClock = false;
    SyncFollower follower(host);
    follower.Start(kStart);
    for (uint32_t poll = 1; poll <= 19; ++poll) {
        follower.Poll(Unsynced(kStart + poll));
    }
    EXPECT_EQ(host.texts.back(), "N/A - Windows Time not managing the clock");
    follower.TimeJumped();
    EXPECT_EQ(host.texts.back(), "N/A - Windows Time not managing the clock");
}

TEST(SyncFollower, new_partner_gets_text_ring_entry_and_an_after_sync_check) {
    FakeHost host;
    host.hostName = "ntp1.lan";
    SyncFollower follower(host);
    follower.Start(kStart);
    follower.Poll(Synced(kStart + 1, Address(10, 0, 0, 5), 3, 1));
    EXPECT_EQ(host.texts.back(), "10.0.0.5 (ntp1.lan) [hardware]");
    EXPECT_EQ(host.partnerName, "ntp1.lan");
    ASSERT_EQ(host.ring.size(), 1u);
    EXPECT_EQ(host.ring.back().first, Address(10, 0, 0, 5));
    EXPECT_EQ(host.ring.back().second, kStart + 1);
    ASSERT_EQ(host.checks.size(), 2u); // start-up check, then the after-sync one
    EXPECT_EQ(host.checks[0].reason, kReasonStartup);
    EXPECT_EQ(host.checks[1].reason, kReasonScheduled);
    EXPECT_TRUE(host.checks[1].afterSync);
    EXPECT_EQ(host.checks[1].when, kStart + 1);

    // Same partner: nothing new. A different one while synchronized: a new synchronization.
    follower.Poll(Synced(kStart + 2, Address(10, 0, 0, 5)));
    EXPECT_EQ(host.ring.size(), 1u);
    host.hostName.clear();
    follower.Poll(Synced(kStart + 3, Address(10, 0, 0, 6), 3, 2));
    EXPECT_EQ(host.texts.back(), "10.0.0.6 (no name) [authenticated]");
    EXPECT_EQ(host.partnerName, "10.0.0.6");
    EXPECT_EQ(host.ring.size(), 2u);
    EXPECT_EQ(host.checks.back().when, kStart + 3);
    EXPECT_EQ(host.syncSuccesses, 2);
}

TEST(SyncFollower, time_jump_then_sync_checks_with_reason_triggered_and_the_next_one_scheduled) {
    FakeHost host;
    SyncFollower follower(host);
    follower.Start(kStart);
    follower.Poll(Synced(kStart + 1, Address(10, 0, 0, 5)));
    follower.TimeJumped();
    EXPECT_EQ(host.texts.back(), "Checking sources - please wait");
    EXPECT_TRUE(host.pending);
    EXPECT_EQ(follower.pendingReason(), kReasonTriggered);
    follower.Poll(Synced(kStart + 2, Address(10, 0, 0, 5)));
    EXPECT_EQ(host.checks.back().reason, kReasonTriggered);
    EXPECT_FALSE(host.pending);
    follower.Poll(Unsynced(kStart + 3));
    EXPECT_EQ(host.texts.back(), "Unknown - Windows Time lost synchronization");
    follower.Poll(Synced(kStart + 4, Address(10, 0, 0, 5)));
    EXPECT_EQ(host.checks.back().reason, kReasonScheduled);
}

TEST(SyncFollower, accepted_demand_sync_gives_the_next_sync_check_reason_control_panel) {
    FakeHost host;
    SyncFollower follower(host);
    follower.Start(kStart);
    follower.DemandSyncAccepted();
    follower.Poll(Synced(kStart + 1, Address(10, 0, 0, 5)));
    EXPECT_EQ(host.checks.back().reason, kReasonControlPanel);
}

TEST(SyncFollower, schedule_runs_from_the_last_check_and_zero_disables_it) {
    FakeHost host;
    host.pollInterval = 60;
    SyncFollower follower(host);
    follower.Start(kStart);
    ASSERT_EQ(host.checks.size(), 1u);
    follower.Poll(Unsynced(kStart + 59)); // first poll: nothing changed, not yet due
    EXPECT_EQ(host.checks.size(), 1u);
    follower.Poll(Unsynced(kStart + 60));
    ASSERT_EQ(host.checks.size(), 2u);
    EXPECT_EQ(host.checks.back().reason, kReasonSyncCheck);
    EXPECT_FALSE(host.checks.back().afterSync);
    // A failed scheduled check still advances the schedule.
    host.checkSucceeds = false;
    follower.Poll(Unsynced(kStart + 61));
    follower.Poll(Unsynced(kStart + 120));
    EXPECT_EQ(host.checks.size(), 3u);
    follower.Poll(Unsynced(kStart + 121));
    EXPECT_EQ(host.checks.size(), 3u);

    FakeHost off;
    off.pollInterval = 0;
    SyncFollower quiet(off);
    quiet.Start(kStart);
    for (uint32_t poll = 1; poll < 5000; poll += 100) {
        quiet.Poll(Unsynced(kStart + poll));
    }
    EXPECT_EQ(off.checks.size(), 1u);
}

TEST(SyncFollower, inactive_agent_runs_no_checks_but_keeps_texts_and_ring) {
    FakeHost host;
    host.active = false;
    host.pollInterval = 1;
    SyncFollower follower(host);
    follower.Start(kStart);
    follower.Poll(Synced(kStart + 1, Address(10, 0, 0, 5)));
    follower.Poll(Synced(kStart + 5, Address(10, 0, 0, 5)));
    EXPECT_TRUE(host.checks.empty());
    EXPECT_EQ(host.ring.size(), 1u);
    EXPECT_EQ(host.texts.back(), "10.0.0.5 (no name)");
}

TEST(SourceRing, keeps_64_entries_oldest_first_and_drops_the_oldest) {
    uint8_t ring[kSourceRingSize] = {};
    for (uint32_t i = 1; i <= 65; ++i) {
        PushLastUsedSource(ring, Address(10, 0, 0, static_cast<uint8_t>(i)), 1000 + i);
    }
    // Entry 0 now holds the second change, the last entry the 65th, bytes as given.
    const uint8_t first[8] = {10, 0, 0, 2, 0xEA, 0x03, 0, 0}; // 1002 little-endian
    const uint8_t last[8] = {10, 0, 0, 65, 0x29, 0x04, 0, 0}; // 1065
    EXPECT_EQ(std::memcmp(ring, first, 8), 0);
    EXPECT_EQ(std::memcmp(ring + kSourceRingSize - 8, last, 8), 0);
}

TEST(PartnerText, is_cut_to_the_buffer_and_terminated) {
    char small[12];
    FormatPartnerText(Address(192, 168, 100, 200), "a-very-long-host-name", 1, small,
                      sizeof(small));
    EXPECT_STREQ(small, "192.168.100");
    EXPECT_EQ(FileTimeToUnixSeconds(0), 0u);
    EXPECT_EQ(FileTimeToUnixSeconds(kFileTime1970 + 5 * kSecond), 5u);
}
