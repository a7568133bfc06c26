// The precise clock in this process: readings, start and stop on the stop event, the fallback
// to the system time, and the nested priority raise. Each case runs in a process of its own.
#include "timesrc/precise_clock_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "common/system_identity.h"
#include "config/system_identity_win.h"

namespace {

uint64_t SystemNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t CounterNow() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<uint64_t>(counter.QuadPart);
}

// Busy-waits until the performance counter has advanced by the given microseconds.
void SpinMicroseconds(uint64_t microseconds) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const uint64_t until = CounterNow() + microseconds * frequency.QuadPart / 1000000;
    while (CounterNow() < until) {
    }
}

bool WaitUntilStopped() {
    return WaitFor([] { return !PreciseClockRunning(); }, kPatienceMs);
}

// The reading lies between two plain readings taken around it, allowing for the system clock's
// step (the precise clock may run ahead of a system time that has not stepped yet).
void ExpectNearSystemTime(uint64_t (*read)()) {
    const uint64_t before = SystemNow();
    const uint64_t reading = read();
    const uint64_t after = SystemNow();
    EXPECT_GE(reading + 10000, before);
    EXPECT_LE(reading, after + 156250 + 10000);
}

// Thread body: 0 when one raise from below-normal priority and its lowering end at normal.
DWORD WINAPI RaiseOnceFromBelowNormal(LPVOID) {
    const HANDLE me = GetCurrentThread();
    SetThreadPriority(me, THREAD_PRIORITY_BELOW_NORMAL);
    RaiseThreadPriority(true);
    const bool raised = GetThreadPriority(me) == THREAD_PRIORITY_TIME_CRITICAL;
    RaiseThreadPriority(false);
    return raised && GetThreadPriority(me) == THREAD_PRIORITY_NORMAL ? 0 : 1;
}

class PreciseClock : public ::testing::Test {
protected:
    void SetUp() override {
        IdentifyLocalSystem();
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stop_, nullptr);
    }
    void TearDown() override {
        if (stop_ != nullptr) {
            SetEvent(stop_);
            CloseHandle(stop_);
        }
        EXPECT_TRUE(WaitUntilStopped());
    }
    HANDLE stop_ = nullptr;
};

} // namespace

TEST(PreciseClockNotStarted, readers_give_the_plain_system_time) {
    ASSERT_FALSE(PreciseClockRunning());
    for (int i = 0; i < 100; ++i) {
        const uint64_t before = SystemNow();
        const uint64_t reading = PreciseFileTimeNow();
        const uint64_t after = SystemNow();
        ASSERT_LE(before, reading);
        ASSERT_LE(reading, after);
    }
    SYSTEMTIME precise, plain;
    PreciseUtcSystemTime(&precise);
    GetSystemTime(&plain);
    EXPECT_EQ(precise.wYear, plain.wYear);
    EXPECT_EQ(precise.wDayOfWeek, plain.wDayOfWeek);
    PreciseUtcSystemTime(nullptr);
    PreciseLocalSystemTime(nullptr);
}

TEST_F(PreciseClock, readings_a_millisecond_apart_differ_by_about_10000_units) {
    ASSERT_TRUE(StartPreciseClock(stop_));
    ASSERT_TRUE(PreciseClockRunning());
    std::vector<uint64_t> steps;
    for (int i = 0; i < 21; ++i) {
        const uint64_t first = PreciseFileTimeNow();
        SpinMicroseconds(1000);
        const uint64_t second = PreciseFileTimeNow();
        ASSERT_GE(second, first);
        steps.push_back(second - first);
    }
    std::sort(steps.begin(), steps.end());
    const uint64_t median = steps[steps.size() / 2];
    printf("median step over 1 ms of the counter: %llu units\n",
           static_cast<unsigned long long>(median));
    EXPECT_GE(median, 9500u);
    EXPECT_LE(median, 11500u);

    for (int i = 0; i < 200; ++i) {
        ExpectNearSystemTime(PreciseFileTimeNow);
    }
    SYSTEMTIME utc, local, plainLocal;
    const uint64_t beforeUtc = SystemNow();
    PreciseUtcSystemTime(&utc);
    const uint64_t afterUtc = SystemNow();
    PreciseLocalSystemTime(&local);
    GetLocalTime(&plainLocal);
    FILETIME utcFile;
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &utcFile));
    const uint64_t utcValue =
        (static_cast<uint64_t>(utcFile.dwHighDateTime) << 32) | utcFile.dwLowDateTime;
    // As ExpectNearSystemTime, the calendar record cut to the millisecond.
    EXPECT_GE(utcValue + 10000 + 10000, beforeUtc);
    EXPECT_LE(utcValue, afterUtc + 156250 + 10000);
    EXPECT_EQ(local.wHour, plainLocal.wHour);
    EXPECT_EQ(local.wDay, plainLocal.wDay);
}

TEST_F(PreciseClock, a_second_start_while_running_keeps_the_clock) {
    ASSERT_TRUE(StartPreciseClock(stop_));
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(StartPreciseClock(other));
    // The clock still follows the first event, not the second.
    SetEvent(other);
    EXPECT_TRUE(StaysTrueFor(PreciseClockRunning, 200));
    CloseHandle(other);
}

TEST_F(PreciseClock, stops_on_its_event_even_when_the_owner_closes_it_and_starts_again) {
    ASSERT_TRUE(StartPreciseClock(stop_));
    // As the agent does: set the event, then close it while the clock thread may still wait.
    SetEvent(stop_);
    CloseHandle(stop_);
    stop_ = nullptr;
    EXPECT_TRUE(WaitUntilStopped());
    const uint64_t before = SystemNow();
    const uint64_t reading = PreciseFileTimeNow();
    EXPECT_LE(before, reading);
    EXPECT_LE(reading, SystemNow());

    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(StartPreciseClock(stop_));
    EXPECT_TRUE(PreciseClockRunning());
    ExpectNearSystemTime(PreciseFileTimeNow);

    // A start right after the stop signal, while the old thread may still be ending, waits for
    // it and runs a new clock.
    SetEvent(stop_);
    CloseHandle(stop_);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(StartPreciseClock(stop_));
    // The old thread's end does not stop the new clock.
    EXPECT_TRUE(StaysTrueFor(PreciseClockRunning, 200));
}

TEST(PreciseClockOwnEvent, runs_without_a_stop_event) {
    EXPECT_TRUE(StartPreciseClock(nullptr));
    EXPECT_TRUE(PreciseClockRunning());
    ExpectNearSystemTime(PreciseFileTimeNow);
}

TEST(PreciseClockOutsideNt, refuses_to_start_and_readers_use_the_system_time) {
    SystemIdentity win98{};
    win98.majorVersion = 4;
    win98.minorVersion = 10;
    win98.platformId = kPlatformWin9x;
    ClassifySystem(win98, kArchX86, false);
    ASSERT_FALSE(win98.isNT);
    SetLocalSystemIdentity(win98);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(StartPreciseClock(stop));
    EXPECT_FALSE(PreciseClockRunning());
    const uint64_t before = SystemNow();
    const uint64_t reading = PreciseFileTimeNow();
    EXPECT_LE(before, reading);
    EXPECT_LE(reading, SystemNow());
    CloseHandle(stop);
}

TEST(RaiseThreadPriority, nests_and_restores_normal_after_the_last_lowering) {
    const HANDLE self = GetCurrentThread();
    ASSERT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
    RaiseThreadPriority(true);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_TIME_CRITICAL);
    RaiseThreadPriority(true);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_TIME_CRITICAL);
    RaiseThreadPriority(false);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_TIME_CRITICAL);
    RaiseThreadPriority(false);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);

    // Another thread's raises are its own; a lowering returns to normal, not to what it had.
    HANDLE worker = CreateThread(nullptr, 0, RaiseOnceFromBelowNormal, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    RaiseThreadPriority(true);
    ASSERT_EQ(WaitForSingleObject(worker, kPatienceMs), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(worker, &code);
    CloseHandle(worker);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_TIME_CRITICAL);
    RaiseThreadPriority(false);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
}
