#include "timesrc/ntp_packet.h"

#include "timesrc/clock_math.h"

#include <cstring>

namespace {

constexpr uint64_t kUnitsPerSecond = kFileTimeUnitsPerSecond;
constexpr uint64_t kSecondsFrom1601To1900 = kSecondsFrom1601To1970 - kSecondsFrom1900To1970;
constexpr int64_t kMaxInt32 = 2147483647;

// interval (2^-32 s units, not negative) as whole units of unitsPerSecond, truncated. The whole
// seconds and the fraction are scaled apart so that nothing overflows 64 bits.
uint64_t ScaleInterval(uint64_t interval, uint64_t unitsPerSecond) {
    return (interval >> 32) * unitsPerSecond + (((interval & 0xFFFFFFFFu) * unitsPerSecond) >> 32);
}

} // namespace

uint16_t LoadBe16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t LoadBe32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint64_t LoadBe64(const uint8_t* bytes) {
    return (static_cast<uint64_t>(LoadBe32(bytes)) << 32) | LoadBe32(bytes + 4);
}

void StoreBe16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

void StoreBe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

void StoreBe64(uint8_t* bytes, uint64_t value) {
    StoreBe32(bytes, static_cast<uint32_t>(value >> 32));
    StoreBe32(bytes + 4, static_cast<uint32_t>(value));
}

NtpTimestamp NtpFromFileTime(uint64_t fileTime) {
    // Unsigned arithmetic wraps a moment before 1900 into the previous era, as the protocol does.
    const uint32_t seconds =
        static_cast<uint32_t>(fileTime / kUnitsPerSecond - kSecondsFrom1601To1900);
    const uint64_t units = fileTime % kUnitsPerSecond;
    const uint32_t fraction = static_cast<uint32_t>((units << 32) / kUnitsPerSecond);
    return (static_cast<uint64_t>(seconds) << 32) | fraction;
}

uint64_t FileTimeFromNtp(NtpTimestamp timestamp, uint64_t near) {
    // Seconds since 1900 of the reference, as a full count (negative before 1900); the
    // timestamp's era is the one that puts its seconds within 2^31 of the reference's.
    const int64_t nearSeconds =
        static_cast<int64_t>(near / kUnitsPerSecond) - static_cast<int64_t>(kSecondsFrom1601To1900);
    const uint32_t seconds = static_cast<uint32_t>(timestamp >> 32);
    const int32_t apart = static_cast<int32_t>(seconds - static_cast<uint32_t>(nearSeconds));
    const int64_t since1601 = nearSeconds + apart + static_cast<int64_t>(kSecondsFrom1601To1900);
    if (since1601 < 0) {
        return 0;
    }
    const uint64_t fraction = timestamp & 0xFFFFFFFFu;
    const uint64_t units = (fraction * kUnitsPerSecond + (uint64_t{1} << 31)) >> 32;
    return static_cast<uint64_t>(since1601) * kUnitsPerSecond + units;
}

int64_t NtpDifference(NtpTimestamp later, NtpTimestamp earlier) {
    // Two's complement reading of the modular difference, without signed overflow.
    const uint64_t difference = later - earlier;
    return difference <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(difference)
                                                          : -static_cast<int64_t>(~difference) - 1;
}

int64_t NtpIntervalToFileTimeUnits(int64_t interval) {
    if (interval >= 0) {
        return static_cast<int64_t>(
            ScaleInterval(static_cast<uint64_t>(interval), kUnitsPerSecond));
    }
    // Scale the magnitude so the truncation goes toward zero.
    const uint64_t magnitude = ~static_cast<uint64_t>(interval) + 1;
    return -static_cast<int64_t>(ScaleInterval(magnitude, kUnitsPerSecond));
}

void BuildNtpRequest(NtpTimestamp t1, uint8_t request[kNtpPacketSize]) {
    std::memset(request, 0, kNtpPacketSize);
    request[kNtpFlagsOffset] = kNtpRequestFlags;
    StoreBe64(request + kNtpOriginateOffset, t1);
    StoreBe64(request + kNtpTransmitOffset, t1);
}

bool ParseNtpHeader(const uint8_t* data, size_t size, NtpHeader* out) {
    if (data == nullptr || size < kNtpPacketSize) {
        return false;
    }
    NtpHeader header;
    const uint8_t flags = data[kNtpFlagsOffset];
    header.leap = static_cast<uint8_t>(flags >> 6);
    header.version = static_cast<uint8_t>((flags >> 3) & 7);
    header.mode = static_cast<uint8_t>(flags & 7);
    header.stratum = data[kNtpStratumOffset];
    header.poll = static_cast<int8_t>(data[kNtpPollOffset]);
    header.precision = static_cast<int8_t>(data[kNtpPrecisionOffset]);
    header.rootDelay = LoadBe32(data + kNtpRootDelayOffset);
    header.rootDispersion = LoadBe32(data + kNtpRootDispersionOffset);
    header.referenceId = LoadBe32(data + kNtpReferenceIdOffset);
    header.referenceTime = LoadBe64(data + kNtpReferenceTimeOffset);
    header.originate = LoadBe64(data + kNtpOriginateOffset);
    header.receive = LoadBe64(data + kNtpReceiveOffset);
    header.transmit = LoadBe64(data + kNtpTransmitOffset);
    *out = header;
    return true;
}

NtpReplyVerdict JudgeNtpReply(const uint8_t* data, size_t size, NtpTimestamp t1) {
    NtpHeader header;
    if (!ParseNtpHeader(data, size, &header) || header.originate != t1) {
        return NtpReplyVerdict::kNotOurs;
    }
    if (header.leap == kNtpLeapUnsynchronized || header.mode != kNtpModeServer ||
        header.stratum == 0 || header.stratum > 15 || header.receive == 0 || header.transmit == 0) {
        return NtpReplyVerdict::kRefused;
    }
    return NtpReplyVerdict::kAccepted;
}

NtpMeasurement MeasureNtpExchange(NtpTimestamp t1, NtpTimestamp t2, NtpTimestamp t3,
                                  NtpTimestamp t4) {
    const int64_t outbound = NtpDifference(t2, t1);
    const int64_t inbound = NtpDifference(t3, t4);
    // Half of each leg's sum, formed without overflow: floor((a + b) / 2).
    const int64_t offset = (outbound >> 1) + (inbound >> 1) + (outbound & inbound & 1);

    // Wrapping arithmetic on the two spans: a server's absurd processing time must not be
    // undefined behaviour, only a delay clamped to 0 below.
    const uint64_t roundTrip = static_cast<uint64_t>(NtpDifference(t4, t1));
    const uint64_t processing = static_cast<uint64_t>(NtpDifference(t3, t2));
    const int64_t delay = NtpDifference(roundTrip, processing);

    NtpMeasurement measurement;
    measurement.offset = NtpIntervalToFileTimeUnits(offset);
    if (delay <= 0) {
        measurement.delay = 0;
        measurement.delayMs = 0;
        return measurement;
    }
    measurement.delay = NtpIntervalToFileTimeUnits(delay);
    const uint64_t ms = ScaleInterval(static_cast<uint64_t>(delay), 1000);
    measurement.delayMs = ms > static_cast<uint64_t>(kMaxInt32) ? static_cast<int32_t>(kMaxInt32)
                          : ms == 1                             ? 0
                                                                : static_cast<int32_t>(ms);
    return measurement;
}
