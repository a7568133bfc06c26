#include "responder/management_protocol.h"

#include <cstring>

#include "responder/byte_order.h"
#include "responder/status_records.h"

namespace {

constexpr uint8_t kImplementedCodes[] = {0,   1,   2,   3,   4,   5,   6,   7,   10,  11,  12,  13,
                                         14,  80,  81,  82,  83,  100, 101, 102, 128, 129, 130, 131,
                                         132, 140, 150, 151, 160, 180, 200, 201, 202, 203, 204};
static_assert(sizeof(kImplementedCodes) == 35, "the implemented set");

// Prohibited when the registry gives no filter: they reveal the history or family internals.
constexpr uint8_t kDefaultProhibited[] = {102, 150, 160, 180};
constexpr uint8_t kNotImplemented = 128;

constexpr size_t kZoneStandardNameOffset = 8;
constexpr size_t kZoneStandardNameField = 64;

} // namespace

bool ParseManagementRequest(const uint8_t* bytes, size_t length, ManagementRequest* request) {
    *request = ManagementRequest{};
    if (bytes == nullptr || length < 5) {
        return false;
    }
    uint8_t header[12] = {};
    std::memcpy(header, bytes, length < sizeof(header) ? length : sizeof(header));
    request->sequence = LoadLe32(header);
    request->code = header[4];
    request->dataWord = LoadLe32(header + 8);
    return true;
}

size_t EncodeManagementRequest(uint32_t sequence, uint32_t code, const uint8_t* data,
                               size_t dataLength, uint8_t out[kMaxRequestSize]) {
    std::memset(out, 0, kMaxRequestSize);
    StoreLe32(out, sequence);
    StoreLe32(out + 4, code);
    if (data == nullptr) {
        dataLength = 0;
    }
    if (dataLength > kMaxRequestData) {
        dataLength = kMaxRequestData;
    }
    if (dataLength != 0) {
        std::memcpy(out + kRequestHeaderSize, data, dataLength);
    }
    return kRequestHeaderSize + dataLength;
}

bool IsImplementedCode(uint8_t code) {
    for (uint8_t implemented : kImplementedCodes) {
        if (implemented == code) {
            return true;
        }
    }
    return false;
}

void BuildCommandFilter(const uint8_t* value, size_t valueSize, bool read,
                        uint8_t filter[kCommandFilterSize]) {
    std::memset(filter, 0, kCommandFilterSize);
    if (read && value != nullptr) {
        std::memcpy(filter, value, valueSize < kCommandFilterSize ? valueSize : kCommandFilterSize);
    } else {
        for (uint8_t code : kDefaultProhibited) {
            filter[code] = 1;
        }
    }
    for (size_t code = 0; code < kCommandFilterSize; ++code) {
        if (!IsImplementedCode(static_cast<uint8_t>(code))) {
            filter[code] = kNotImplemented;
        }
    }
}

size_t ReplyLength(uint8_t code, uint32_t dataWord, uint32_t installationId) {
    switch (code) {
    case kRequestPing:
    case kRequestDemandSync:
    case kRequestRefused:
    case kRequestRefused132:
    case kRequestZeroWord:
    case kRequestDemandSync204:
        return kAckSize;
    case kRequestUtcTime:
    case kRequestLocalTime:
        return kCalendarRecordSize;
    case kRequestVersion:
        return kVersionRecordSize;
    case kRequestTimeZone:
        return kTimeZoneFactsSize;
    case kRequestAgentStatus:
    case kRequestClearStatistics:
        return kAgentStatusBlockSize;
    case kRequestPhaseLimits:
        return kPhaseLimitsSize;
    case kRequestDriftRecord:
        return kDriftAnswerSize;
    case kRequestStatusRecord:
        return kStatusRecordSize;
    case kRequestStatusRecordIfOurs:
        return dataWord == installationId ? kStatusRecordSize : 0;
    default:
        return 0;
    }
}

void EncodeTimeZoneFacts(uint32_t disableAutoDaylight, const char* standardName,
                         uint8_t out[kTimeZoneFactsSize]) {
    std::memset(out, 0, kTimeZoneFactsSize);
    StoreLe32(out + 4, disableAutoDaylight);
    StoreTextField(out + kZoneStandardNameOffset, kZoneStandardNameField, standardName);
}

void DecodeTimeZoneFacts(const uint8_t bytes[kTimeZoneFactsSize], TimeZoneFacts* facts) {
    facts->leading = LoadLe32(bytes);
    facts->disableAutoDaylight = LoadLe32(bytes + 4);
    LoadTextField(bytes + kZoneStandardNameOffset, kZoneStandardNameField, facts->standardName);
}

void EncodePhaseLimits(uint32_t maxPhaseOffsetSeconds, uint8_t out[kPhaseLimitsSize]) {
    StoreLe32(out, 1);
    StoreLe32(out + 4, 1);
    StoreLe32(out + 8, 0);
    StoreLe32(out + 12, maxPhaseOffsetSeconds * 1000u);
}
