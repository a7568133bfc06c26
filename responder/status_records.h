// The records the agent answers management requests with: its running status block (355 bytes),
// the status record (302 bytes) and the version record (64 bytes), as fields and as the exact
// little-endian bytes that the family's tools read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/system_identity.h"

constexpr size_t kAgentStatusBlockSize = 355;
constexpr size_t kStatusRecordSize = 302;
constexpr size_t kVersionRecordSize = 64;
constexpr size_t kCalendarRecordSize = 16;

constexpr uint32_t kAgentRole = 7;
constexpr char kAgentVersionText[] = "4.1.b.20070418R";
constexpr char kNoPartnerYet[] = "(none since startup)";

// TimeProtocol codes the block carries: none yet, then NTP/SNTP.
constexpr uint8_t kProtocolNone = 254;
constexpr uint8_t kProtocolNtp = 1;
// Bit of statusFlags: waiting for the Windows Time service's first verdict.
constexpr uint8_t kStatusPending = 2;

// Text fields: the sizes on the wire; the in-memory arrays have one byte more so that a field
// decoded from a peer is terminated even when the peer filled it completely.
constexpr size_t kZoneNameField = 32;
constexpr size_t kBlockVersionField = 20;
constexpr size_t kBlockPartnerField = 63;
constexpr size_t kRecordVersionField = 32;
constexpr size_t kRecordPartnerField = 64;
constexpr size_t kRecordComputerField = 36;
constexpr size_t kVersionTextField = 16;
constexpr size_t kComputerNameField = 16;

constexpr size_t kCounterSlots = 7;

// The agent's running status, kept in memory all the time. Times are seconds since 1970 UTC,
// offsets signed milliseconds (positive when the local clock was behind its source).
struct AgentStatus {
    uint32_t role;
    uint32_t snapshotTime; // when the block was last sent; 0 after the agent thread ended
    uint32_t statisticsResetTime;
    uint32_t lastSyncTime;   // the Windows Time service's time at the last synchronization seen
    uint32_t agentStartTime; // 0 after the agent thread ended
    int64_t lastOffsetMs;
    int64_t offsetSumMs; // since the last reset
    char timeZoneName[kZoneNameField + 1];
    char versionText[kBlockVersionField + 1];
    uint8_t statusFlags;     // kStatusPending
    uint8_t timeServiceType; // the Windows Time service's "Type" code
    char partnerName[kBlockPartnerField + 1];
    uint8_t protocol;
    uint32_t lastReplyTime[kCounterSlots]; // [0]: last management reply sent
    uint64_t repliesSent[kCounterSlots];   // [0]: management replies sent
    uint64_t receiveErrors[kCounterSlots]; // [0]: failed receives on the management socket
    uint64_t bytesReceived;
    uint64_t bytesSent;
    uint64_t syncSuccesses;
    uint64_t syncEvents; // successes and failures
    uint64_t syncFailures;
};

// A fresh block: the role, the version text, no partner yet, the zone name, started and reset
// now (seconds since 1970).
void InitAgentStatus(AgentStatus* status, uint32_t role, uint32_t now, const char* zoneName);
// Zeroes the reply, receive and synchronization counters and the offset sum; keeps the last
// offset, the last sync time, the partner and the protocol; the reset time becomes now.
void ResetStatistics(AgentStatus* status, uint32_t now);
// The partner name as the block holds it: at most 62 characters.
void SetPartnerName(AgentStatus* status, const char* name);

void EncodeAgentStatusBlock(const AgentStatus& status, uint8_t out[kAgentStatusBlockSize]);
// Reserved bytes are ignored; texts are cut at their field and terminated.
void DecodeAgentStatusBlock(const uint8_t bytes[kAgentStatusBlockSize], AgentStatus* status);

// The Windows calendar record: eight 16-bit words.
struct CalendarRecord {
    uint16_t year;
    uint16_t month;     // 1..12
    uint16_t dayOfWeek; // 0 = Sunday
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};
void EncodeCalendarRecord(const CalendarRecord& time, uint8_t out[kCalendarRecordSize]);
void DecodeCalendarRecord(const uint8_t bytes[kCalendarRecordSize], CalendarRecord* time);

struct VersionRecord {
    uint32_t installTime; // seconds since 1970
    uint32_t role;
    uint16_t major;
    uint16_t minor;
    uint16_t buildYear;
    uint16_t buildMonthDay; // month x 100 + day
    uint32_t flags;         // bit 0 set
    uint32_t isNT;
    char versionText[kVersionTextField + 1];
    char computerName[kComputerNameField + 1];
};
// The agent's version record: 4.1, built 2007-04-18, its version text.
VersionRecord MakeVersionRecord(uint32_t role, uint32_t installTime, bool isNT,
                                const char* computerName);
void EncodeVersionRecord(const VersionRecord& record, uint8_t out[kVersionRecordSize]);
void DecodeVersionRecord(const uint8_t bytes[kVersionRecordSize], VersionRecord* record);

// Bits of the status record's flags word.
constexpr uint32_t kFlagVersionBit = 1u << 4;
constexpr uint32_t kFlagNT = 1u << 5;
constexpr uint32_t kFlagWin9x = 1u << 14;
constexpr uint32_t kFlagAlways = 1u << 25;
constexpr int kFlagZoneShift = 30;

// The flags word: role in bits 0-3, bit 0 of the version record's flags in bit 4, the platform
// and the Windows release (bits 5, 14, 16-20, 26, 27), bit 25, and the zone state (0 none,
// 1 daylight, 2 standard) in bits 30-31.
uint32_t StatusFlagsWord(uint32_t role, uint32_t versionFlags, const SystemIdentity& identity,
                         uint32_t zoneState);

// Which family products the registry says are installed ("Service Installed" of each key).
struct InstalledProducts {
    bool server;
    bool set;
    bool manager;
    bool monitor;
    bool updateServer;
    bool auditServer;
    bool agent;
    bool client;
    bool thinClient;      // the client's "Thin Client"
    bool ultraThinClient; // the client's "Ultra Thin Client"
};
// 0x8000 with one bit per installed product.
uint16_t InstalledProductsWord(const InstalledProducts& products);

struct StatusRecord {
    uint32_t installationId;
    uint32_t flags;
    uint8_t protocol;
    uint8_t marker; // 0x24
    CalendarRecord localTime;
    CalendarRecord utcTime;
    int64_t lastOffsetMs;
    uint64_t syncSuccesses;
    uint64_t syncEvents;
    uint64_t syncFailures;
    uint32_t installTime;
    uint32_t now;
    uint32_t lastSyncTime;
    uint32_t agentStartTime;
    char timeZoneName[kZoneNameField + 1];
    char versionText[kRecordVersionField + 1];
    char partnerName[kRecordPartnerField + 1];
    char computerName[kRecordComputerField + 1];
    uint16_t products;
};
constexpr uint8_t kStatusRecordMarker = 0x24;

void EncodeStatusRecord(const StatusRecord& record, uint8_t out[kStatusRecordSize]);
void DecodeStatusRecord(const uint8_t bytes[kStatusRecordSize], StatusRecord* record);
