// Precise clock. Until the interpolating clock thread lands, readings come from the system time.
#include <windows.h>

#include "timesrc/precise_clock_win.h"
#include "agent/sync_follower.h"

bool StartPreciseClock(HANDLE) {
    return true;
}

uint32_t UnixTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeToUnixSeconds((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                                 now.dwLowDateTime);
}
