#include "responder/status_records.h"

#include <cstring>

#include "responder/byte_order.h"

namespace {

// AgentStatusBlock offsets.
namespace block {
constexpr size_t kRole = 0;
constexpr size_t kSnapshotTime = 4;
constexpr size_t kStatisticsResetTime = 8;
constexpr size_t kLastSyncTime = 12;
constexpr size_t kAgentStartTime = 16;
constexpr size_t kLastOffset = 24;
constexpr size_t kOffsetSum = 32;
constexpr size_t kZoneName = 40;
constexpr size_t kVersionText = 72;
constexpr size_t kStatusFlags = 92;
constexpr size_t kTimeServiceType = 93;
constexpr size_t kPartnerName = 104;
constexpr size_t kProtocol = 167;
constexpr size_t kLastReplyTime = 175;
constexpr size_t kRepliesSent = 203;
constexpr size_t kReceiveErrors = 259;
constexpr size_t kBytesReceived = 315;
constexpr size_t kBytesSent = 323;
constexpr size_t kSyncSuccesses = 331;
constexpr size_t kSyncEvents = 339;
constexpr size_t kSyncFailures = 347;
static_assert(kZoneName + kZoneNameField == kVersionText, "layout");
static_assert(kVersionText + kBlockVersionField == kStatusFlags, "layout");
static_assert(kPartnerName + kBlockPartnerField == kProtocol, "layout");
static_assert(kLastReplyTime + 4 * kCounterSlots == kRepliesSent, "layout");
static_assert(kRepliesSent + 8 * kCounterSlots == kReceiveErrors, "layout");
static_assert(kReceiveErrors + 8 * kCounterSlots == kBytesReceived, "layout");
static_assert(kSyncFailures + 8 == kAgentStatusBlockSize, "layout");
} // namespace block

// VersionRecord offsets.
namespace version {
constexpr size_t kInstallTime = 0;
constexpr size_t kRole = 4;
constexpr size_t kMajor = 8;
constexpr size_t kMinor = 10;
constexpr size_t kBuildYear = 12;
constexpr size_t kBuildMonthDay = 14;
constexpr size_t kFlags = 16;
constexpr size_t kIsNT = 20;
constexpr size_t kVersionText = 24;
constexpr size_t kComputerName = 48;
static_assert(kVersionText + kVersionTextField + 8 == kComputerName, "layout");
static_assert(kComputerName + kComputerNameField == kVersionRecordSize, "layout");
} // namespace version

// StatusRecord offsets.
namespace record {
constexpr size_t kInstallationId = 0;
constexpr size_t kFlags = 4;
constexpr size_t kProtocol = 12;
constexpr size_t kMarker = 13;
constexpr size_t kLocalTime = 14;
constexpr size_t kUtcTime = 30;
constexpr size_t kLastOffset = 46;
constexpr size_t kSyncSuccesses = 54;
constexpr size_t kSyncEvents = 62;
constexpr size_t kSyncFailures = 70;
constexpr size_t kInstallTime = 78;
constexpr size_t kNow = 82;
constexpr size_t kLastSyncTime = 86;
constexpr size_t kAgentStartTime = 90;
constexpr size_t kZoneName = 94;
constexpr size_t kVersionText = 126;
constexpr size_t kPartnerName = 158;
constexpr size_t kComputerName = 222;
constexpr size_t kProducts = 300;
static_assert(kUtcTime + kCalendarRecordSize == kLastOffset, "layout");
static_assert(kZoneName + kZoneNameField == kVersionText, "layout");
static_assert(kVersionText + kRecordVersionField == kPartnerName, "layout");
static_assert(kPartnerName + kRecordPartnerField == kComputerName, "layout");
static_assert(kComputerName + kRecordComputerField + 42 == kProducts, "layout");
static_assert(kProducts + 2 == kStatusRecordSize, "layout");
} // namespace record

template <size_t N> void CopyText(char (&to)[N], const char* from, size_t limit) {
    size_t length = 0;
    while (from != nullptr && length < limit && length + 1 < N && from[length] != '\0') {
        ++length;
    }
    std::memcpy(to, from, length);
    std::memset(to + length, 0, N - length);
}

} // namespace

void InitAgentStatus(AgentStatus* status, uint32_t role, uint32_t now, const char* zoneName) {
    *status = AgentStatus{};
    status->agentStartTime = now;
    status->role = role;
    CopyText(status->versionText, kAgentVersionText, kBlockVersionField - 1);
    SetPartnerName(status, kNoPartnerYet);
    CopyText(status->timeZoneName, zoneName, kZoneNameField - 1);
    ResetStatistics(status, now);
}

void ResetStatistics(AgentStatus* status, uint32_t now) {
    for (size_t i = 0; i < kCounterSlots; ++i) {
        status->lastReplyTime[i] = 0;
        status->repliesSent[i] = 0;
        status->receiveErrors[i] = 0;
    }
    status->bytesReceived = 0;
    status->bytesSent = 0;
    status->offsetSumMs = 0;
    status->syncEvents = 0;
    status->syncSuccesses = 0;
    status->syncFailures = 0;
    status->statisticsResetTime = now;
}

void SetPartnerName(AgentStatus* status, const char* name) {
    CopyText(status->partnerName, name, kBlockPartnerField - 1);
}

void EncodeAgentStatusBlock(const AgentStatus& s, uint8_t out[kAgentStatusBlockSize]) {
    std::memset(out, 0, kAgentStatusBlockSize);
    StoreLe32(out + block::kRole, s.role);
    StoreLe32(out + block::kSnapshotTime, s.snapshotTime);
    StoreLe32(out + block::kStatisticsResetTime, s.statisticsResetTime);
    StoreLe32(out + block::kLastSyncTime, s.lastSyncTime);
    StoreLe32(out + block::kAgentStartTime, s.agentStartTime);
    StoreLe64(out + block::kLastOffset, static_cast<uint64_t>(s.lastOffsetMs));
    StoreLe64(out + block::kOffsetSum, static_cast<uint64_t>(s.offsetSumMs));
    StoreTextField(out + block::kZoneName, kZoneNameField, s.timeZoneName);
    StoreTextField(out + block::kVersionText, kBlockVersionField, s.versionText);
    out[block::kStatusFlags] = s.statusFlags;
    out[block::kTimeServiceType] = s.timeServiceType;
    StoreTextField(out + block::kPartnerName, kBlockPartnerField, s.partnerName);
    out[block::kProtocol] = s.protocol;
    for (size_t i = 0; i < kCounterSlots; ++i) {
        StoreLe32(out + block::kLastReplyTime + 4 * i, s.lastReplyTime[i]);
        StoreLe64(out + block::kRepliesSent + 8 * i, s.repliesSent[i]);
        StoreLe64(out + block::kReceiveErrors + 8 * i, s.receiveErrors[i]);
    }
    StoreLe64(out + block::kBytesReceived, s.bytesReceived);
    StoreLe64(out + block::kBytesSent, s.bytesSent);
    StoreLe64(out + block::kSyncSuccesses, s.syncSuccesses);
    StoreLe64(out + block::kSyncEvents, s.syncEvents);
    StoreLe64(out + block::kSyncFailures, s.syncFailures);
}

void DecodeAgentStatusBlock(const uint8_t bytes[kAgentStatusBlockSize], AgentStatus* s) {
    *s = AgentStatus{};
    s->role = LoadLe32(bytes + block::kRole);
    s->snapshotTime = LoadLe32(bytes + block::kSnapshotTime);
    s->statisticsResetTime = LoadLe32(bytes + block::kStatisticsResetTime);
    s->lastSyncTime = LoadLe32(bytes + block::kLastSyncTime);
    s->agentStartTime = LoadLe32(bytes + block::kAgentStartTime);
    s->lastOffsetMs = static_cast<int64_t>(LoadLe64(bytes + block::kLastOffset));
    s->offsetSumMs = static_cast<int64_t>(LoadLe64(bytes + block::kOffsetSum));
    LoadTextField(bytes + block::kZoneName, kZoneNameField, s->timeZoneName);
    LoadTextField(bytes + block::kVersionText, kBlockVersionField, s->versionText);
    s->statusFlags = bytes[block::kStatusFlags];
    s->timeServiceType = bytes[block::kTimeServiceType];
    LoadTextField(bytes + block::kPartnerName, kBlockPartnerField, s->partnerName);
    s->protocol = bytes[block::kProtocol];
    for (size_t i = 0; i < kCounterSlots; ++i) {
        s->lastReplyTime[i] = LoadLe32(bytes + block::kLastReplyTime + 4 * i);
        s->repliesSent[i] = LoadLe64(bytes + block::kRepliesSent + 8 * i);
        s->receiveErrors[i] = LoadLe64(bytes + block::kReceiveErrors + 8 * i);
    }
    s->bytesReceived = LoadLe64(bytes + block::kBytesReceived);
    s->bytesSent = LoadLe64(bytes + block::kBytesSent);
    s->syncSuccesses = LoadLe64(bytes + block::kSyncSuccesses);
    s->syncEvents = LoadLe64(bytes + block::kSyncEvents);
    s->syncFailures = LoadLe64(bytes + block::kSyncFailures);
}

void EncodeCalendarRecord(const CalendarRecord& t, uint8_t out[kCalendarRecordSize]) {
    const uint16_t words[8] = {t.year, t.month,  t.dayOfWeek, t.day,
                               t.hour, t.minute, t.second,    t.milliseconds};
    for (size_t i = 0; i < 8; ++i) {
        StoreLe16(out + 2 * i, words[i]);
    }
}

void DecodeCalendarRecord(const uint8_t bytes[kCalendarRecordSize], CalendarRecord* t) {
    uint16_t* const words[8] = {&t->year, &t->month,  &t->dayOfWeek, &t->day,
                                &t->hour, &t->minute, &t->second,    &t->milliseconds};
    for (size_t i = 0; i < 8; ++i) {
        *words[i] = LoadLe16(bytes + 2 * i);
    }
}

VersionRecord MakeVersionRecord(uint32_t role, uint32_t installTime, bool isNT,
                                const char* computerName) {
    VersionRecord record{};
    record.installTime = installTime;
    record.role = role;
    record.major = 4;
    record.minor = 1;
    record.buildYear = 2007;
    record.buildMonthDay = 418;
    record.flags = 1;
    record.isNT = isNT ? 1 : 0;
    CopyText(record.versionText, kAgentVersionText, kVersionTextField - 1);
    CopyText(record.computerName, computerName, kComputerNameField - 1);
    return record;
}

void EncodeVersionRecord(const VersionRecord& r, uint8_t out[kVersionRecordSize]) {
    std::memset(out, 0, kVersionRecordSize);
    StoreLe32(out + version::kInstallTime, r.installTime);
    StoreLe32(out + version::kRole, r.role);
    StoreLe16(out + version::kMajor, r.major);
    StoreLe16(out + version::kMinor, r.minor);
    StoreLe16(out + version::kBuildYear, r.buildYear);
    StoreLe16(out + version::kBuildMonthDay, r.buildMonthDay);
    StoreLe32(out + version::kFlags, r.flags);
    StoreLe32(out + version::kIsNT, r.isNT);
    StoreTextField(out + version::kVersionText, kVersionTextField, r.versionText);
    StoreTextField(out + version::kComputerName, kComputerNameField, r.computerName);
}

void DecodeVersionRecord(const uint8_t bytes[kVersionRecordSize], VersionRecord* r) {
    *r = VersionRecord{};
    r->installTime = LoadLe32(bytes + version::kInstallTime);
    r->role = LoadLe32(bytes + version::kRole);
    r->major = LoadLe16(bytes + version::kMajor);
    r->minor = LoadLe16(bytes + version::kMinor);
    r->buildYear = LoadLe16(bytes + version::kBuildYear);
    r->buildMonthDay = LoadLe16(bytes + version::kBuildMonthDay);
    r->flags = LoadLe32(bytes + version::kFlags);
    r->isNT = LoadLe32(bytes + version::kIsNT);
    LoadTextField(bytes + version::kVersionText, kVersionTextField, r->versionText);
    LoadTextField(bytes + version::kComputerName, kComputerNameField, r->computerName);
}

uint32_t StatusFlagsWord(uint32_t role, uint32_t versionFlags, const SystemIdentity& identity,
                         uint32_t zoneState) {
    uint32_t flags = role & 0xF;
    if ((versionFlags & 1) != 0) {
        flags |= kFlagVersionBit;
    }
    if (identity.isNT) {
        flags |= kFlagNT;
    }
    if (identity.isWin9x) {
        flags |= kFlagWin9x;
    }
    if (identity.isNT) {
        switch (identity.os) {
        case kOsNT31:
        case kOsNT351:
            flags |= 1u << 16;
            break;
        case kOsNT40:
            flags |= 1u << 17;
            break;
        case kOsWin2000:
            flags |= 1u << 18;
            break;
        case kOsWinXP:
            flags |= 1u << 19;
            break;
        case kOsWin2003:
            flags |= 1u << 20;
            break;
        case kOsVista:
            flags |= 1u << 26;
            break;
        case kOsLonghorn:
            flags |= 1u << 27;
            break;
        default:
            break;
        }
    }
    flags |= kFlagAlways;
    flags |= (zoneState & 3) << kFlagZoneShift;
    return flags;
}

uint16_t InstalledProductsWord(const InstalledProducts& p) {
    uint16_t word = 0x8000;
    if (p.server) {
        word |= 0x0001;
    }
    if (p.set) {
        word |= 0x0008;
    }
    if (p.manager) {
        word |= 0x0010;
    }
    if (p.monitor) {
        word |= 0x0020;
    }
    if (p.updateServer) {
        word |= 0x0040;
    }
    if (p.auditServer) {
        word |= 0x0080;
    }
    if (p.agent) {
        word |= 0x0200;
    }
    if (p.client) {
        word |= p.thinClient ? 0x0004 : p.ultraThinClient ? 0x0100 : 0x0002;
    }
    return word;
}

void EncodeStatusRecord(const StatusRecord& r, uint8_t out[kStatusRecordSize]) {
    std::memset(out, 0, kStatusRecordSize);
    StoreLe32(out + record::kInstallationId, r.installationId);
    StoreLe32(out + record::kFlags, r.flags);
    out[record::kProtocol] = r.protocol;
    out[record::kMarker] = r.marker;
    EncodeCalendarRecord(r.localTime, out + record::kLocalTime);
    EncodeCalendarRecord(r.utcTime, out + record::kUtcTime);
    StoreLe64(out + record::kLastOffset, static_cast<uint64_t>(r.lastOffsetMs));
    StoreLe64(out + record::kSyncSuccesses, r.syncSuccesses);
    StoreLe64(out + record::kSyncEvents, r.syncEvents);
    StoreLe64(out + record::kSyncFailures, r.syncFailures);
    StoreLe32(out + record::kInstallTime, r.installTime);
    StoreLe32(out + record::kNow, r.now);
    StoreLe32(out + record::kLastSyncTime, r.lastSyncTime);
    StoreLe32(out + record::kAgentStartTime, r.agentStartTime);
    StoreTextField(out + record::kZoneName, kZoneNameField, r.timeZoneName);
    StoreTextField(out + record::kVersionText, kRecordVersionField, r.versionText);
    StoreTextField(out + record::kPartnerName, kRecordPartnerField, r.partnerName);
    StoreTextField(out + record::kComputerName, kRecordComputerField, r.computerName);
    StoreLe16(out + record::kProducts, r.products);
}

void DecodeStatusRecord(const uint8_t bytes[kStatusRecordSize], StatusRecord* r) {
    *r = StatusRecord{};
    r->installationId = LoadLe32(bytes + record::kInstallationId);
    r->flags = LoadLe32(bytes + record::kFlags);
    r->protocol = bytes[record::kProtocol];
    r->marker = bytes[record::kMarker];
    DecodeCalendarRecord(bytes + record::kLocalTime, &r->localTime);
    DecodeCalendarRecord(bytes + record::kUtcTime, &r->utcTime);
    r->lastOffsetMs = static_cast<int64_t>(LoadLe64(bytes + record::kLastOffset));
    r->syncSuccesses = LoadLe64(bytes + record::kSyncSuccesses);
    r->syncEvents = LoadLe64(bytes + record::kSyncEvents);
    r->syncFailures = LoadLe64(bytes + record::kSyncFailures);
    r->installTime = LoadLe32(bytes + record::kInstallTime);
    r->now = LoadLe32(bytes + record::kNow);
    r->lastSyncTime = LoadLe32(bytes + record::kLastSyncTime);
    r->agentStartTime = LoadLe32(bytes + record::kAgentStartTime);
    LoadTextField(bytes + record::kZoneName, kZoneNameField, r->timeZoneName);
    LoadTextField(bytes + record::kVersionText, kRecordVersionField, r->versionText);
    LoadTextField(bytes + record::kPartnerName, kRecordPartnerField, r->partnerName);
    LoadTextField(bytes + record::kComputerName, kRecordComputerField, r->computerName);
    r->products = LoadLe16(bytes + record::kProducts);
}
