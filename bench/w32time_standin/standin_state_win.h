// The stand-in's scripted synchronization state: what GetTimeSysInfo answers, kept in the
// registry (HKLM\Software\HorologixBench\W32TimeStandin, 64-bit view) so the command-line tool,
// tests and the running service share it.
#pragma once
#include <windows.h>

#include <cstdint>

namespace standin {

struct SyncState {
    uint64_t lastSyncTime = 0; // file time of the last synchronization; 0 while never synced
    uint32_t stratum = 0;      // answered as a BYTE (values above 255 answer 255)
    uint32_t refId = 0;        // reference identifier; for a network partner its IPv4 address
                               // in network byte order
    uint32_t tsFlags = 0;      // TSF_Hardware, TSF_Authenticated
    int64_t offsetMs = 0;      // added to the real clock for TSI_CurrentTime; positive = ahead
    uint32_t leapFlags = 0;    // answered as a BYTE
    int64_t phaseOffset = 0;   // 100 ns units
    int32_t pollInterval = 10; // log2 seconds
    uint64_t clockTickSize = 156250;   // 100 ns units
    int32_t clockPrecision = -6;       // log2 seconds
    int64_t rootDelay = 0;             // 100 ns units
    uint64_t rootDispersion = 0;       // 100 ns units
    uint32_t samplesIntervalMs = 5000; // periodic TPC_GetSamples; 0 turns it off
    // What a demand synchronization (W32TimeSyncNow) does besides being logged: with
    // syncOnSyncNow set, the service synchronizes with the syncNow partner at once.
    uint32_t syncOnSyncNow = 0;
    uint32_t syncNowRefId = 0;
    uint32_t syncNowStratum = 0;
    uint32_t syncNowTsFlags = 0;
    // Non-zero: W32TimeSyncNow returns this Windows error without asking the service.
    uint32_t syncNowRefuse = 0;
};

// Reads the state; missing values keep their defaults (a missing key gives the defaults).
SyncState LoadSyncState();
// Writes every value; returns the registry error (0 on success).
LONG SaveSyncState(const SyncState& state);
// Removes the key: the defaults apply again. A missing key is success.
LONG DeleteSyncState();
// Scripts a synchronization with the partner (dotted quad) at this stratum, now; the running
// service takes it up on its reload control. ERROR_INVALID_PARAMETER for a partner that is no
// address, otherwise the registry error.
LONG ScriptSynchronization(const char* partner, uint32_t stratum);

// Deletes root\path (in the given registry view, 0 or KEY_WOW64_64KEY) when it has neither
// subkeys nor values.
void DeleteKeyIfEmpty(HKEY root, const wchar_t* path, REGSAM view);

// The current system time as a file time, plus offsetMs (never below 0).
uint64_t OffsetFileTimeNow(int64_t offsetMs);

} // namespace standin
