// The precise clock: UTC with the resolution of the performance counter, interpolated from
// anchors that a 1 ms timer thread takes whenever the system time steps; and the time helpers
// the agent uses (seconds since 1970, file-time conversion, priority raise around measurements).
#pragma once
#include <windows.h>

#include <cstdint>

// Starts the clock thread; it ends when stopEvent (or, when null, an event of its own) is set.
// False when the clock cannot run here; readers then use the plain system time.
bool StartPreciseClock(HANDLE stopEvent);
// UTC now as a file time (100 ns units since 1601).
uint64_t PreciseFileTimeNow();
void PreciseUtcSystemTime(SYSTEMTIME* out);
void PreciseLocalSystemTime(SYSTEMTIME* out);
// Seconds since 1970 (UTC) from the plain system time.
uint32_t UnixTimeNow();
// Seconds since 1970 of a file time, truncated toward zero.
int64_t FileTimeToUnix(uint64_t fileTime);
// File time of seconds since 1970.
uint64_t UnixToFileTime(uint32_t seconds);
// Nested raise of the calling thread to time-critical priority (on) and back to normal (off).
void RaiseThreadPriority(bool on);
