#include "timesrc/ntp_packet.h"

#include "timesrc/clock_math.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kSecond = kFileTimeUnitsPerSecond;
constexpr NtpTimestamp kNtpSecond = uint64_t{1} << 32;
// 1 January 1970 as an NTP timestamp: 2 208 988 800 seconds into era 0.
constexpr NtpTimestamp kNtp1970 = NtpTimestamp{0x83AA7E80} << 32;
// The first moment of NTP era 1: 7 February 2036 06:28:16 UTC.
constexpr uint64_t kFileTimeEra1 = kFileTimeUnixEpoch + 2085978496ull * kSecond;

// A reply as a server sends it to a request of t1: version 1, server mode, stratum 2.
std::vector<uint8_t> ServerReply(NtpTimestamp t1, NtpTimestamp t2, NtpTimestamp t3) {
    std::vector<uint8_t> reply(kNtpPacketSize, 0);
    reply[0] = 0x0C;
    reply[1] = 2;
    StoreBe64(&reply[kNtpOriginateOffset], t1);
    StoreBe64(&reply[kNtpReceiveOffset], t2);
    StoreBe64(&reply[kNtpTransmitOffset], t3);
    return reply;
}

} // namespace

TEST(BigEndianFields, store_most_significant_byte_first_and_load_it_back) {
    uint8_t bytes[8] = {};
    StoreBe16(bytes, 0x1234);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(LoadBe16(bytes), 0x1234);

    StoreBe32(bytes, 0x89ABCDEF);
    const uint8_t be32[] = {0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(bytes, be32, 4), 0);
    EXPECT_EQ(LoadBe32(bytes), 0x89ABCDEFu);

    StoreBe64(bytes, 0x0102030405060708ull);
    const uint8_t be64[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(bytes, be64, 8), 0);
    EXPECT_EQ(LoadBe64(bytes), 0x0102030405060708ull);
}

TEST(NtpTimestampConversion, unix_epoch_and_half_second_map_exactly) {
    EXPECT_EQ(NtpFromFileTime(kFileTimeUnixEpoch), kNtp1970);
    EXPECT_EQ(NtpFromFileTime(kFileTimeUnixEpoch + kSecond / 2), kNtp1970 | 0x80000000u);
    EXPECT_EQ(FileTimeFromNtp(kNtp1970 | 0x80000000u, kFileTimeUnixEpoch),
              kFileTimeUnixEpoch + kSecond / 2);
    // One file-time unit is 429.4967296 fraction units, truncated.
    EXPECT_EQ(NtpFromFileTime(kFileTimeUnixEpoch + 1), kNtp1970 | 429u);
}

TEST(NtpTimestampConversion, file_times_survive_the_round_trip) {
    const uint64_t samples[] = {kFileTimeUnixEpoch + 1,
                                kFileTimeUnixEpoch + 9999999,
                                133000000000000000ull + 1234567,
                                kFileTimeEra1 - 1,
                                kFileTimeEra1,
                                kFileTimeEra1 + 3 * kSecond + 7};
    for (const uint64_t fileTime : samples) {
        EXPECT_EQ(FileTimeFromNtp(NtpFromFileTime(fileTime), fileTime), fileTime) << fileTime;
        // Any reference within decades picks the same era.
        EXPECT_EQ(
            FileTimeFromNtp(NtpFromFileTime(fileTime), fileTime + 40ull * 365 * 86400 * kSecond),
            fileTime)
            << fileTime;
    }
}

TEST(NtpTimestampConversion, seconds_restart_in_2036_and_the_era_follows_the_reference) {
    EXPECT_EQ(NtpFromFileTime(kFileTimeEra1), 0u);
    EXPECT_EQ(NtpFromFileTime(kFileTimeEra1 - kSecond), 0xFFFFFFFFull << 32);
    // Timestamp 0 read in 1990 is 46 years ahead, the start of era 1; read in 1920 it is 1900.
    const uint64_t year = 365ull * 86400 * kSecond;
    EXPECT_EQ(FileTimeFromNtp(0, kFileTimeUnixEpoch + 20 * year), kFileTimeEra1);
    const uint64_t fileTime1900 = (kSecondsFrom1601To1970 - 2208988800ull) * kSecond;
    EXPECT_EQ(FileTimeFromNtp(0, fileTime1900 + 20 * year), fileTime1900);
    // Ten days before 1601, the nearest reading of these seconds to 1601 itself: no file time.
    EXPECT_EQ(FileTimeFromNtp(NtpTimestamp{0xCD8CBE80} << 32, 0), 0u);
    EXPECT_EQ(FileTimeFromNtp(NtpTimestamp{0xCD8CBE80 + 10 * 86400} << 32, 0), 0u);
    EXPECT_EQ(FileTimeFromNtp(NtpTimestamp{0xCD8CBE80 + 10 * 86400 + 1} << 32, 0), kSecond);
}

TEST(NtpDifference, is_signed_and_holds_across_the_era_change) {
    EXPECT_EQ(NtpDifference(kNtp1970 + kNtpSecond, kNtp1970), static_cast<int64_t>(kNtpSecond));
    EXPECT_EQ(NtpDifference(kNtp1970, kNtp1970 + kNtpSecond), -static_cast<int64_t>(kNtpSecond));
    // Half a second before the end of era 0 to half a second into era 1.
    EXPECT_EQ(NtpDifference(0x0000000080000000ull, 0xFFFFFFFF80000000ull),
              static_cast<int64_t>(kNtpSecond));
    EXPECT_EQ(NtpIntervalToFileTimeUnits(static_cast<int64_t>(kNtpSecond) * 3 / 2), 15000000);
    // Truncated toward zero on both sides: 1000 fraction units are 232.8 ns.
    EXPECT_EQ(NtpIntervalToFileTimeUnits(1000), 2);
    EXPECT_EQ(NtpIntervalToFileTimeUnits(-1000), -2);
    EXPECT_EQ(NtpIntervalToFileTimeUnits(INT64_MIN), -(int64_t{1} << 31) * 10000000);
}

TEST(NtpRequest, is_version_1_client_mode_with_t1_in_originate_and_transmit) {
    uint8_t request[kNtpPacketSize];
    std::memset(request, 0xAA, sizeof(request));
    BuildNtpRequest(0xE1E2E3E4F1F2F3F4ull, request);
    uint8_t expected[kNtpPacketSize] = {0x0B};
    const uint8_t t1[] = {0xE1, 0xE2, 0xE3, 0xE4, 0xF1, 0xF2, 0xF3, 0xF4};
    std::memcpy(expected + 24, t1, 8);
    std::memcpy(expected + 40, t1, 8);
    EXPECT_EQ(std::memcmp(request, expected, sizeof(expected)), 0);
}

TEST(NtpHeader, decodes_every_field_of_the_layout) {
    const uint8_t packet[kNtpPacketSize] = {
        0xE4, 15,   0x06, 0xEC,                         // leap 3, v4, server; poll 6, prec -20
        0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0x00, 0x20, // root delay 1.5 s, dispersion
        'G',  'P',  'S',  0,                            // reference identifier
        1,    2,    3,    4,    5,    6,    7,    8,    // reference time
        9,    10,   11,   12,   13,   14,   15,   16,   // originate
        17,   18,   19,   20,   21,   22,   23,   24,   // receive
        25,   26,   27,   28,   29,   30,   31,   32};  // transmit
    NtpHeader header;
    EXPECT_FALSE(ParseNtpHeader(packet, kNtpPacketSize - 1, &header));
    ASSERT_TRUE(ParseNtpHeader(packet, kNtpPacketSize, &header));
    EXPECT_EQ(header.leap, 3);
    EXPECT_EQ(header.version, 4);
    EXPECT_EQ(header.mode, 4);
    EXPECT_EQ(header.stratum, 15);
    EXPECT_EQ(header.poll, 6);
    EXPECT_EQ(header.precision, -20);
    EXPECT_EQ(header.rootDelay, 0x00018000u);
    EXPECT_EQ(header.rootDispersion, 0x20u);
    EXPECT_EQ(header.referenceId, 0x47505300u);
    EXPECT_EQ(header.referenceTime, 0x0102030405060708ull);
    EXPECT_EQ(header.originate, 0x090A0B0C0D0E0F10ull);
    EXPECT_EQ(header.receive, 0x1112131415161718ull);
    EXPECT_EQ(header.transmit, 0x191A1B1C1D1E1F20ull);
}

TEST(NtpReplyJudgement, accepts_a_server_reply_to_our_request_of_any_usable_length) {
    const NtpTimestamp t1 = kNtp1970 + 5;
    std::vector<uint8_t> reply = ServerReply(t1, t1 + 100, t1 + 200);
    EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kAccepted);
    reply.resize(kNtpReplyKeep + 52); // with extension fields and an authenticator
    EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kAccepted);
    for (const uint8_t flags : {0x24, 0x64, 0xA4}) { // leap 0, 1, 2 with version 4
        reply[0] = flags;
        EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kAccepted);
    }
    for (const uint8_t stratum : {1, 15}) {
        reply[1] = stratum;
        EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kAccepted);
    }
}

TEST(NtpReplyJudgement, skips_datagrams_that_cannot_be_the_answer_to_our_request) {
    const NtpTimestamp t1 = kNtp1970 + 5;
    std::vector<uint8_t> reply = ServerReply(t1, t1 + 100, t1 + 200);
    EXPECT_EQ(JudgeNtpReply(reply.data(), kNtpPacketSize - 1, t1), NtpReplyVerdict::kNotOurs);
    EXPECT_EQ(JudgeNtpReply(nullptr, 0, t1), NtpReplyVerdict::kNotOurs);
    EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1 + 1), NtpReplyVerdict::kNotOurs);
    // An unusable packet with a foreign originate is skipped too, not refused: it is not ours.
    reply[1] = 0;
    EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1 - 1), NtpReplyVerdict::kNotOurs);
}

TEST(NtpReplyJudgement, refuses_replies_from_a_source_whose_clock_is_not_set) {
    const NtpTimestamp t1 = kNtp1970 + 5;
    const std::vector<uint8_t> good = ServerReply(t1, t1 + 100, t1 + 200);
    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
    } const cases[] = {
        {"leap indicator 3", 0, 0xCC},   {"client mode", 0, 0x0B},
        {"broadcast mode", 0, 0x0D},     {"symmetric active mode", 0, 0x09},
        {"stratum 0 (kiss code)", 1, 0}, {"stratum 16", 1, 16},
        {"stratum 255", 1, 255},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> reply = good;
        reply[c.offset] = c.value;
        EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kRefused)
            << c.what;
    }
    std::vector<uint8_t> reply = good;
    StoreBe64(&reply[kNtpTransmitOffset], 0);
    EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kRefused);
    reply = good;
    StoreBe64(&reply[kNtpReceiveOffset], 0);
    EXPECT_EQ(JudgeNtpReply(reply.data(), reply.size(), t1), NtpReplyVerdict::kRefused);
}

TEST(NtpMeasurement, server_ahead_on_a_symmetric_path_gives_its_lead) {
    // Binary fractions keep the arithmetic exact: each leg takes 1/64 s (15.625 ms).
    const NtpTimestamp leg = kNtpSecond / 64;
    const NtpTimestamp lead = kNtpSecond * 5 / 2;
    const NtpTimestamp t1 = kNtp1970 + 1000 * kNtpSecond;
    const NtpMeasurement m = MeasureNtpExchange(t1, t1 + leg + lead, t1 + leg + lead, t1 + 2 * leg);
    EXPECT_EQ(m.offset, 25000000);
    EXPECT_EQ(m.delay, 312500);
    EXPECT_EQ(m.delayMs, 31);

    const NtpMeasurement behind =
        MeasureNtpExchange(t1 + lead, t1 + leg, t1 + leg, t1 + lead + 2 * leg);
    EXPECT_EQ(behind.offset, -25000000);
    EXPECT_EQ(behind.delayMs, 31);
}

TEST(NtpMeasurement, delay_leaves_out_the_time_the_server_held_the_request) {
    const NtpTimestamp leg = kNtpSecond / 64;
    const NtpTimestamp held = kNtpSecond / 2;
    const NtpTimestamp t1 = kNtp1970 + 1000 * kNtpSecond;
    const NtpMeasurement m = MeasureNtpExchange(t1, t1 + leg, t1 + leg + held, t1 + 2 * leg + held);
    EXPECT_EQ(m.offset, 0);
    EXPECT_EQ(m.delay, 312500);
    EXPECT_EQ(m.delayMs, 31);
}

TEST(NtpMeasurement, whole_milliseconds_truncate_and_one_is_reported_as_zero) {
    const NtpTimestamp t1 = kNtp1970 + 1000 * kNtpSecond;
    const auto delayMsOfRoundTrip = [t1](NtpTimestamp roundTrip) {
        return MeasureNtpExchange(t1, t1, t1, t1 + roundTrip).delayMs;
    };
    EXPECT_EQ(delayMsOfRoundTrip(kNtpSecond / 512), 0); // 1.95 ms
    EXPECT_EQ(delayMsOfRoundTrip(kNtpSecond / 256), 3); // 3.9 ms
    EXPECT_EQ(delayMsOfRoundTrip(kNtpSecond / 2048), 0);
    EXPECT_EQ(delayMsOfRoundTrip(kNtpSecond * 3), 3000);
}

TEST(NtpMeasurement, offset_truncates_toward_zero) {
    // 1289 fraction units are 300.1 ns: 3 file-time units on either side, not -4 below zero.
    const NtpTimestamp t1 = kNtp1970 + 1000 * kNtpSecond;
    EXPECT_EQ(MeasureNtpExchange(t1, t1 - 1289, t1 - 1289, t1).offset, -3);
    EXPECT_EQ(MeasureNtpExchange(t1, t1 + 1289, t1 + 1289, t1).offset, 3);
}

TEST(NtpMeasurement, holds_across_the_era_change) {
    // Sent a quarter second before era 1 began, answered just after, by a server 1 s ahead.
    const NtpTimestamp leg = kNtpSecond / 64;
    const NtpTimestamp t1 = 0xFFFFFFFF00000000ull + kNtpSecond * 3 / 4;
    const NtpTimestamp t2 = t1 + leg + kNtpSecond; // wraps into era 1
    const NtpMeasurement m = MeasureNtpExchange(t1, t2, t2, t1 + 2 * leg);
    EXPECT_EQ(m.offset, 10000000);
    EXPECT_EQ(m.delayMs, 31);
}

TEST(NtpMeasurement, absurd_server_times_give_a_zero_delay_not_a_negative_one) {
    const NtpTimestamp t1 = kNtp1970 + 1000 * kNtpSecond;
    // Held for a second of a 10 ms round trip.
    EXPECT_EQ(MeasureNtpExchange(t1, t1, t1 + kNtpSecond, t1 + kNtpSecond / 100).delayMs, 0);
    EXPECT_EQ(MeasureNtpExchange(t1, t1, t1 + kNtpSecond, t1 + kNtpSecond / 100).delay, 0);
    // Transmitted "before" it was received, and 68 years away: defined, and no overflow.
    const NtpMeasurement far =
        MeasureNtpExchange(t1, t1 + (0x7FFFFFFFull << 32), t1 - (0x7FFFFFFFull << 32), t1);
    EXPECT_GE(far.delay, 0);
    EXPECT_GE(far.delayMs, 0);
}

TEST(NtpReplyJudgement, random_datagrams_get_a_verdict_that_matches_their_fields) {
    const uint32_t seed = 20070418;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    uint32_t state = seed;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint8_t>(state >> 24);
    };
    const NtpTimestamp t1 = kNtp1970 + 77;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> datagram(next() % 80);
        for (uint8_t& byte : datagram) {
            byte = next();
        }
        // Half of them carry our originate, so the field checks behind it are reached.
        if (datagram.size() >= kNtpPacketSize && (round & 1)) {
            StoreBe64(&datagram[kNtpOriginateOffset], t1);
        }
        const NtpReplyVerdict verdict = JudgeNtpReply(datagram.data(), datagram.size(), t1);
        NtpHeader header;
        if (!ParseNtpHeader(datagram.data(), datagram.size(), &header) || header.originate != t1) {
            EXPECT_EQ(verdict, NtpReplyVerdict::kNotOurs);
            continue;
        }
        const bool usable = header.leap != 3 && header.mode == 4 && header.stratum >= 1 &&
                            header.stratum <= 15 && header.receive != 0 && header.transmit != 0;
        EXPECT_EQ(verdict, usable ? NtpReplyVerdict::kAccepted : NtpReplyVerdict::kRefused);
    }
}
