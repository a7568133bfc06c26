#include "agent/poll_clock.h"

PollClock::PollClock(uint64_t nowMs, uint32_t intervalMs)
    : interval_(intervalMs), due_(nowMs + intervalMs) {}

uint32_t PollClock::WaitMs(uint64_t nowMs) const {
    return nowMs >= due_ ? 0 : static_cast<uint32_t>(due_ - nowMs);
}

void PollClock::Polled(uint64_t nowMs) {
    due_ += interval_;
    if (due_ <= nowMs) {
        due_ = nowMs + interval_;
    }
}
