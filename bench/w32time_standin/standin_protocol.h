// Names and codes shared by the W32Time stand-in, its command-line tool, its w32time.dll and tests.
#pragma once

#include <cstdint>

namespace standin {

// The stand-in registers under the real service's name, so product code finds it as W32Time.
constexpr const wchar_t* kServiceName = L"W32Time";
constexpr const wchar_t* kDisplayName = L"Windows Time (bench stand-in)";

constexpr const wchar_t* kServiceKey = L"System\\CurrentControlSet\\Services\\W32Time";
constexpr const wchar_t* kProvidersKey =
    L"System\\CurrentControlSet\\Services\\W32Time\\TimeProviders";

// The scripted synchronization state, under HKEY_LOCAL_MACHINE, always in the 64-bit view.
constexpr const wchar_t* kStateKey = L"Software\\HorologixBench\\W32TimeStandin";

// The log, in the Windows folder's temp folder: one tab-separated record per line.
constexpr const wchar_t* kLogFileName = L"w32time-standin.log";

// User-defined service control codes (the range 128..255 the service manager passes through).
constexpr uint32_t kControlReloadState = 128;    // re-read the state key now
constexpr uint32_t kControlTimeJumped = 129;     // TPC_TimeJumped, flags TJF_Default
constexpr uint32_t kControlTimeJumpedUser = 130; // TPC_TimeJumped, flags TJF_UserRequested
constexpr uint32_t kControlSamplesNow = 131;     // TPC_GetSamples to every input provider now
// A demand synchronization as W32TimeSyncNow asks it: the code carries the call's arguments,
// bit 5 the wait flag and bits 0..4 the flags (higher flag bits are not carried).
constexpr uint32_t kControlSyncNowBase = 192;
constexpr uint32_t kSyncNowWaitBit = 0x20;
constexpr uint32_t kSyncNowFlagMask = 0x1F;

constexpr uint32_t SyncNowControl(bool wait, uint32_t flags) {
    return kControlSyncNowBase | (wait ? kSyncNowWaitBit : 0) | (flags & kSyncNowFlagMask);
}
constexpr bool IsSyncNowControl(uint32_t code) {
    return code >= kControlSyncNowBase && code <= 255;
}

} // namespace standin
