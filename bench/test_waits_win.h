// The two kinds of wait of the Windows tests. A wait for something that should happen is
// bounded by kPatienceMs: it ends as soon as the condition holds, so the bound costs nothing when
// the test passes, and a loaded machine does not fail it. A check that something does NOT happen
// watches for a short, explicit window with StaysTrueFor: a slow machine can only make that pass
// wrongly, never fail wrongly. Test and demo tooling only.
#pragma once

#include <windows.h>

#include <functional>

inline constexpr DWORD kPatienceMs = 30000;

// Polls every 50 ms until the condition holds (true) or timeoutMs has passed; the condition's
// last answer. The condition is asked at least once, also with a time-out of 0.
inline bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (condition()) {
            return true;
        }
        Sleep(50);
    }
    return condition();
}

// True when the condition holds at every look (every 50 ms) for windowMs.
inline bool StaysTrueFor(const std::function<bool()>& condition, DWORD windowMs) {
    const ULONGLONG end = GetTickCount64() + windowMs;
    do {
        if (!condition()) {
            return false;
        }
        Sleep(50);
    } while (GetTickCount64() < end);
    return condition();
}
