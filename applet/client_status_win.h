// The live status display of the Client page: the background thread that, every 8 seconds or
// when a page asks, measures the target machine against the six typed servers and shows each
// row's variance and stratum, the verdict icon and line; and the "Sync Now" and time-source
// refreshes that other pages call too.
#pragma once
#include <windows.h>

#include <cstdint>

#include "applet/client_rules.h"

struct SheetResources;

constexpr int kClientRows = kClientRowCount;
// Control ids of the six rows, in row order.
extern const int kServerEditIds[kClientRows];
extern const int kServerModeIds[kClientRows];
extern const int kVarianceIds[kClientRows];
extern const int kStratumIds[kClientRows];

// How long the thread waits between passes when nobody asks, and the limits of one pass.
constexpr DWORD kStatusPeriodMs = 8000;
constexpr uint32_t kStatusQueryTimeoutMs = 500;
constexpr DWORD kStatusRowPauseMs = 150;

// Called by the Client page at initialization: keeps the page and its rows' windows for the
// status thread (the 2000 template has no mode lists) and lets the thread run.
void AttachClientPage(HWND page);
// Called when the Client page is destroyed: from then on the thread touches no window, and a
// pass in flight ends at its next check.
void DetachClientPage(HWND page);
// Asks the status thread for a pass now.
void RequestStatusCheck();

// Sent by the status thread to the Client page when it has looked at the service: the page
// then calls UpdateSyncNowButton on its own thread.
constexpr UINT kSyncNowStateMessage = WM_APP + 16;

// What "Sync Now" is decided from, kept here because the status thread and the pages both
// report it: whether the time service of the target runs (as last seen by the status thread, or
// by the Service page after starting or stopping it), and whether a synchronization the user
// asked for is pending (set when the time-source line says "Please wait....", cleared when the
// line is written again).
void NoteTimeServiceRunning(bool running);
void NoteSyncPending();

// The thread body the frame runs (its own reference to the sheet's resources).
DWORD SyncStatusThread(SheetResources* resources);
// One full status pass over the page's rows; returns 1.
int CheckSyncStatus(HWND page);

// The status icon the Client page shows now (kVerdictUnknown when no pass has judged yet or
// there is no Client page).
int ClientStatusIcon();
