#include "responder/installation_id.h"

#include <cstring>

#include "responder/byte_order.h"
#include "responder/status_records.h"
#include "timesrc/ntp_source.h"

uint32_t FormCandidate(const CandidateSources& s) {
    uint64_t value = (static_cast<uint64_t>(s.tickCount + s.unixNow) << 32) | s.tickCount;
    value += s.randomValue;
    value += s.volumeSerial;
    value += s.fileSizeLow;
    value += s.fileIndexHigh;
    return static_cast<uint32_t>(value);
}

uint32_t CandidateRandom::Next() {
    // The classic linear congruential generator of the C library's rand().
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFF;
}

bool AnswerClaimsCandidate(const uint8_t* answer, size_t length, uint32_t candidate) {
    return answer != nullptr && length == kStatusRecordSize && LoadLe32(answer) == candidate;
}

size_t PlanBroadcastDestinations(const char* list, size_t size, uint32_t* out, size_t capacity) {
    size_t count = 0;
    size_t texts = 0;
    if (list != nullptr) {
        size_t at = 0;
        while (at < size && list[at] != '\0') {
            size_t end = at;
            while (end < size && list[end] != '\0') {
                ++end;
            }
            ++texts;
            char text[64];
            const size_t length = end - at;
            uint32_t address;
            if (length < sizeof(text)) {
                std::memcpy(text, list + at, length);
                text[length] = '\0';
                if (ParseDottedAddress(text, &address) && count < capacity) {
                    out[count++] = address;
                }
            }
            at = end + 1;
        }
    }
    if (texts == 0 && capacity > 0) {
        out[count++] = kLimitedBroadcast;
    }
    return count;
}
