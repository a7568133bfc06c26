// Fuzz target: the command filter built from any stored "Prohibited QX2 Commands" value, and the
// request and time-zone layouts over any bytes.
//
// Input: u8 bit 0 set when the value is stored at all; the rest is the stored value, which also
// serves as a request datagram and as a time-zone answer.
#include <cstring>

#include "common/fuzz_support.h"
#include "responder/byte_order.h"
#include "responder/management_protocol.h"

namespace {

bool DefaultProhibited(size_t code) {
    return code == 102 || code == 150 || code == 160 || code == 180;
}

// The filter rules: unknown codes 128; known ones the stored byte (0 past its end), or when
// nothing could be read, 1 for the four private codes and 0 for the rest.
void CheckFilter(const uint8_t filter[kCommandFilterSize], const uint8_t* value, size_t valueSize,
                 bool read) {
    // The implemented set, looked up once: the builder's own lookups are what is measured.
    static const struct Implemented {
        bool code[kCommandFilterSize];
        Implemented() : code{} {
            for (size_t i = 0; i < kCommandFilterSize; ++i) {
                code[i] = IsImplementedCode(static_cast<uint8_t>(i));
            }
        }
    } implemented;
    size_t open = 0;
    for (size_t code = 0; code < kCommandFilterSize; ++code) {
        uint8_t expected;
        if (!implemented.code[code]) {
            expected = 128;
        } else if (read) {
            expected = code < valueSize ? value[code] : 0;
        } else {
            expected = DefaultProhibited(code) ? 1 : 0;
        }
        FUZZ_CHECK(filter[code] == expected);
        open += filter[code] == 0;
    }
    FUZZ_CHECK(open <= 35);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const bool stored = (input.U8() & 1) != 0;
    const uint8_t* value = input.rest();
    const size_t valueSize = input.remaining();

    // As the agent loads it: a binary read into 256 zeroed bytes, which fails for a longer
    // value and leaves the buffer zero.
    uint8_t buffer[kCommandFilterSize] = {};
    const bool read = stored && valueSize <= kCommandFilterSize;
    if (read && valueSize != 0) {
        std::memcpy(buffer, value, valueSize);
    }
    uint8_t filter[kCommandFilterSize];
    std::memset(filter, 0xCC, sizeof(filter));
    BuildCommandFilter(buffer, sizeof(buffer), read, filter);
    CheckFilter(filter, buffer, sizeof(buffer), read);

    // The builder itself takes a value of any length and uses its first 256 bytes.
    std::memset(filter, 0xCC, sizeof(filter));
    BuildCommandFilter(stored ? value : nullptr, valueSize, stored, filter);
    CheckFilter(filter, value, stored ? valueSize : 0, stored);

    // The same bytes as a request: its header fields, and the encoding of them read back.
    ManagementRequest request;
    const bool parsed = ParseManagementRequest(value, valueSize, &request);
    FUZZ_CHECK(parsed == (valueSize >= 5));
    if (parsed) {
        uint8_t header[12] = {};
        std::memcpy(header, value, valueSize < sizeof(header) ? valueSize : sizeof(header));
        FUZZ_CHECK(request.sequence == LoadLe32(header));
        FUZZ_CHECK(request.code == header[4]);
        FUZZ_CHECK(request.dataWord == LoadLe32(header + 8));

        static uint8_t encoded[kMaxRequestSize];
        const size_t dataLength = valueSize > 8 ? valueSize - 8 : 0;
        const size_t length = EncodeManagementRequest(request.sequence, LoadLe32(header + 4),
                                                      value + 8, dataLength, encoded);
        const size_t kept = dataLength < kMaxRequestData ? dataLength : kMaxRequestData;
        FUZZ_CHECK(length == kRequestHeaderSize + kept);
        FUZZ_CHECK(std::memcmp(encoded, value, length < valueSize ? length : valueSize) == 0);
        ManagementRequest again;
        FUZZ_CHECK(ParseManagementRequest(encoded, length, &again));
        FUZZ_CHECK(again.sequence == request.sequence && again.code == request.code);
        // A datagram of 5 to 11 bytes reads its missing data bytes as 0; the encoding pads.
        FUZZ_CHECK(again.dataWord == request.dataWord);
    }

    // The bytes as a time-zone answer: the name comes back terminated and within its field,
    // and an encoded name survives when it fits.
    uint8_t facts[kTimeZoneFactsSize] = {};
    std::memcpy(facts, value, valueSize < sizeof(facts) ? valueSize : sizeof(facts));
    TimeZoneFacts decoded;
    std::memset(&decoded, 0xCC, sizeof(decoded));
    DecodeTimeZoneFacts(facts, &decoded);
    const size_t nameLength = strnlen(decoded.standardName, sizeof(decoded.standardName));
    FUZZ_CHECK(nameLength <= 64);
    uint8_t reencoded[kTimeZoneFactsSize];
    EncodeTimeZoneFacts(decoded.disableAutoDaylight, decoded.standardName, reencoded);
    TimeZoneFacts twice;
    DecodeTimeZoneFacts(reencoded, &twice);
    FUZZ_CHECK(twice.leading == 0 && twice.disableAutoDaylight == decoded.disableAutoDaylight);
    FUZZ_CHECK(std::strncmp(twice.standardName, decoded.standardName, 63) == 0);
    FUZZ_CHECK(strnlen(twice.standardName, sizeof(twice.standardName)) ==
               (nameLength < 63 ? nameLength : 63));
    for (size_t i = 72; i < kTimeZoneFactsSize; ++i) {
        FUZZ_CHECK(reencoded[i] == 0);
    }
    return 0;
}
