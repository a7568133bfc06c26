// The 32-bit w32time.dll stand-in: its undecorated export reaches the 64-bit W32Time stand-in
// that the bench installed, as a 32-bit caller of W32TimeSyncNow would.
#include <windows.h>

#include <gtest/gtest.h>

#include "bench/w32time_standin/standin_client_win.h"
#include "bench/w32time_standin/standin_state_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"

namespace standin {
namespace {

constexpr DWORD kServiceTimeoutMs = winbench::kPatienceMs;

TEST(StandinSyncNow32, undecorated_export_answers_by_the_service_state) {
    ServiceInfo info;
    if (QueryStandin(&info) == ERROR_SERVICE_DOES_NOT_EXIST) {
        GTEST_SKIP() << "the W32Time stand-in is installed by the 64-bit build's bench session";
    }
    const bool wasRunning = info.state == SERVICE_RUNNING;
    // The system folder of a 32-bit process is syswow64 under WOW64.
    UniqueLibrary library(LoadLibraryW((SystemFolder() + L"\\w32time.dll").c_str()));
    ASSERT_TRUE(library);
    using SyncNowFunction = DWORD(WINAPI*)(LPCWSTR, ULONG, ULONG);
    const auto syncNow = reinterpret_cast<SyncNowFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "W32TimeSyncNow")));
    ASSERT_NE(syncNow, nullptr);

    ASSERT_EQ(StopStandin(kServiceTimeoutMs), 0u);
    // The scripted answers' defaults: a demand sync is logged and accepted.
    ASSERT_EQ(DeleteSyncState(), ERROR_SUCCESS);
    ScopeExit defaults([] { DeleteSyncState(); });
    EXPECT_EQ(syncNow(nullptr, 0, 1), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    const uint64_t logStart = LogSize();
    ASSERT_EQ(StartStandin(kServiceTimeoutMs), 0u);
    EXPECT_EQ(syncNow(nullptr, 1, 3), 0u);
    bool logged = false;
    for (const Record& record : ReadLog(logStart)) {
        logged = logged || (record.size() >= 5 && record[1] == "SyncNow" && record[2] == "1" &&
                            record[3] == "0x3");
    }
    EXPECT_TRUE(logged);
    if (!wasRunning) {
        EXPECT_EQ(StopStandin(kServiceTimeoutMs), 0u);
    }
}

} // namespace
} // namespace standin
