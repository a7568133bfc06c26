// The management protocol on the "quorvexnet" port: the request datagram, the per-code filter,
// the codes the agent implements and the fixed answers, shared by the responder and the client.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kManagementService[] = "quorvexnet";
constexpr uint16_t kManagementPort = 9909;

// At most this many bytes of a request are read; the header is the sequence number and the code.
constexpr size_t kMaxRequestSize = 512;
constexpr size_t kRequestHeaderSize = 8;
constexpr size_t kMaxRequestData = kMaxRequestSize - kRequestHeaderSize;
// The largest answer (the time-zone facts).
constexpr size_t kMaxReplySize = 504;

// Request codes. Only the low byte of the 32-bit code word counts.
enum RequestCode : uint8_t {
    kRequestPing = 0,
    kRequestUtcTime = 2,
    kRequestDemandSync = 3,
    kRequestVersion = 4,
    kRequestRefused = 5,
    kRequestTimeZone = 6,
    kRequestLocalTime = 7,
    kRequestFlash81 = 81,
    kRequestFlash82 = 82,
    kRequestFlash83 = 83,
    kRequestFlash100 = 100,
    kRequestFlash101 = 101,
    kRequestAgentStatus = 128,
    kRequestClearStatistics = 129, // also empties the history
    kRequestRefused132 = 132,
    kRequestZeroWord = 150,
    kRequestPhaseLimits = 151,
    kRequestDriftRecord = 160,
    kRequestStatusRecord = 200,
    kRequestStatusRecordIfOurs = 201,
    kRequestDemandSync204 = 204,
};

// Sizes of the answers.
constexpr size_t kAckSize = 4; // "ACK" or "NAK" with its terminating zero
constexpr size_t kTimeZoneFactsSize = 504;
constexpr size_t kPhaseLimitsSize = 16;
constexpr size_t kDriftAnswerSize = 20;
constexpr char kAck[kAckSize] = "ACK";
constexpr char kNak[kAckSize] = "NAK";

// A request as read from a datagram. Missing bytes of the code or the data word read as zero;
// the sequence number and further data only take part in the repeat test.
struct ManagementRequest {
    uint32_t sequence;
    uint8_t code;
    uint32_t dataWord;
};
// False for a datagram too short to carry a code (fewer than 5 bytes).
bool ParseManagementRequest(const uint8_t* bytes, size_t length, ManagementRequest* request);

// Writes a request into out (kMaxRequestSize bytes, zero-filled first): sequence number, code,
// then the data (at most kMaxRequestData bytes, more is cut). Returns its length, 8 + data.
size_t EncodeManagementRequest(uint32_t sequence, uint32_t code, const uint8_t* data,
                               size_t dataLength, uint8_t out[kMaxRequestSize]);

// Whether the agent implements the code (35 codes).
bool IsImplementedCode(uint8_t code);

// The filter of 256 bytes, one per code: 0 answers, anything else drops. value holds the stored
// "Prohibited QX2 Commands" bytes (missing bytes count 0) when read is true; an unreadable value
// prohibits 102, 150, 160 and 180. Codes the agent does not implement are always set to 128.
constexpr size_t kCommandFilterSize = 256;
void BuildCommandFilter(const uint8_t* value, size_t valueSize, bool read,
                        uint8_t filter[kCommandFilterSize]);

// Length of the answer to a code the filter let through: 0 for codes answered with nothing and
// for 201 when the data word is not the installation identifier.
size_t ReplyLength(uint8_t code, uint32_t dataWord, uint32_t installationId);

// Answer to 6: a zero word, "DisableAutoDaylightTimeSet", the standard zone name in a 64-byte
// field (at most 63 characters), zeros to 504 bytes.
void EncodeTimeZoneFacts(uint32_t disableAutoDaylight, const char* standardName,
                         uint8_t out[kTimeZoneFactsSize]);
struct TimeZoneFacts {
    uint32_t leading;
    uint32_t disableAutoDaylight;
    char standardName[65];
};
void DecodeTimeZoneFacts(const uint8_t bytes[kTimeZoneFactsSize], TimeZoneFacts* facts);

// Answer to 151: the words 1, 1, 0 and the largest phase offset the service corrects
// (seconds) x 1000, in 32 bits.
void EncodePhaseLimits(uint32_t maxPhaseOffsetSeconds, uint8_t out[kPhaseLimitsSize]);
