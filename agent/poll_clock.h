// When the agent thread's once-a-second poll of the Windows Time service falls due: on a steady
// beat, whatever else wakes the thread, so that a stream of management requests or demand syncs
// never holds the poll back.
#pragma once

#include <cstdint>

class PollClock {
public:
    // The first poll falls due one interval after nowMs (a monotonic clock in milliseconds).
    PollClock(uint64_t nowMs, uint32_t intervalMs);

    bool Due(uint64_t nowMs) const { return nowMs >= due_; }
    // How long the thread may wait for an event before the poll falls due (0 when it is due).
    uint32_t WaitMs(uint64_t nowMs) const;
    // The poll ran at nowMs: the next one falls due one interval after this one was due, or one
    // interval after nowMs when the thread was busy for longer than an interval (a check takes
    // seconds), so that missed polls are not made up in a burst.
    void Polled(uint64_t nowMs);

private:
    uint32_t interval_;
    uint64_t due_;
};
