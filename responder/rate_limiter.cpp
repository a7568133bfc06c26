#include "responder/rate_limiter.h"

namespace {
// Places a source may take in the table: its hash slot and the next few.
constexpr size_t kProbe = 8;

size_t HashSource(uint32_t source) {
    uint32_t h = source * 0x9E3779B1u;
    return (h ^ (h >> 16)) % ReplyRateLimiter::kSlots;
}
} // namespace

uint32_t ReplyCost(size_t replyLength) {
    const size_t cost = replyLength + kPacketOverhead;
    return cost < kMinimumCost ? kMinimumCost : static_cast<uint32_t>(cost);
}

ReplyRateLimiter::ReplyRateLimiter(uint32_t bytesPerSecond) : rate_(bytesPerSecond), slots_{} {}

void ReplyRateLimiter::SetRate(uint32_t bytesPerSecond) {
    rate_ = bytesPerSecond;
    Clear();
}

void ReplyRateLimiter::Clear() {
    for (Slot& slot : slots_) {
        slot = Slot{};
    }
}

ReplyRateLimiter::Slot* ReplyRateLimiter::Find(uint32_t source, uint64_t nowMs) {
    const uint64_t full = static_cast<uint64_t>(rate_) * kReplyBurstSeconds * 1000;
    const size_t home = HashSource(source);
    Slot* victim = nullptr;
    for (size_t i = 0; i < kProbe; ++i) {
        Slot& slot = slots_[(home + i) % kSlots];
        if (slot.used && slot.source == source) {
            return &slot;
        }
        if (!slot.used) {
            if (victim == nullptr || victim->used) {
                victim = &slot;
            }
        } else if (victim == nullptr || (victim->used && slot.lastMs < victim->lastMs)) {
            victim = &slot;
        }
    }
    *victim = Slot{true, source, nowMs, full};
    return victim;
}

bool ReplyRateLimiter::Allow(uint32_t source, uint32_t cost, uint64_t nowMs) {
    if (rate_ == 0) {
        return true;
    }
    Slot* slot = Find(source, nowMs);
    const uint64_t full = static_cast<uint64_t>(rate_) * kReplyBurstSeconds * 1000;
    // A clock that went back refills nothing; one that jumped far ahead refills at most fully.
    if (nowMs > slot->lastMs) {
        const uint64_t elapsed = nowMs - slot->lastMs;
        const uint64_t refill =
            elapsed >= kReplyBurstSeconds * 1000ull ? full : elapsed * static_cast<uint64_t>(rate_);
        slot->milliBytes = slot->milliBytes + refill > full ? full : slot->milliBytes + refill;
    }
    slot->lastMs = nowMs;
    const uint64_t price = static_cast<uint64_t>(cost) * 1000;
    if (slot->milliBytes < price) {
        return false;
    }
    slot->milliBytes -= price;
    return true;
}
