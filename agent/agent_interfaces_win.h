// The services the agent's start, loop and stop call on the other subsystems: the precise
// clock, the shared blocks, the status records, the responder, the history file and the check.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "agent/shared_blocks_win.h"
#include "agent/time_source_judge.h"
#include "history/drift_file_win.h"
#include "timesrc/precise_clock_win.h"

// Status records: the role code of the agent is 7.
void InitAgentStatusBlock(uint8_t role);
void InitVersionRecord(uint8_t role);
void BuildStatusRecord();
DWORD GetInstallationId();
void StatusSetPending(bool pending);
void StatusCountSync(bool success);
void StatusNoteSync(uint32_t lastSyncTime);
void StatusSetPartnerName(const char* name);
void StatusMarkThreadStart(uint32_t now);
// A verified variance in milliseconds: added to the sum of offsets and kept as the last one.
void StatusAddOffset(int64_t offsetMs);
// The role byte of the agent's status block (7 for the agent).
uint8_t StatusRole();
void StatusMarkThreadEnd();

// Management responder.
void LoadCommandFilter(const char* path);
bool OpenResponder();
void CloseResponder();
void HandleManagementRequest(SOCKET socket);

// Sync check: when (seconds since 1970, 0 for now), reason code, after a synchronization; what
// it found goes to outcome when one is given.
bool CheckSystemClock(uint32_t when, uint8_t reason, bool afterSync,
                      CheckOutcome* outcome = nullptr);
