#include "responder/request_handler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "responder/byte_order.h"

namespace {

class FakeHost final : public ResponderHost {
public:
    void ShowActivity(uint32_t slot) override { activity.push_back(slot); }
    CalendarRecord UtcTime() override { return {2024, 2, 4, 29, 23, 59, 58, 999}; }
    CalendarRecord LocalTime() override { return {2024, 3, 5, 1, 0, 59, 58, 999}; }
    uint32_t UnixNow() override { return now; }
    uint64_t MonotonicMs() override { return clockMs; }
    bool IsWindows2000() override { return windows2000; }
    void RequestDemandSync() override { ++demandSyncs; }
    void VersionRecordBytes(uint8_t out[kVersionRecordSize]) override {
        EncodeVersionRecord(MakeVersionRecord(kAgentRole, 1000, true, "VM"), out);
    }
    void TimeZoneFactsBytes(uint8_t out[kTimeZoneFactsSize]) override {
        EncodeTimeZoneFacts(1, "Pacific Standard Time", out);
    }
    void CurrentZoneName(char field[kZoneNameField]) override {
        std::memset(field, 0, kZoneNameField);
        std::strcpy(field, "Pacific Daylight Time");
    }
    uint8_t TimeServiceType() override { return 3; }
    uint32_t MaxPhaseOffset() override { return 300; }
    void DriftRecordAfter(uint32_t after, uint8_t out[kDriftAnswerSize]) override {
        askedAfter.push_back(after);
        std::memset(out, 0, kDriftAnswerSize);
        if (after < 5000) {
            out[0] = 41;
            StoreLe32(out + 8, 5000);
        }
    }
    void ClearHistory() override { ++clears; }
    void StatusRecordBytes(uint8_t out[kStatusRecordSize]) override {
        std::memset(out, 0x5A, kStatusRecordSize);
        StoreLe32(out, id);
    }
    uint32_t InstallationId() override { return id; }
    void ReportRateLimited(uint64_t dropped, uint32_t rate) override {
        reports.push_back(dropped);
        reportedRate = rate;
    }

    std::vector<uint32_t> activity;
    std::vector<uint32_t> askedAfter;
    std::vector<uint64_t> reports;
    uint32_t reportedRate = 0;
    uint32_t now = 1700000000;
    uint64_t clockMs = 1000;
    bool windows2000 = false;
    int demandSyncs = 0;
    int clears = 0;
    uint32_t id = 0x11223344;
};

constexpr uint32_t kSource = 0x0100007F; // 127.0.0.1 in network byte order

class Responder : public ::testing::Test {
protected:
    void SetUp() override {
        uint8_t filter[kCommandFilterSize];
        uint8_t allowAll[kCommandFilterSize] = {};
        BuildCommandFilter(allowAll, sizeof(allowAll), true, filter);
        core_ = new ResponderCore();
        ResetResponderCore(core_, filter, 0);
        InitAgentStatus(&status_, kAgentRole, 1600000000, "Pacific Standard Time");
    }
    void TearDown() override { delete core_; }

    // Sends one request with a fresh sequence number; the reply's bytes, empty for none.
    std::string Ask(uint32_t code, uint32_t data = 0, RequestOutcome* outcome = nullptr) {
        uint8_t datagram[kMaxRequestSize];
        uint8_t word[4];
        StoreLe32(word, data);
        const size_t length = EncodeManagementRequest(++sequence_, code, word, 4, datagram);
        return Send(datagram, length, outcome);
    }
    std::string Send(const uint8_t* bytes, size_t length, RequestOutcome* outcome = nullptr,
                     uint32_t source = kSource) {
        Reply reply;
        const RequestOutcome result =
            HandleDatagram(core_, &status_, host_, bytes, length, source, &reply);
        if (outcome != nullptr) {
            *outcome = result;
        }
        if (result != RequestOutcome::kAnswer) {
            EXPECT_EQ(reply.length, 0u);
            return std::string();
        }
        return std::string(reinterpret_cast<const char*>(reply.bytes), reply.length);
    }
    void UseFilter(const uint8_t* value, size_t size, bool read) {
        uint8_t filter[kCommandFilterSize];
        BuildCommandFilter(value, size, read, filter);
        ResetResponderCore(core_, filter, 0);
    }

    FakeHost host_;
    ResponderCore* core_ = nullptr;
    AgentStatus status_{};
    uint32_t sequence_ = 0;
};

std::string Bytes(const char* text, size_t size) {
    return std::string(text, size);
}

} // namespace

TEST(CommandFilter, absent_value_prohibits_the_four_private_codes_and_everything_unknown) {
    uint8_t filter[kCommandFilterSize];
    BuildCommandFilter(nullptr, 0, false, filter);
    int open = 0;
    for (int code = 0; code < 256; ++code) {
        if (filter[code] == 0) {
            ++open;
        }
    }
    EXPECT_EQ(open, 31);
    EXPECT_EQ(filter[102], 1);
    EXPECT_EQ(filter[150], 1);
    EXPECT_EQ(filter[160], 1);
    EXPECT_EQ(filter[180], 1);
    EXPECT_EQ(filter[50], 128);
    EXPECT_EQ(filter[255], 128);
    EXPECT_EQ(filter[0], 0);
}

TEST(CommandFilter, stored_bytes_count_per_code_missing_ones_are_zero_unknown_codes_stay_shut) {
    uint8_t value[130] = {};
    value[2] = 1;   // prohibit the UTC time
    value[50] = 0;  // cannot open an unknown code
    value[129] = 7; // prohibit the reset
    uint8_t filter[kCommandFilterSize];
    BuildCommandFilter(value, sizeof(value), true, filter);
    EXPECT_EQ(filter[2], 1);
    EXPECT_EQ(filter[129], 7);
    EXPECT_EQ(filter[50], 128);
    EXPECT_EQ(filter[160], 0); // beyond the stored bytes: allowed
    EXPECT_EQ(filter[204], 0);
    EXPECT_EQ(filter[205], 128);
}

TEST(ManagementRequest, only_the_low_byte_of_the_code_counts_and_short_data_reads_zero) {
    const uint8_t datagram[] = {1, 2, 3, 4, 160, 1, 0, 0, 0x10, 0x20};
    ManagementRequest request;
    ASSERT_TRUE(ParseManagementRequest(datagram, sizeof(datagram), &request));
    EXPECT_EQ(request.sequence, 0x04030201u);
    EXPECT_EQ(request.code, 160);
    EXPECT_EQ(request.dataWord, 0x2010u);
    EXPECT_FALSE(ParseManagementRequest(datagram, 4, &request));
    EXPECT_FALSE(ParseManagementRequest(datagram, 0, &request));
}

TEST(ManagementRequest, encodes_sequence_code_and_data_and_cuts_data_past_504_bytes) {
    uint8_t out[kMaxRequestSize];
    const uint8_t data[] = {0xAA, 0xBB, 0xCC, 0xDD};
    ASSERT_EQ(EncodeManagementRequest(0x01020304, 201, data, 4, out), 12u);
    const uint8_t expected[] = {4, 3, 2, 1, 201, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0};
    EXPECT_EQ(std::memcmp(out, expected, sizeof(expected)), 0);
    std::vector<uint8_t> big(600, 1);
    EXPECT_EQ(EncodeManagementRequest(0, 0, big.data(), big.size(), out), 512u);
    EXPECT_EQ(EncodeManagementRequest(0, 0, nullptr, 99, out), 8u);
}

TEST_F(Responder, fixed_answers_are_exact_bytes) {
    EXPECT_EQ(Ask(0), Bytes("ACK", 4));
    EXPECT_EQ(Ask(0x00000100), Bytes("ACK", 4)); // only the low byte counts
    EXPECT_EQ(Ask(5), Bytes("NAK", 4));
    EXPECT_EQ(Ask(132), Bytes("NAK", 4));
    EXPECT_EQ(Ask(150), std::string(4, '\0'));
    const uint8_t limits[] = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x93, 0x04, 0};
    EXPECT_EQ(Ask(151), std::string(reinterpret_cast<const char*>(limits), 16));
}

TEST_F(Responder, times_version_and_zone_come_from_the_host_in_their_layouts) {
    const std::string utc = Ask(2);
    ASSERT_EQ(utc.size(), 16u);
    CalendarRecord decoded;
    DecodeCalendarRecord(reinterpret_cast<const uint8_t*>(utc.data()), &decoded);
    EXPECT_EQ(decoded.year, 2024);
    EXPECT_EQ(decoded.day, 29);
    EXPECT_EQ(decoded.milliseconds, 999);
    const std::string local = Ask(7);
    ASSERT_EQ(local.size(), 16u);
    EXPECT_EQ(static_cast<uint8_t>(local[2]), 3); // month 3

    const std::string version = Ask(4);
    ASSERT_EQ(version.size(), 64u);
    EXPECT_EQ(version.substr(48, 3), Bytes("VM", 3));

    const std::string zone = Ask(6);
    ASSERT_EQ(zone.size(), 504u);
    EXPECT_EQ(zone.substr(0, 8), Bytes("\0\0\0\0\1\0\0\0", 8));
    EXPECT_EQ(zone.substr(8, 22), Bytes("Pacific Standard Time", 22));
    EXPECT_EQ(zone.substr(30), std::string(504 - 30, '\0'));
}

TEST_F(Responder, demand_sync_is_asked_for_except_on_windows_2000) {
    EXPECT_EQ(Ask(3), Bytes("ACK", 4));
    EXPECT_EQ(Ask(204), Bytes("ACK", 4));
    EXPECT_EQ(host_.demandSyncs, 2);
    host_.windows2000 = true;
    EXPECT_EQ(Ask(3), Bytes("NAK", 4));
    EXPECT_EQ(Ask(204), Bytes("NAK", 4));
    EXPECT_EQ(host_.demandSyncs, 2);
}

TEST_F(Responder, agent_status_refreshes_role_zone_type_and_snapshot_before_sending) {
    status_.role = 0;
    host_.now = 1700001234;
    const std::string block = Ask(128);
    ASSERT_EQ(block.size(), kAgentStatusBlockSize);
    AgentStatus sent;
    DecodeAgentStatusBlock(reinterpret_cast<const uint8_t*>(block.data()), &sent);
    EXPECT_EQ(sent.role, 7u);
    EXPECT_EQ(sent.snapshotTime, 1700001234u);
    EXPECT_EQ(sent.timeServiceType, 3);
    EXPECT_STREQ(sent.timeZoneName, "Pacific Daylight Time");
    // The block counts the request that asked for it, not yet its reply.
    EXPECT_EQ(sent.bytesReceived, 12u);
    EXPECT_EQ(sent.repliesSent[0], 0u);
}

TEST_F(Responder, clear_empties_history_resets_statistics_and_answers_the_block) {
    status_.lastOffsetMs = 42;
    status_.syncEvents = 9;
    Ask(0);
    NoteReplySent(&status_, 4, 1699999999);
    host_.now = 1700005000;
    const std::string block = Ask(129);
    ASSERT_EQ(block.size(), kAgentStatusBlockSize);
    EXPECT_EQ(host_.clears, 1);
    AgentStatus sent;
    DecodeAgentStatusBlock(reinterpret_cast<const uint8_t*>(block.data()), &sent);
    EXPECT_EQ(sent.statisticsResetTime, 1700005000u);
    EXPECT_EQ(sent.syncEvents, 0u);
    EXPECT_EQ(sent.repliesSent[0], 0u);
    EXPECT_EQ(sent.bytesReceived, 0u); // the reset came after the clear request was counted
    EXPECT_EQ(sent.lastOffsetMs, 42);
}

TEST_F(Responder, history_record_after_the_data_word_or_zeros) {
    const std::string found = Ask(160, 100);
    ASSERT_EQ(found.size(), 20u);
    EXPECT_EQ(static_cast<uint8_t>(found[0]), 41);
    EXPECT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>(found.data()) + 8), 5000u);
    EXPECT_EQ(Ask(160, 5000), std::string(20, '\0'));
    EXPECT_EQ(host_.askedAfter, (std::vector<uint32_t>{100, 5000}));
}

TEST_F(Responder, status_record_to_anyone_but_201_only_with_our_identifier) {
    EXPECT_EQ(Ask(200).size(), kStatusRecordSize);
    RequestOutcome outcome;
    EXPECT_EQ(Ask(201, 0x11223345, &outcome), "");
    EXPECT_EQ(outcome, RequestOutcome::kNoAnswer);
    const std::string ours = Ask(201, 0x11223344);
    ASSERT_EQ(ours.size(), kStatusRecordSize);
    EXPECT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>(ours.data())), 0x11223344u);
}

TEST_F(Responder, silent_codes_flash_their_slots_and_answer_nothing) {
    const struct {
        uint32_t code;
        uint32_t slot;
    } kFlashes[] = {{81, 28}, {82, 26}, {83, 30}, {100, 20}, {101, 22}};
    for (const auto& flash : kFlashes) {
        host_.activity.clear();
        RequestOutcome outcome;
        EXPECT_EQ(Ask(flash.code, 0, &outcome), "");
        EXPECT_EQ(outcome, RequestOutcome::kNoAnswer);
        EXPECT_EQ(host_.activity, (std::vector<uint32_t>{kActivityRequestAccepted, flash.slot}));
    }
    for (uint32_t code : {1, 10, 11, 12, 13, 14, 80, 102, 130, 131, 140, 180, 202, 203}) {
        host_.activity.clear();
        RequestOutcome outcome;
        EXPECT_EQ(Ask(code, 0, &outcome), "") << code;
        EXPECT_EQ(outcome, RequestOutcome::kNoAnswer) << code;
        EXPECT_EQ(host_.activity, (std::vector<uint32_t>{kActivityRequestAccepted})) << code;
    }
}

TEST_F(Responder, filtered_and_unknown_codes_are_dropped_without_counting_or_flashing) {
    UseFilter(nullptr, 0, false);
    RequestOutcome outcome;
    EXPECT_EQ(Ask(160, 0, &outcome), "");
    EXPECT_EQ(outcome, RequestOutcome::kFiltered);
    EXPECT_EQ(Ask(50, 0, &outcome), "");
    EXPECT_EQ(outcome, RequestOutcome::kFiltered);
    EXPECT_TRUE(host_.activity.empty());
    EXPECT_EQ(status_.bytesReceived, 0u);
    EXPECT_TRUE(host_.askedAfter.empty());

    uint8_t open160[161] = {};
    UseFilter(open160, sizeof(open160), true);
    EXPECT_EQ(Ask(160).size(), 20u);
    EXPECT_EQ(Ask(50, 0, &outcome), "");
    EXPECT_EQ(outcome, RequestOutcome::kFiltered);
}

TEST_F(Responder, an_exact_repeat_is_ignored_a_new_sequence_number_is_answered) {
    uint8_t datagram[kMaxRequestSize];
    const size_t length = EncodeManagementRequest(77, 0, nullptr, 0, datagram);
    EXPECT_EQ(Send(datagram, length), Bytes("ACK", 4));
    RequestOutcome outcome;
    EXPECT_EQ(Send(datagram, length, &outcome), "");
    EXPECT_EQ(outcome, RequestOutcome::kRepeated);
    EXPECT_EQ(status_.bytesReceived, 8u);
    // The same bytes and one more are not a repeat.
    EXPECT_EQ(Send(datagram, length + 1), Bytes("ACK", 4));
    datagram[0] = 78;
    EXPECT_EQ(Send(datagram, length), Bytes("ACK", 4));
    // A reopened responder has forgotten it.
    ForgetLastDatagram(core_);
    EXPECT_EQ(Send(datagram, length), Bytes("ACK", 4));
    // A repeat still flashes the request slot: it passed the filter.
    host_.activity.clear();
    Send(datagram, length);
    EXPECT_EQ(host_.activity, (std::vector<uint32_t>{kActivityRequestAccepted}));
}

TEST_F(Responder, counts_received_bytes_sent_bytes_replies_and_receive_errors) {
    std::vector<uint8_t> big(700, 0);
    EXPECT_EQ(Send(big.data(), big.size()), Bytes("ACK", 4)); // only 512 bytes are read
    EXPECT_EQ(status_.bytesReceived, 512u);
    NoteReplySent(&status_, 4, 1700000001);
    NoteReplySent(&status_, -1, 1700000002); // a failed send still counts as a reply
    EXPECT_EQ(status_.bytesSent, 4u);
    EXPECT_EQ(status_.repliesSent[0], 2u);
    EXPECT_EQ(status_.lastReplyTime[0], 1700000002u);
    NoteReceiveError(&status_);
    EXPECT_EQ(status_.receiveErrors[0], 1u);
    RequestOutcome outcome;
    Send(big.data(), 4, &outcome);
    EXPECT_EQ(outcome, RequestOutcome::kTooShort);
    EXPECT_EQ(status_.bytesReceived, 512u);
}

TEST_F(Responder, a_flood_from_one_source_is_cut_to_its_allowance_and_reported_hourly) {
    uint8_t filter[kCommandFilterSize];
    BuildCommandFilter(nullptr, 0, false, filter);
    ResetResponderCore(core_, filter, 10000); // 10,000 bytes a second, 20,000 at once
    int answered = 0;
    for (int i = 0; i < 200; ++i) {
        if (!Ask(128).empty()) {
            ++answered;
        }
    }
    // Each status block costs 355 + 28 bytes: 52 fit in the burst.
    EXPECT_EQ(answered, 20000 / 383);
    EXPECT_EQ(core_->droppedTotal, 200u - answered);
    ASSERT_EQ(host_.reports.size(), 1u); // the first drop is reported at once
    EXPECT_EQ(host_.reports[0], 1u);
    EXPECT_EQ(host_.reportedRate, 10000u);
    // The dropped requests did not count as received and were not remembered.
    EXPECT_EQ(status_.bytesReceived, 12u * answered);

    // Another source is not affected.
    uint8_t datagram[kMaxRequestSize];
    const size_t length = EncodeManagementRequest(999, 128, nullptr, 0, datagram);
    EXPECT_EQ(Send(datagram, length, nullptr, 0x0200007F).size(), kAgentStatusBlockSize);

    // A second later the source has 10,000 bytes again.
    host_.clockMs += 1000;
    answered = 0;
    for (int i = 0; i < 100; ++i) {
        if (!Ask(128).empty()) {
            ++answered;
        }
    }
    EXPECT_EQ(answered, 10000 / 383);
    EXPECT_EQ(host_.reports.size(), 1u); // within the hour: no new report
    host_.clockMs += kRateReportIntervalMs;
    Ask(0);
    ASSERT_EQ(host_.reports.size(), 2u);
    EXPECT_EQ(host_.reports[1], 199u - 52u + 100u - 26u);
}

TEST_F(Responder, random_datagrams_of_any_size_change_nothing_but_the_counters) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    uint8_t filter[kCommandFilterSize];
    BuildCommandFilter(nullptr, 0, false, filter);
    ResetResponderCore(core_, filter, kDefaultReplyRateLimit);
    std::vector<uint8_t> datagram(2048);
    for (int i = 0; i < 20000; ++i) {
        const size_t length = i < 512 ? i : random() % datagram.size();
        for (size_t j = 0; j < length; ++j) {
            datagram[j] = static_cast<uint8_t>(random());
        }
        // Keep away from the codes that act, so that everything else can be compared after.
        if (length > 4 && (datagram[4] == 3 || datagram[4] == 129 || datagram[4] == 204)) {
            datagram[4] = 0;
        }
        Reply reply;
        const RequestOutcome outcome =
            HandleDatagram(core_, &status_, host_, datagram.data(), length, random(), &reply);
        ASSERT_LE(reply.length, kMaxReplySize);
        ASSERT_EQ(outcome == RequestOutcome::kAnswer, reply.length != 0);
    }
    EXPECT_EQ(host_.demandSyncs, 0);
    EXPECT_EQ(host_.clears, 0);
    EXPECT_STREQ(status_.partnerName, "(none since startup)");
    EXPECT_EQ(status_.statisticsResetTime, 1600000000u);
    EXPECT_EQ(Ask(0), Bytes("ACK", 4));
}
