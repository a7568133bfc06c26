// What one time-source query reports, how a source is written ("host" or "host:port"), and the
// names of the family's time-protocol codes.
#pragma once

#include "timesrc/ntp_packet.h"

#include <cstddef>
#include <cstdint>

// The outcome of one NTP query.
struct SourceReading {
    bool ok;         // a valid reply was received and measured
    int64_t offset;  // 100 ns units; positive when the local clock is behind the source
    int64_t delay;   // round trip less the server's processing time, 100 ns units
    int32_t delayMs; // the same in whole milliseconds, truncated; 1 ms is reported as 0
    // 0; 87 when the source text is empty or malformed; 1901 when the source answered but its
    // clock is not set or its reply is unusable. Network failures leave 0 here and set the
    // thread's socket error instead (10060 on a time-out, 10004 when the stop event was set).
    uint32_t error;
    uint8_t request[kNtpPacketSize]; // the request as sent
    // The reply (up to 68 bytes, the rest zero): the stratum is byte 1, the reference identifier
    // bytes 12-15. All zero when no reply from the source was received.
    uint8_t reply[kNtpReplyKeep];
};

constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidTime = 1901; // the source's clock is not set

// The family's time-protocol codes, as they appear in shared records. Only kNtp is spoken here.
using TimeProtocol = uint8_t;
constexpr TimeProtocol kTimeProtocolNtp = 1;

// Display name of a protocol code ("NTP/SNTP (RFC 1769)" for 1); never null. The name of code 1
// is also a value name under the family server's "Enabled Protocols" key.
const char* ProtocolDisplayName(TimeProtocol protocol);

// Longest host text a source may carry (a DNS name has at most 253 characters).
constexpr size_t kSourceHostSize = 256;

enum class SourceTextStatus {
    kOk,
    kEmpty,   // no text, or no host before the colon
    kTooLong, // the host does not fit kSourceHostSize
    kBadPort, // the text after the colon is not a port number 1-65535
};

// Splits a source text "host" or "host:port" into host (kSourceHostSize bytes, always
// terminated) and port (0 when the text names none). Surrounding blanks are not removed.
SourceTextStatus ParseSourceText(const char* text, char* host, uint16_t* port);

// Reads a dotted IPv4 address "a.b.c.d" (four decimal numbers 0-255, no leading zeros, nothing
// else) into address in network byte order (the first number is the first byte in memory), as
// FormatAddress writes it. False, with address untouched, for any other text.
bool ParseDottedAddress(const char* text, uint32_t* address);
