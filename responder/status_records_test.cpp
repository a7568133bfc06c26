#include "responder/status_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The bytes of a little-endian integer of width bytes at an offset.
uint64_t At(const uint8_t* bytes, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

std::string TextAt(const uint8_t* bytes, size_t offset, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes + offset), size);
}

std::string Padded(const char* text, size_t size) {
    std::string padded(text);
    padded.resize(size, '\0');
    return padded;
}

bool AllZero(const uint8_t* bytes, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

AgentStatus BusyStatus() {
    AgentStatus s;
    InitAgentStatus(&s, kAgentRole, 1700000000, "Greenwich Standard Time");
    s.snapshotTime = 1700000100;
    s.lastSyncTime = 1700000050;
    s.lastOffsetMs = -1500;
    s.offsetSumMs = -0x123456789LL;
    s.statusFlags = kStatusPending;
    s.timeServiceType = 4;
    SetPartnerName(&s, "ntp.example.test");
    s.protocol = kProtocolNtp;
    s.lastReplyTime[0] = 1700000099;
    s.repliesSent[0] = 0x0102030405060708ull;
    s.receiveErrors[0] = 3;
    s.bytesReceived = 1234;
    s.bytesSent = 56789;
    s.syncSuccesses = 10;
    s.syncEvents = 12;
    s.syncFailures = 2;
    return s;
}

} // namespace

TEST(AgentStatusBlock, every_field_sits_at_its_offset_little_endian) {
    uint8_t b[kAgentStatusBlockSize];
    EncodeAgentStatusBlock(BusyStatus(), b);
    EXPECT_EQ(At(b, 0, 4), 7u);
    EXPECT_EQ(At(b, 4, 4), 1700000100u);
    EXPECT_EQ(At(b, 8, 4), 1700000000u);
    EXPECT_EQ(At(b, 12, 4), 1700000050u);
    EXPECT_EQ(At(b, 16, 4), 1700000000u);
    EXPECT_EQ(At(b, 20, 4), 0u);
    EXPECT_EQ(static_cast<int64_t>(At(b, 24, 8)), -1500);
    EXPECT_EQ(static_cast<int64_t>(At(b, 32, 8)), -0x123456789LL);
    EXPECT_EQ(TextAt(b, 40, 32), Padded("Greenwich Standard Time", 32));
    EXPECT_EQ(TextAt(b, 72, 20), Padded("4.1.b.20070418R", 20));
    EXPECT_EQ(b[92], 2);
    EXPECT_EQ(b[93], 4);
    EXPECT_TRUE(AllZero(b, 94, 104));
    EXPECT_EQ(TextAt(b, 104, 63), Padded("ntp.example.test", 63));
    EXPECT_EQ(b[167], 1);
    EXPECT_TRUE(AllZero(b, 168, 175));
    EXPECT_EQ(At(b, 175, 4), 1700000099u);
    EXPECT_TRUE(AllZero(b, 179, 203));
    EXPECT_EQ(At(b, 203, 8), 0x0102030405060708ull);
    EXPECT_EQ(b[203], 0x08);
    EXPECT_TRUE(AllZero(b, 211, 259));
    EXPECT_EQ(At(b, 259, 8), 3u);
    EXPECT_TRUE(AllZero(b, 267, 315));
    EXPECT_EQ(At(b, 315, 8), 1234u);
    EXPECT_EQ(At(b, 323, 8), 56789u);
    EXPECT_EQ(At(b, 331, 8), 10u);
    EXPECT_EQ(At(b, 339, 8), 12u);
    EXPECT_EQ(At(b, 347, 8), 2u);
}

TEST(AgentStatusBlock, decodes_what_it_encodes_and_ignores_reserved_bytes) {
    uint8_t b[kAgentStatusBlockSize];
    EncodeAgentStatusBlock(BusyStatus(), b);
    b[20] = 0xEE;
    b[100] = 0xEE;
    b[170] = 0xEE;
    AgentStatus back;
    DecodeAgentStatusBlock(b, &back);
    uint8_t again[kAgentStatusBlockSize];
    EncodeAgentStatusBlock(back, again);
    b[20] = b[100] = b[170] = 0;
    EXPECT_EQ(std::memcmp(b, again, sizeof(b)), 0);
    EXPECT_STREQ(back.partnerName, "ntp.example.test");
}

TEST(AgentStatusBlock, fresh_block_names_no_partner_and_is_reset_at_start) {
    AgentStatus s;
    InitAgentStatus(&s, kAgentRole, 1234, "Eastern Standard Time");
    uint8_t b[kAgentStatusBlockSize];
    EncodeAgentStatusBlock(s, b);
    EXPECT_EQ(At(b, 0, 4), 7u);
    EXPECT_EQ(At(b, 8, 4), 1234u);
    EXPECT_EQ(At(b, 16, 4), 1234u);
    EXPECT_EQ(TextAt(b, 104, 21), Padded("(none since startup)", 21));
    EXPECT_EQ(b[167], 0); // the thread start sets 254
}

TEST(AgentStatusBlock, texts_too_long_for_their_fields_are_cut_and_terminated) {
    AgentStatus s;
    InitAgentStatus(&s, kAgentRole, 0, std::string(40, 'z').c_str());
    SetPartnerName(&s, std::string(100, 'p').c_str());
    EXPECT_EQ(std::strlen(s.partnerName), 62u);
    EXPECT_EQ(std::strlen(s.timeZoneName), 31u);
    uint8_t b[kAgentStatusBlockSize];
    EncodeAgentStatusBlock(s, b);
    EXPECT_EQ(b[40 + 31], 0);
    EXPECT_EQ(b[104 + 61], 'p');
    EXPECT_EQ(b[104 + 62], 0);

    // A peer's block whose fields are full to the last byte still decodes terminated.
    std::memset(b + 104, 'q', 63);
    std::memset(b + 40, 'r', 32);
    AgentStatus decoded;
    DecodeAgentStatusBlock(b, &decoded);
    EXPECT_EQ(std::strlen(decoded.partnerName), 63u);
    EXPECT_EQ(std::strlen(decoded.timeZoneName), 32u);
}

TEST(AgentStatusBlock, reset_zeroes_counters_but_keeps_the_last_offset_and_the_partner) {
    AgentStatus s = BusyStatus();
    ResetStatistics(&s, 1800000000);
    EXPECT_EQ(s.statisticsResetTime, 1800000000u);
    EXPECT_EQ(s.lastOffsetMs, -1500);
    EXPECT_STREQ(s.partnerName, "ntp.example.test");
    EXPECT_EQ(s.lastSyncTime, 1700000050u);
    EXPECT_EQ(s.protocol, kProtocolNtp);
    EXPECT_EQ(s.offsetSumMs, 0);
    EXPECT_EQ(s.repliesSent[0], 0u);
    EXPECT_EQ(s.receiveErrors[0], 0u);
    EXPECT_EQ(s.lastReplyTime[0], 0u);
    EXPECT_EQ(s.bytesReceived + s.bytesSent, 0u);
    EXPECT_EQ(s.syncEvents + s.syncSuccesses + s.syncFailures, 0u);
}

TEST(VersionRecord, holds_the_constants_the_install_time_and_the_computer_name) {
    uint8_t b[kVersionRecordSize];
    EncodeVersionRecord(MakeVersionRecord(kAgentRole, 1176854400, true, "WORKSTATION-0042X"), b);
    EXPECT_EQ(At(b, 0, 4), 1176854400u);
    EXPECT_EQ(At(b, 4, 4), 7u);
    EXPECT_EQ(At(b, 8, 2), 4u);
    EXPECT_EQ(At(b, 10, 2), 1u);
    EXPECT_EQ(At(b, 12, 2), 2007u);
    EXPECT_EQ(At(b, 14, 2), 418u);
    EXPECT_EQ(At(b, 16, 4), 1u);
    EXPECT_EQ(At(b, 20, 4), 1u);
    EXPECT_EQ(TextAt(b, 24, 16), Padded("4.1.b.20070418R", 16));
    EXPECT_TRUE(AllZero(b, 40, 48));
    // NetBIOS names have at most 15 characters.
    EXPECT_EQ(TextAt(b, 48, 16), Padded("WORKSTATION-004", 16));

    VersionRecord back;
    DecodeVersionRecord(b, &back);
    EXPECT_EQ(back.buildMonthDay, 418);
    EXPECT_STREQ(back.computerName, "WORKSTATION-004");
    EXPECT_STREQ(back.versionText, "4.1.b.20070418R");
}

TEST(StatusRecordFlags, xp_sets_role_version_nt_release_constant_and_zone_state) {
    SystemIdentity xp{};
    xp.isNT = true;
    xp.os = kOsWinXP;
    const uint32_t daylight = StatusFlagsWord(kAgentRole, 1, xp, 1);
    EXPECT_EQ(daylight & 0xF, 7u);
    EXPECT_EQ(daylight, 7u | 1u << 4 | 1u << 5 | 1u << 19 | 1u << 25 | 1u << 30);
    EXPECT_EQ(StatusFlagsWord(kAgentRole, 1, xp, 2) >> 30, 2u);
    EXPECT_EQ(StatusFlagsWord(kAgentRole, 1, xp, 0) >> 30, 0u);
}

TEST(StatusRecordFlags, each_release_has_its_own_bit_only_on_the_nt_family) {
    const struct {
        OsFamily os;
        uint32_t bit;
    } kReleases[] = {{kOsNT31, 16},    {kOsNT351, 16}, {kOsNT40, 17},    {kOsWin2000, 18},
                     {kOsWin2003, 20}, {kOsVista, 26}, {kOsLonghorn, 27}};
    const uint32_t base = 7u | 1u << 4 | 1u << 5 | 1u << 25;
    for (const auto& release : kReleases) {
        SystemIdentity nt{};
        nt.isNT = true;
        nt.os = release.os;
        EXPECT_EQ(StatusFlagsWord(kAgentRole, 1, nt, 0), base | 1u << release.bit) << release.os;
    }
    SystemIdentity me{};
    me.isWin9x = true;
    me.os = kOsWinMe;
    EXPECT_EQ(StatusFlagsWord(kAgentRole, 1, me, 0), 7u | 1u << 4 | 1u << 14 | 1u << 25);
}

TEST(InstalledProducts, the_word_starts_at_0x8000_and_the_client_takes_one_variant) {
    InstalledProducts none{};
    EXPECT_EQ(InstalledProductsWord(none), 0x8000);
    InstalledProducts agent{};
    agent.agent = true;
    EXPECT_EQ(InstalledProductsWord(agent), 0x8200);
    InstalledProducts all{true, true, true, true, true, true, true, false, false, false};
    EXPECT_EQ(InstalledProductsWord(all), 0x8000 | 0x01 | 0x08 | 0x10 | 0x20 | 0x40 | 0x80 | 0x200);

    InstalledProducts client{};
    client.client = true;
    EXPECT_EQ(InstalledProductsWord(client), 0x8002);
    client.ultraThinClient = true;
    EXPECT_EQ(InstalledProductsWord(client), 0x8100);
    client.thinClient = true; // thin wins over ultra-thin
    EXPECT_EQ(InstalledProductsWord(client), 0x8004);
    // The client's variant flags mean nothing without the client.
    InstalledProducts stray{};
    stray.thinClient = true;
    EXPECT_EQ(InstalledProductsWord(stray), 0x8000);
}

TEST(StatusRecord, every_field_sits_at_its_offset_little_endian) {
    StatusRecord r{};
    r.installationId = 0xA1B2C3D4;
    r.flags = 0x42080037;
    r.protocol = 254;
    r.marker = kStatusRecordMarker;
    r.localTime = {2024, 7, 3, 17, 14, 5, 9, 321};
    r.utcTime = {2024, 7, 3, 17, 12, 5, 9, 321};
    r.lastOffsetMs = -7;
    r.syncSuccesses = 5;
    r.syncEvents = 6;
    r.syncFailures = 1;
    r.installTime = 1600000000;
    r.now = 1721218000;
    r.lastSyncTime = 1721217000;
    r.agentStartTime = 1721210000;
    std::strcpy(r.timeZoneName, "W. Europe Daylight Time");
    std::strcpy(r.versionText, kAgentVersionText);
    std::strcpy(r.partnerName, "127.0.0.1");
    std::strcpy(r.computerName, "VM");
    r.products = 0x8200;
    uint8_t b[kStatusRecordSize];
    std::memset(b, 0xCC, sizeof(b));
    EncodeStatusRecord(r, b);

    EXPECT_EQ(At(b, 0, 4), 0xA1B2C3D4u);
    EXPECT_EQ(b[0], 0xD4);
    EXPECT_EQ(At(b, 4, 4), 0x42080037u);
    EXPECT_EQ(At(b, 8, 4), 0u);
    EXPECT_EQ(b[12], 254);
    EXPECT_EQ(b[13], 0x24);
    const uint16_t local[8] = {2024, 7, 3, 17, 14, 5, 9, 321};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(At(b, 14 + 2 * i, 2), local[i]) << i;
    }
    EXPECT_EQ(At(b, 30 + 8, 2), 12u); // UTC hour
    EXPECT_EQ(static_cast<int64_t>(At(b, 46, 8)), -7);
    EXPECT_EQ(At(b, 54, 8), 5u);
    EXPECT_EQ(At(b, 62, 8), 6u);
    EXPECT_EQ(At(b, 70, 8), 1u);
    EXPECT_EQ(At(b, 78, 4), 1600000000u);
    EXPECT_EQ(At(b, 82, 4), 1721218000u);
    EXPECT_EQ(At(b, 86, 4), 1721217000u);
    EXPECT_EQ(At(b, 90, 4), 1721210000u);
    EXPECT_EQ(TextAt(b, 94, 32), Padded("W. Europe Daylight Time", 32));
    EXPECT_EQ(TextAt(b, 126, 32), Padded("4.1.b.20070418R", 32));
    EXPECT_EQ(TextAt(b, 158, 64), Padded("127.0.0.1", 64));
    EXPECT_EQ(TextAt(b, 222, 36), Padded("VM", 36));
    EXPECT_TRUE(AllZero(b, 258, 300));
    EXPECT_EQ(At(b, 300, 2), 0x8200u);

    StatusRecord back;
    DecodeStatusRecord(b, &back);
    uint8_t again[kStatusRecordSize];
    EncodeStatusRecord(back, again);
    EXPECT_EQ(std::memcmp(b, again, sizeof(b)), 0);
}
