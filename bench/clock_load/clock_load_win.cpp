// clock-load.exe: the workloads that bench/clock-bench measures from outside (the CPU time of
// this process and of wineserver, through /proc), and the cost of one precise-clock reading.
//
//   clock-load idle SECONDS    does nothing: the floor
//   clock-load timer SECONDS   a bare 1 ms periodic waitable timer, empty completion routine
//   clock-load agent SECONDS   the agent started through TimeProvOpen for a service that never
//                               synchronizes: its thread and its precise clock, stopped through
//                               TimeProvClose at the end (the agent key keeps what a stop leaves)
//   clock-load cost CALLS      ns per call of the system time, the counter and the precise
//                               clock, and how precise readings sit against the plain time
//
// The workloads print "ready" once set up and "done" when their time is up.
#include <winsock2.h>
#include <windows.h>
#include <timeprov.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/fake_service/fake_service_win.h"
#include "timesrc/precise_clock_win.h"

namespace {

uint64_t SystemNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t Counter() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return static_cast<uint64_t>(value.QuadPart);
}

double CounterSeconds(uint64_t ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

void Say(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

volatile LONG g_callbacks = 0;

VOID CALLBACK CountCallback(LPVOID, DWORD, DWORD) {
    InterlockedIncrement(&g_callbacks);
}

int Idle(DWORD seconds) {
    Say("ready");
    Sleep(seconds * 1000);
    Say("done");
    return 0;
}

int BareTimer(DWORD seconds) {
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = 0;
    if (timer == nullptr || !SetWaitableTimer(timer, &due, 1, CountCallback, nullptr, FALSE)) {
        std::fprintf(stderr, "clock-load: the timer cannot be set: error %lu\n", GetLastError());
        return 1;
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL); // as the clock thread
    Say("ready");
    const ULONGLONG end = GetTickCount64() + seconds * 1000ull;
    while (GetTickCount64() < end) {
        SleepEx(static_cast<DWORD>(end - GetTickCount64()), TRUE);
    }
    CancelWaitableTimer(timer);
    CloseHandle(timer);
    Say("done");
    std::printf("timer callbacks: %.0f per second\n", g_callbacks / static_cast<double>(seconds));
    return 0;
}

int IdleAgent(DWORD seconds) {
    TimeProvHandle handle = fake_service::OpenAgent();
    if (handle == nullptr) {
        std::fprintf(stderr, "clock-load: the agent did not start\n");
        return 1;
    }
    if (!PreciseClockRunning()) {
        std::fprintf(stderr, "clock-load: the agent runs without its precise clock\n");
    }
    Sleep(2000); // past the agent's start-up work
    Say("ready");
    Sleep(seconds * 1000);
    Say("done");
    TimeProvClose(handle);
    return 0;
}

// ns per call of read, over calls calls.
template <typename Read> double NsPerCall(Read read, unsigned long calls) {
    volatile uint64_t sink = 0;
    const uint64_t start = Counter();
    for (unsigned long i = 0; i < calls; ++i) {
        sink = sink + read();
    }
    return CounterSeconds(Counter() - start) * 1e9 / calls;
}

int Cost(unsigned long calls) {
    const double system = NsPerCall(SystemNow, calls);
    const double counter = NsPerCall(Counter, calls);
    const double fallback = NsPerCall(PreciseFileTimeNow, calls);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!StartPreciseClock(stop)) {
        std::fprintf(stderr, "clock-load: the precise clock does not start\n");
        return 1;
    }
    const double precise = NsPerCall(PreciseFileTimeNow, calls);

    // How the readings behave: steps back between consecutive readings of one thread, and
    // where a precise reading sits against the plain time read right after it.
    unsigned long backwards = 0;
    uint64_t largestBack = 0;
    int64_t lowest = INT64_MAX, highest = INT64_MIN;
    double sum = 0;
    uint64_t previous = PreciseFileTimeNow();
    for (unsigned long i = 0; i < calls; ++i) {
        const uint64_t reading = PreciseFileTimeNow();
        const int64_t against = static_cast<int64_t>(reading - SystemNow());
        if (reading < previous) {
            ++backwards;
            if (previous - reading > largestBack) {
                largestBack = previous - reading;
            }
        }
        previous = reading;
        lowest = against < lowest ? against : lowest;
        highest = against > highest ? against : highest;
        sum += static_cast<double>(against);
    }
    SetEvent(stop);
    CloseHandle(stop);

    std::printf("ns per call over %lu calls:\n", calls);
    std::printf("  GetSystemTimeAsFileTime            %8.1f\n", system);
    std::printf("  QueryPerformanceCounter            %8.1f\n", counter);
    std::printf("  PreciseFileTimeNow, clock running  %8.1f  (%.2f x the system time)\n", precise,
                precise / system);
    std::printf("  PreciseFileTimeNow, not started    %8.1f\n", fallback);
    std::printf("precise readings: %lu steps back in %lu (largest %llu units of 100 ns)\n",
                backwards, calls, static_cast<unsigned long long>(largestBack));
    std::printf("precise minus the plain time read after it: min %lld, mean %.1f, max %lld "
                "units\n",
                static_cast<long long>(lowest), sum / calls, static_cast<long long>(highest));
    return 0;
}

bool Number(const char* text, unsigned long low, unsigned long high, unsigned long* value) {
    char* end = nullptr;
    *value = std::strtoul(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && *value >= low && *value <= high;
}

} // namespace

int main(int argc, char** argv) {
    unsigned long number = 0;
    if (argc != 3 || !Number(argv[2], 1, 100000000, &number)) {
        std::fputs("usage: clock-load idle|timer|agent SECONDS | cost CALLS\n", stderr);
        return 2;
    }
    const DWORD seconds = static_cast<DWORD>(number);
    if (std::strcmp(argv[1], "idle") == 0 && number <= 86400) {
        return Idle(seconds);
    }
    if (std::strcmp(argv[1], "timer") == 0 && number <= 86400) {
        return BareTimer(seconds);
    }
    if (std::strcmp(argv[1], "agent") == 0 && number <= 86400) {
        return IdleAgent(seconds);
    }
    if (std::strcmp(argv[1], "cost") == 0) {
        return Cost(number);
    }
    std::fputs("usage: clock-load idle|timer|agent SECONDS | cost CALLS\n", stderr);
    return 2;
}
