// The services the agent's start, loop and stop call: the precise clock, the shared blocks, the
// status records and the responder (declared by the responder), the history file and the check.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "agent/shared_blocks_win.h"
#include "agent/time_source_judge.h"
#include "history/drift_file_win.h"
#include "responder/responder_win.h"
#include "responder/status_records_win.h"
#include "timesrc/precise_clock_win.h"

// Sync check: when (seconds since 1970, 0 for now), reason code, after a synchronization; what
// it found goes to outcome when one is given.
bool CheckSystemClock(uint32_t when, uint8_t reason, bool afterSync,
                      CheckOutcome* outcome = nullptr);
