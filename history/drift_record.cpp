#include "history/drift_record.h"

#include <cstdio>
#include <cstring>

namespace {

// Offsets of the stored layout.
constexpr size_t kMarkerAt = 0;
constexpr size_t kFlagsAt = 1;
constexpr size_t kPhaseAdjustAt = 2;
constexpr size_t kReservedAt = 5;
constexpr size_t kReasonAt = 7;
constexpr size_t kCheckTimeAt = 8;
constexpr size_t kVarianceAt = 12;
constexpr size_t kSourceAt = 16;
static_assert(kSourceAt + 4 == kDriftRecordSize, "the fields fill the record exactly");

uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void StoreLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// Sign extension of the low 24 bits, without shifting a negative number.
int32_t SignExtend24(uint32_t value) {
    value &= 0xFFFFFFu;
    return (value & 0x800000u) != 0 ? static_cast<int32_t>(value | 0xFF000000u)
                                    : static_cast<int32_t>(value);
}

constexpr size_t kPhaseTextSize = 16;

// Strict dotted quad: four decimal numbers 0..255 of one to three digits, nothing around them.
bool ParseDottedQuad(const char* text, uint8_t bytes[4]) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*text != '.') {
                return false;
            }
            ++text;
        }
        unsigned value = 0;
        int digits = 0;
        while (*text >= '0' && *text <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(*text - '0');
            ++digits;
            ++text;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        bytes[part] = static_cast<uint8_t>(value);
    }
    return *text == '\0';
}

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

} // namespace

void DecodeDriftRecord(const uint8_t bytes[kDriftRecordSize], DriftRecord* record) {
    record->marker = bytes[kMarkerAt];
    record->flags = bytes[kFlagsAt];
    // The three bytes after the flags, read as the word at offset 1 shifted right by 8.
    record->phaseAdjust = SignExtend24(LoadLe32(bytes + kFlagsAt) >> 8);
    record->reserved = LoadLe16(bytes + kReservedAt);
    record->reason = bytes[kReasonAt];
    record->checkTime = LoadLe32(bytes + kCheckTimeAt);
    record->varianceMs = static_cast<int32_t>(LoadLe32(bytes + kVarianceAt));
    // Network byte order: the bytes as they lie, first number first.
    std::memcpy(&record->sourceAddress, bytes + kSourceAt, 4);
}

void EncodeDriftRecord(const DriftRecord& record, uint8_t bytes[kDriftRecordSize]) {
    bytes[kMarkerAt] = record.marker;
    bytes[kFlagsAt] = record.flags;
    const uint32_t phase = static_cast<uint32_t>(record.phaseAdjust);
    bytes[kPhaseAdjustAt] = static_cast<uint8_t>(phase);
    bytes[kPhaseAdjustAt + 1] = static_cast<uint8_t>(phase >> 8);
    bytes[kPhaseAdjustAt + 2] = static_cast<uint8_t>(phase >> 16);
    StoreLe16(bytes + kReservedAt, record.reserved);
    bytes[kReasonAt] = record.reason;
    StoreLe32(bytes + kCheckTimeAt, record.checkTime);
    StoreLe32(bytes + kVarianceAt, static_cast<uint32_t>(record.varianceMs));
    std::memcpy(bytes + kSourceAt, &record.sourceAddress, 4);
}

DriftRecord MakeDriftRecord(int64_t varianceMs, uint32_t checkTime, uint32_t corrected,
                            CheckReason reason, uint32_t sourceAddress, uint8_t role,
                            int64_t phaseAdjust) {
    DriftRecord record{};
    record.marker = kDriftMarkerCurrent;
    record.flags = static_cast<uint8_t>(((role & 0x7Fu) << 1) | (corrected & 1u));
    record.phaseAdjust = SignExtend24(static_cast<uint32_t>(static_cast<uint64_t>(phaseAdjust)));
    record.reason = reason;
    record.checkTime = checkTime;
    record.varianceMs =
        static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(varianceMs)));
    record.sourceAddress = sourceAddress;
    return record;
}

bool IsValidDriftRecord(const DriftRecord& record) {
    const bool knownMarker = record.marker == 0 || (record.marker >= kDriftMarkerOldest &&
                                                    record.marker <= kDriftMarkerCurrent);
    return knownMarker && record.checkTime >= kDriftEarliestCheckTime &&
           record.checkTime <= kDriftLatestCheckTime;
}

const char* CheckReasonName(uint8_t reason) {
    switch (reason) {
    case kReasonScheduled:
        return "Scheduled";
    case kReasonControlPanel:
        return "Control Panel";
    case kReasonTriggered:
        return "Triggered";
    case kReasonQx2Broadcast:
        return "QX2 BCast";
    case kReasonNtpBroadcast:
        return "NTP BCast";
    case kReasonSyncCheck:
        return "Sync Check";
    case kReasonTraining:
        return "Training";
    case kReasonQx2Multicast:
        return "QX2 MCast";
    case kReasonNtpMulticast:
        return "NTP MCast";
    case kReasonClockChange:
        return "Clock change";
    case kReasonPowerResume:
        return "Power resume";
    case kReasonStartup:
        return "Startup";
    default:
        return "Unknown";
    }
}

const char* RoleName(uint8_t role) {
    switch (role) {
    case kRoleMasterServer:
        return "Master Server";
    case kRoleSlaveServer:
        return "Slave Server";
    case kRoleIndependentServer:
        return "Indp. Server";
    case kRoleFullClient:
        return "Full Client";
    case kRoleThinClient:
        return "Thin Client";
    case kRoleUltraThin:
        return "Ultra Thin";
    case kRoleHorologix:
        return "Horologix";
    case kRoleNtpServer:
        return "NTP Server";
    default:
        return "Unknown";
    }
}

const char* PhaseAdjustText(const DriftRecord& record) {
    static char text[kPhaseTextSize];
    text[0] = '\0';
    if (record.marker >= kDriftMarkerCurrent) {
        std::snprintf(text, sizeof(text), "%s%d", record.phaseAdjust > 0 ? "+" : "",
                      static_cast<int>(record.phaseAdjust));
    }
    return text;
}

bool SourceAddressFromText(const char* source, uint32_t* address) {
    if (source == nullptr) {
        return false;
    }
    uint8_t bytes[4];
    if (ParseDottedQuad(source, bytes)) {
        std::memcpy(address, bytes, 4);
        return true;
    }
    if (EqualsIgnoringCase(source, "Averaged Time")) {
        *address = 0;
        return true;
    }
    return false;
}
