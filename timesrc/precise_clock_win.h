// The precise clock: UTC with the resolution of the performance counter, interpolated from
// anchors that a 1 ms timer thread takes whenever the system time steps; and the time helpers
// the agent uses (seconds since 1970, file-time conversion, priority raise around measurements).
#pragma once
#include <windows.h>

#include <cstdint>

#include "timesrc/clock_math.h"

// Starts the clock thread, which ends when stopEvent (or, when null, an event of its own that
// nothing sets) is signalled; the clock keeps its own duplicate of the handle, so the caller may
// close it once signalled. True when the clock runs; a clock already running is left as it is.
// False where the clock cannot run (not the NT family, no counter, no timer); readers then use
// the plain system time. A clock whose stop event was set may be started again with a new one.
bool StartPreciseClock(HANDLE stopEvent);
// Whether the clock thread is anchoring, so that readers interpolate.
bool PreciseClockRunning();
// Body of the clock thread (argument unused).
DWORD WINAPI HighPerfClockThread(LPVOID);
// UTC now as a file time (100 ns units since 1601), with the counter's resolution while the
// clock runs, otherwise the plain system time.
uint64_t PreciseFileTimeNow();
// PreciseFileTimeNow as a calendar record, in UTC or in the local time zone.
void PreciseUtcSystemTime(SYSTEMTIME* out);
void PreciseLocalSystemTime(SYSTEMTIME* out);
// Seconds since 1970 (UTC) from the plain system time, saturated to 32 bits.
uint32_t UnixTimeNow();
// Nested raise of the calling thread to time-critical priority (on) and back to normal (off):
// the thread stays raised until every raise has had its lowering. The priority restored is
// always normal, not whatever the thread had before.
void RaiseThreadPriority(bool on);
