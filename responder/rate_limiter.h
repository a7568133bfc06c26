// A per-source limit on the bytes the responder puts on the wire, so that a flood of small
// requests with a forged sender cannot turn the agent into an amplifier aimed at that sender.
#pragma once

#include <cstddef>
#include <cstdint>

// The default allowance per source address, in reply bytes per second. A management console
// that polls status, walks the history or pings several times a second stays far below it.
constexpr uint32_t kDefaultReplyRateLimit = 65536;
// Each source may spend this many seconds of its allowance at once.
constexpr uint32_t kReplyBurstSeconds = 2;
// What one answer costs: the answer plus its IP and UDP headers, never less than kMinimumCost,
// so that requests answered with nothing or with four bytes are limited as well.
constexpr uint32_t kPacketOverhead = 28;
constexpr uint32_t kMinimumCost = 64;
uint32_t ReplyCost(size_t replyLength);

// A token bucket for each of the most recently seen sources. A source that is not in the table
// starts with a full bucket; when the table is full the source seen least recently among a few
// candidates gives up its place.
class ReplyRateLimiter {
public:
    static constexpr size_t kSlots = 256;

    // bytesPerSecond 0 turns the limit off.
    explicit ReplyRateLimiter(uint32_t bytesPerSecond = kDefaultReplyRateLimit);
    void SetRate(uint32_t bytesPerSecond);
    uint32_t rate() const { return rate_; }

    // Whether a reply of cost bytes to source (an IPv4 address in any fixed byte order) may go
    // out at nowMs (a monotonic clock in milliseconds); when it may, the bucket pays for it.
    bool Allow(uint32_t source, uint32_t cost, uint64_t nowMs);
    void Clear();

private:
    struct Slot {
        bool used;
        uint32_t source;
        uint64_t lastMs;
        uint64_t milliBytes; // tokens in thousandths of a byte
    };
    Slot* Find(uint32_t source, uint64_t nowMs);

    uint32_t rate_;
    Slot slots_[kSlots];
};
