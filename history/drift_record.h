// One clock check in the history file drift.qx: the 20-byte record, its coded fields and texts.
#pragma once

#include <cstddef>
#include <cstdint>

// Stored size of one record; the file is a plain sequence of them, oldest first, no header.
constexpr size_t kDriftRecordSize = 20;

// Format marks: writers store the current one; readers accept 0 and the range up to it. Only
// records marked kDriftMarkerCurrent or higher carry a phase adjustment.
constexpr uint8_t kDriftMarkerCurrent = 41;
constexpr uint8_t kDriftMarkerOldest = 31;

// Check times a reader accepts, in seconds since 1970 UTC, both inclusive: 26 December 1994 and
// 16 December 2035, 00:00 UTC. Anything outside marks a file that is not a history file.
constexpr uint32_t kDriftEarliestCheckTime = 788400000;
constexpr uint32_t kDriftLatestCheckTime = 2081376000;

// Why a check ran.
enum CheckReason : uint8_t {
    kReasonScheduled = 1, // after a synchronization by the Windows Time service
    kReasonControlPanel = 2,
    kReasonTriggered = 3, // after the synchronization that follows a time jump
    kReasonQx2Broadcast = 4,
    kReasonNtpBroadcast = 5,
    kReasonSyncCheck = 6, // on the agent's own schedule
    kReasonTraining = 7,
    kReasonQx2Multicast = 8,
    kReasonNtpMulticast = 9,
    kReasonClockChange = 253,
    kReasonPowerResume = 254,
    kReasonStartup = 255,
};

// Which program of the family wrote a record (7 bits).
enum ProductRole : uint8_t {
    kRoleMasterServer = 1,
    kRoleSlaveServer = 2,
    kRoleIndependentServer = 3,
    kRoleFullClient = 4,
    kRoleThinClient = 5,
    kRoleUltraThin = 6,
    kRoleHorologix = 7, // this agent
    kRoleNtpServer = 8,
};

// A record's fields as stored. Stored layout, little-endian, no padding:
//   0 marker, 1 flags (bit 0 corrected, bits 1-7 role), 2..4 phaseAdjust (signed 24-bit),
//   5..6 reserved, 7 reason, 8..11 checkTime, 12..15 varianceMs, 16..19 sourceAddress.
// DecodeDriftRecord and EncodeDriftRecord convert between the two without losing a bit.
struct DriftRecord {
    uint8_t marker;
    uint8_t flags;
    int32_t phaseAdjust; // adjustment minus increment per clock tick, 100 ns units, 24-bit range
    uint16_t reserved;
    uint8_t reason;         // CheckReason, any value
    uint32_t checkTime;     // seconds since 1970 UTC
    int32_t varianceMs;     // reference minus local clock; positive: the local clock was slow
    uint32_t sourceAddress; // IPv4 in network byte order; 0 "Averaged Time", ~0 unresolvable
};

void DecodeDriftRecord(const uint8_t bytes[kDriftRecordSize], DriftRecord* record);
void EncodeDriftRecord(const DriftRecord& record, uint8_t bytes[kDriftRecordSize]);

// The record the agent writes: marker 41, flags from role (low 7 bits) and corrected (bit 0),
// the given phase adjustment (low 24 bits kept) and the low 32 bits of varianceMs.
DriftRecord MakeDriftRecord(int64_t varianceMs, uint32_t checkTime, uint32_t corrected,
                            CheckReason reason, uint32_t sourceAddress, uint8_t role,
                            int64_t phaseAdjust);

// Whether the check followed a synchronization by the Windows Time service.
inline bool IsCorrected(const DriftRecord& record) {
    return (record.flags & 1) != 0;
}
// ProductRole of the writer.
inline uint8_t RecordRole(const DriftRecord& record) {
    return record.flags >> 1;
}

// Whether a reader accepts the record: marker 0 or 31..41, check time inside the window above.
bool IsValidDriftRecord(const DriftRecord& record);

// "Scheduled", "Startup", ... or "Unknown" for an unlisted value.
const char* CheckReasonName(uint8_t reason);
// "Horologix", "Indp. Server", ... or "Unknown" for an unlisted value.
const char* RoleName(uint8_t role);

// The phase adjustment for reports: "" below marker 41, otherwise the signed value with "+" in
// front of positive ones ("+12", "0", "-7"). The text lives in a static area that the next call
// overwrites.
const char* PhaseAdjustText(const DriftRecord& record);

// The source address stored for a source text: its value when the text is a dotted IPv4 address
// ("10.0.0.1"), 0 for "Averaged Time" in any letter case; false for anything else, which the
// writer then resolves as a host name.
bool SourceAddressFromText(const char* source, uint32_t* address);
