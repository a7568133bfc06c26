// Precise clock. Until the interpolating clock thread lands, readings come from the system time.
#include <windows.h>

#include "agent/agent_interfaces_win.h"

namespace {
constexpr ULONGLONG kFileTime1970 = 116444736000000000ull;
}

bool StartPreciseClock(HANDLE) {
    return true;
}

uint32_t UnixTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks <= kFileTime1970 ? 0 : static_cast<uint32_t>((ticks - kFileTime1970) / 10000000u);
}
