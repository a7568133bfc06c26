#include "timesrc/clock_math.h"

namespace {

// How far an interpolated reading may fall behind the plain system time, or run ahead of it
// beyond one step of the system clock, before the anchor counts as stale: 1 ms, which covers
// the gap between the two reads of an anchor and the timer's lateness.
constexpr uint64_t kInterpolationSlack = 10000;

} // namespace

int64_t FileTimeToUnix(uint64_t fileTime) {
    if (fileTime >= kFileTimeUnixEpoch) {
        return static_cast<int64_t>((fileTime - kFileTimeUnixEpoch) / kFileTimeUnitsPerSecond);
    }
    return -static_cast<int64_t>((kFileTimeUnixEpoch - fileTime) / kFileTimeUnitsPerSecond);
}

uint32_t FileTimeToUnixSeconds(uint64_t fileTime) {
    const int64_t seconds = FileTimeToUnix(fileTime);
    if (seconds <= 0) {
        return 0;
    }
    return seconds > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

uint64_t UnixToFileTime(uint32_t seconds) {
    return (seconds + kSecondsFrom1601To1970) * kFileTimeUnitsPerSecond;
}

double FileTimeToUnixReal(uint64_t fileTime) {
    if (fileTime >= kFileTimeUnixEpoch) {
        return static_cast<double>(fileTime - kFileTimeUnixEpoch) / kFileTimeUnitsPerSecond;
    }
    return -static_cast<double>(kFileTimeUnixEpoch - fileTime) / kFileTimeUnitsPerSecond;
}

uint64_t CounterTicksToFileTime(uint64_t ticks, uint64_t frequency) {
    if (frequency == 0) {
        return 0;
    }
    // Whole seconds and the rest apart: ticks * 10^7 alone would overflow after 51 hours at
    // 10 MHz and after minutes at the frequencies of processor counters.
    const uint64_t whole = ticks / frequency;
    const uint64_t rest = ticks % frequency;
    uint64_t fraction;
    if (frequency <= UINT64_MAX / kFileTimeUnitsPerSecond) {
        fraction = rest * kFileTimeUnitsPerSecond / frequency;
    } else {
        fraction = rest / (frequency / kFileTimeUnitsPerSecond);
    }
    return whole * kFileTimeUnitsPerSecond + fraction;
}

bool AnchorCounter(uint64_t before, uint64_t after, uint64_t frequency, uint64_t* counter) {
    // 10 us in ticks, at least one tick.
    const uint64_t loosest = frequency / 100000 != 0 ? frequency / 100000 : 1;
    if (after < before || after - before > loosest) {
        return false;
    }
    *counter = before + (after - before) / 2;
    return true;
}

uint64_t ElapsedCounterTicks(const ClockAnchor& anchor, uint64_t now, bool anchoredWhileReading) {
    if (now >= anchor.counter) {
        return now - anchor.counter;
    }
    if (anchoredWhileReading) {
        return 0;
    }
    const uint64_t behind = anchor.counter - now;
    return anchor.wrapCorrection > behind ? anchor.wrapCorrection - behind : 0;
}

uint64_t WrapCorrection(uint32_t tickIncrement, uint64_t frequency, uint64_t counter,
                        uint64_t previousCounter) {
    // Counter ticks in one step of the system clock, the step split into whole seconds and the
    // rest so that the product cannot overflow.
    const uint64_t stepTicks =
        tickIncrement / kFileTimeUnitsPerSecond * frequency +
        tickIncrement % kFileTimeUnitsPerSecond * frequency / kFileTimeUnitsPerSecond;
    return stepTicks + (previousCounter - counter);
}

uint64_t InterpolatedFileTime(const ClockAnchor& anchor, uint64_t now, bool anchoredWhileReading,
                              uint64_t plainTime) {
    const uint64_t addend = CounterTicksToFileTime(
        ElapsedCounterTicks(anchor, now, anchoredWhileReading), anchor.frequency);
    if (addend > UINT64_MAX - anchor.fileTime) {
        return plainTime;
    }
    const uint64_t precise = anchor.fileTime + addend;
    const uint64_t earliest = plainTime > kInterpolationSlack ? plainTime - kInterpolationSlack : 0;
    const uint64_t latest = plainTime + anchor.tickIncrement + kInterpolationSlack;
    if (precise < earliest || precise > latest) {
        return plainTime;
    }
    return precise;
}

bool NestThreadPriority(PriorityNesting (&table)[kPriorityTableEntries], uint32_t threadId,
                        bool on) {
    PriorityNesting* entry = nullptr;
    if (threadId != 0) {
        for (PriorityNesting& candidate : table) {
            if (candidate.threadId == threadId) {
                entry = &candidate;
                break;
            }
        }
        if (entry == nullptr) {
            for (PriorityNesting& candidate : table) {
                if (candidate.threadId == 0) {
                    entry = &candidate;
                    entry->count = 0;
                    break;
                }
            }
        }
    }
    uint32_t count = entry != nullptr ? entry->count : 0;
    if (on) {
        ++count;
    } else if (count != 0) {
        --count;
    }
    if (entry != nullptr) {
        entry->count = count;
        entry->threadId = count != 0 ? threadId : 0;
    }
    return count != 0;
}
