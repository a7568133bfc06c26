// Precise clock: a time-critical thread woken by a 1 ms periodic waitable timer renews the
// anchor (system time, counter) whenever the system time has moved on; readers extend the
// anchor by the counter ticks elapsed since.
#include "timesrc/precise_clock_win.h"

#include "common/system_identity.h"

namespace {

// The clock thread's kernel objects. Written by StartPreciseClock before the thread exists and
// cleared by the thread as it ends, both under g_startLock.
struct ClockThread {
    HANDLE thread;
    HANDLE stop;  // our own duplicate of the stop event, or an event of our own
    HANDLE timer; // periodic, auto reset
    HMODULE module;
};
SRWLOCK g_startLock = SRWLOCK_INIT;
ClockThread g_clock = {};

// The anchor pair and what readers need with it; copied whole under the lock.
SRWLOCK g_anchorLock = SRWLOCK_INIT;
ClockAnchor g_anchor = {};
// g_anchor.generation, readable without the lock: a reader notes it before reading the counter
// to tell whether an anchor was taken meanwhile.
volatile LONG g_generation = 0;
// System time of the last anchor; the clock thread's own.
uint64_t g_lastAnchorTime = 0;

volatile LONG g_running = 0;

// How long a start waits for a clock that was told to stop to finish ending.
constexpr DWORD kPreviousClockWaitMs = 2000;
// How long a start waits for the new thread's first anchor.
constexpr DWORD kFirstAnchorWaitMs = 100;

uint64_t SystemFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

bool CounterNow(uint64_t* value) {
    LARGE_INTEGER counter;
    if (!QueryPerformanceCounter(&counter)) {
        return false;
    }
    *value = static_cast<uint64_t>(counter.QuadPart);
    return true;
}

// Takes the pair: the system time between two counter readings, paired with their middle.
// Skipped while the system time has not moved since the last anchor, so that on a system clock
// that steps every 15.6 ms the anchor is the first reading after each step.
void Anchor() {
    uint64_t before, after, counter;
    if (!CounterNow(&before)) {
        return;
    }
    const uint64_t systemTime = SystemFileTime();
    if (!CounterNow(&after) || systemTime == g_lastAnchorTime ||
        !AnchorCounter(before, after, g_anchor.frequency, &counter)) {
        return;
    }
    g_lastAnchorTime = systemTime;
    AcquireSRWLockExclusive(&g_anchorLock);
    if (counter < g_anchor.counter) {
        g_anchor.wrapCorrection =
            WrapCorrection(g_anchor.tickIncrement, g_anchor.frequency, counter, g_anchor.counter);
    }
    g_anchor.counter = counter;
    g_anchor.fileTime = systemTime;
    g_anchor.generation = static_cast<uint32_t>(InterlockedIncrement(&g_generation));
    ReleaseSRWLockExclusive(&g_anchorLock);
}

// The timer's completion routine. The fire time it is given is not used: Wine passes the
// timer's internal due time there (a negative, relative value for periodic timers), not a
// system time, so the anchor reads the system time itself.
VOID CALLBACK AnchorOnTimer(LPVOID, DWORD, DWORD) {
    Anchor();
}

// Closes the handles of an ended clock thread. Under g_startLock.
void ForgetClockThread() {
    if (g_clock.timer != nullptr) {
        CloseHandle(g_clock.timer);
    }
    if (g_clock.stop != nullptr) {
        CloseHandle(g_clock.stop);
    }
    if (g_clock.thread != nullptr) {
        CloseHandle(g_clock.thread);
    }
    g_clock = ClockThread{};
}

// Under g_startLock: whether a clock thread exists that has not been told to stop.
bool ClockThreadLive() {
    return g_clock.thread != nullptr && WaitForSingleObject(g_clock.stop, 0) == WAIT_TIMEOUT;
}

// Creates the clock thread's objects and the thread itself, which starts anchoring at once.
// Under g_startLock, with no clock thread left.
bool LaunchClockThread(HANDLE stopEvent) {
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = FALSE;
    LARGE_INTEGER frequency;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) ||
        !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        return false;
    }
    ClockThread clock = {};
    clock.timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (clock.timer == nullptr) {
        return false;
    }
    const HANDLE process = GetCurrentProcess();
    if (stopEvent != nullptr) {
        // Our own handle: the owner of the event may close its handle once it has set it.
        if (!DuplicateHandle(process, stopEvent, process, &clock.stop, SYNCHRONIZE, FALSE, 0)) {
            clock.stop = nullptr;
        }
    } else {
        clock.stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    if (clock.stop == nullptr) {
        CloseHandle(clock.timer);
        return false;
    }
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&HighPerfClockThread), &clock.module)) {
        clock.module = nullptr;
    }

    AcquireSRWLockExclusive(&g_anchorLock);
    g_anchor.frequency = static_cast<uint64_t>(frequency.QuadPart);
    g_anchor.tickIncrement = increment;
    g_anchor.wrapCorrection = 0;
    ReleaseSRWLockExclusive(&g_anchorLock);
    g_lastAnchorTime = 0;
    Anchor();

    g_clock = clock;
    g_clock.thread =
        CreateThread(nullptr, 0, HighPerfClockThread, nullptr, CREATE_SUSPENDED, nullptr);
    if (g_clock.thread == nullptr) {
        if (clock.module != nullptr) {
            FreeLibrary(clock.module);
        }
        ForgetClockThread();
        return false;
    }
    SetThreadPriority(g_clock.thread, THREAD_PRIORITY_TIME_CRITICAL);
    Anchor();
    ResumeThread(g_clock.thread);
    return true;
}

} // namespace

DWORD WINAPI HighPerfClockThread(LPVOID) {
    // The start filled g_clock before creating this thread and leaves it alone while it lives.
    const HANDLE timer = g_clock.timer;
    const HANDLE stop = g_clock.stop;
    const HMODULE module = g_clock.module;

    LARGE_INTEGER due;
    due.QuadPart = 0; // first expiry at once
    if (SetWaitableTimer(timer, &due, 1, AnchorOnTimer, nullptr, FALSE)) {
        Anchor();
        InterlockedExchange(&g_running, 1);
        // Each completed timer callback ends the wait; the stop signal, or a wait that fails,
        // ends the clock.
        while (WaitForSingleObjectEx(stop, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
        }
        InterlockedExchange(&g_running, 0);
        CancelWaitableTimer(timer);
    }

    AcquireSRWLockExclusive(&g_startLock);
    ForgetClockThread();
    ReleaseSRWLockExclusive(&g_startLock);
    // The thread holds a reference on the module that contains it, so that a host unloading the
    // library right after the stop signal does not pull the code from under it.
    if (module != nullptr) {
        FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

bool StartPreciseClock(HANDLE stopEvent) {
    const SystemIdentity& identity = LocalSystemIdentity();
    // An unidentified system (platform 0) is not refused: only a known non-NT platform is.
    if (identity.platformId != 0 && !identity.isNT) {
        return false;
    }

    // A clock that was told to stop may still be ending: wait for it without holding the lock,
    // which it takes on its way out.
    // (Deadlines by the tick count: Sleep(1) may last a whole step of the system clock.)
    const ULONGLONG giveUp = GetTickCount64() + kPreviousClockWaitMs;
    for (;;) {
        AcquireSRWLockExclusive(&g_startLock);
        if (g_clock.thread == nullptr) {
            break;
        }
        const bool live = ClockThreadLive();
        ReleaseSRWLockExclusive(&g_startLock);
        if (live) {
            return true;
        }
        if (GetTickCount64() > giveUp) {
            return false;
        }
        Sleep(1);
    }
    const bool launched = LaunchClockThread(stopEvent);
    ReleaseSRWLockExclusive(&g_startLock);
    if (!launched) {
        return false;
    }
    const ULONGLONG firstAnchorBy = GetTickCount64() + kFirstAnchorWaitMs;
    while (!PreciseClockRunning() && GetTickCount64() <= firstAnchorBy) {
        Sleep(1);
    }
    return PreciseClockRunning();
}

bool PreciseClockRunning() {
    return g_running != 0;
}

uint64_t PreciseFileTimeNow() {
    if (g_running == 0) {
        return SystemFileTime();
    }
    const LONG generation = g_generation;
    const uint64_t plain = SystemFileTime();
    uint64_t now;
    if (!CounterNow(&now)) {
        return plain;
    }
    AcquireSRWLockShared(&g_anchorLock);
    const ClockAnchor anchor = g_anchor;
    ReleaseSRWLockShared(&g_anchorLock);
    return InterpolatedFileTime(anchor, now, anchor.generation != static_cast<uint32_t>(generation),
                                plain);
}

void PreciseUtcSystemTime(SYSTEMTIME* out) {
    if (out == nullptr) {
        return;
    }
    if (g_running != 0) {
        const FILETIME now = ToFileTime(PreciseFileTimeNow());
        if (FileTimeToSystemTime(&now, out)) {
            return;
        }
    }
    GetSystemTime(out);
}

void PreciseLocalSystemTime(SYSTEMTIME* out) {
    if (out == nullptr) {
        return;
    }
    if (g_running != 0) {
        const FILETIME now = ToFileTime(PreciseFileTimeNow());
        SYSTEMTIME utc;
        if (FileTimeToSystemTime(&now, &utc) &&
            SystemTimeToTzSpecificLocalTime(nullptr, &utc, out)) {
            return;
        }
    }
    GetLocalTime(out);
}

uint32_t UnixTimeNow() {
    return FileTimeToUnixSeconds(SystemFileTime());
}

namespace {
SRWLOCK g_priorityLock = SRWLOCK_INIT;
PriorityNesting g_priorityTable[kPriorityTableEntries] = {};
} // namespace

void RaiseThreadPriority(bool on) {
    AcquireSRWLockExclusive(&g_priorityLock);
    const bool critical = NestThreadPriority(g_priorityTable, GetCurrentThreadId(), on);
    ReleaseSRWLockExclusive(&g_priorityLock);
    const int target = critical ? THREAD_PRIORITY_TIME_CRITICAL : THREAD_PRIORITY_NORMAL;
    const HANDLE self = GetCurrentThread();
    if (GetThreadPriority(self) != target) {
        SetThreadPriority(self, target);
    }
}
