// The NTP/SNTP packet as bytes: timestamps and their conversion to file times, the request we
// send, the checks a reply must pass, and the offset and delay of one exchange.
#pragma once

#include <cstddef>
#include <cstdint>

// An NTP timestamp as a number: the high 32 bits whole seconds since 1 January 1900 UTC (modulo
// 2^32, so the count restarts every 136 years: era 1 begins in February 2036), the low 32 bits
// the fraction of a second in units of 2^-32 s. On the wire it is stored big-endian.
using NtpTimestamp = uint64_t;

// Size of a packet without extension fields or authenticator; a request is exactly this long.
constexpr size_t kNtpPacketSize = 48;
// How much of a reply a reading keeps (a header and a 20-byte authenticator).
constexpr size_t kNtpReplyKeep = 68;

// Field offsets of the packet layout.
constexpr size_t kNtpFlagsOffset = 0; // leap indicator (bits 7-6), version (5-3), mode (2-0)
constexpr size_t kNtpStratumOffset = 1;
constexpr size_t kNtpPollOffset = 2;
constexpr size_t kNtpPrecisionOffset = 3;
constexpr size_t kNtpRootDelayOffset = 4;
constexpr size_t kNtpRootDispersionOffset = 8;
constexpr size_t kNtpReferenceIdOffset = 12;
constexpr size_t kNtpReferenceTimeOffset = 16;
constexpr size_t kNtpOriginateOffset = 24;
constexpr size_t kNtpReceiveOffset = 32;
constexpr size_t kNtpTransmitOffset = 40;

constexpr uint8_t kNtpModeClient = 3;
constexpr uint8_t kNtpModeServer = 4;
constexpr uint8_t kNtpLeapUnsynchronized = 3;
// Byte 0 of our request: no leap warning, version 1, client mode.
constexpr uint8_t kNtpRequestFlags = 0x0B;

// Big-endian loads and stores; the pointer must have room for the width.
uint16_t LoadBe16(const uint8_t* bytes);
uint32_t LoadBe32(const uint8_t* bytes);
uint64_t LoadBe64(const uint8_t* bytes);
void StoreBe16(uint8_t* bytes, uint16_t value);
void StoreBe32(uint8_t* bytes, uint32_t value);
void StoreBe64(uint8_t* bytes, uint64_t value);

// The NTP timestamp of a file time (100 ns units since 1601 UTC); the fraction is truncated.
// Moments before 1900 land in the previous era (the seconds wrap modulo 2^32).
NtpTimestamp NtpFromFileTime(uint64_t fileTime);

// The file time of an NTP timestamp, taking the era that puts it within 68 years of near (a
// file time, usually now); the fraction is rounded to the nearest 100 ns, so a file time
// survives the round trip exactly. A moment before 1601 gives 0.
uint64_t FileTimeFromNtp(NtpTimestamp timestamp, uint64_t near);

// later - earlier in units of 2^-32 s, signed. Taken modulo 2^64, so it stays right across the
// era change as long as the two moments are less than 68 years apart.
int64_t NtpDifference(NtpTimestamp later, NtpTimestamp earlier);

// A signed interval in 2^-32 s units as 100 ns units, truncated toward zero.
int64_t NtpIntervalToFileTimeUnits(int64_t interval);

// The 48-byte request sent at t1: version 1, client mode, and t1 in both the originate and the
// transmit field. Servers copy our transmit field into the originate field of their reply, which
// is how a reply is tied to this request.
void BuildNtpRequest(NtpTimestamp t1, uint8_t request[kNtpPacketSize]);

// The header fields of a packet, decoded.
struct NtpHeader {
    uint8_t leap;    // 0-3; 3 means the server's clock is not synchronized
    uint8_t version; // 0-7
    uint8_t mode;    // 0-7; 4 is a server's reply
    uint8_t stratum;
    int8_t poll;             // log2 seconds
    int8_t precision;        // log2 seconds
    uint32_t rootDelay;      // 16.16 seconds
    uint32_t rootDispersion; // 16.16 seconds
    uint32_t referenceId;    // as the 4 bytes read big-endian
    NtpTimestamp referenceTime;
    NtpTimestamp originate;
    NtpTimestamp receive;
    NtpTimestamp transmit;
};

// Decodes the first 48 bytes of data; false (out untouched) when size is below 48.
bool ParseNtpHeader(const uint8_t* data, size_t size, NtpHeader* out);

enum class NtpReplyVerdict {
    kNotOurs,  // too short to be a reply, or its originate field is not our request's time
    kRefused,  // the answer to our request, but unusable: the source's clock is not set
    kAccepted, // usable for a measurement
};

// Judges a datagram received from the queried address and port after a request sent at t1.
// A reply is refused when the server says its clock is unsynchronized (leap indicator 3), when
// it is not in server mode, when its stratum is 0 (unspecified or a kiss code) or above 15,
// or when its receive or transmit timestamp is 0.
NtpReplyVerdict JudgeNtpReply(const uint8_t* data, size_t size, NtpTimestamp t1);

// What one exchange measured.
struct NtpMeasurement {
    int64_t offset;  // 100 ns units; positive when the local clock is behind the source
    int64_t delay;   // round trip less the server's processing, 100 ns units, never below 0
    int32_t delayMs; // the same in whole milliseconds, truncated; 1 ms is reported as 0
};

// Offset ((T2 - T1) + (T3 - T4)) / 2 and round-trip delay (T4 - T1) - (T3 - T2) of a request sent
// at t1 (local clock), received by the server at t2 and answered at t3 (the server's clock),
// whose reply arrived at t4 (local clock). A delay below 0 (the server claims to have held the
// request longer than the round trip took, or a clock stepped) is reported as 0.
NtpMeasurement MeasureNtpExchange(NtpTimestamp t1, NtpTimestamp t2, NtpTimestamp t3,
                                  NtpTimestamp t4);
