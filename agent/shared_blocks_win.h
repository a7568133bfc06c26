// The family's sync-status block (a family service announces there that it manages the clock)
// and our activity block (slots a family display may show), both named shared memory.
#pragma once
#include <windows.h>

#include <cstdint>

#include "common/shared_blocks.h"

// Opens the sync-status block and its notify event once per process (later calls only report):
// owner 0 watches (read-only view, as the agent does); a non-zero owner announces itself as the
// holder with that role code (owner present 1, notify pulsed). Hands out the notify event (or
// null when it could not be made) when asked. True when the block is mapped.
bool OpenSyncStatusBlock(DWORD owner, HANDLE* notifyEvent = nullptr);
bool SyncStatusMapped();
// A family service announces that it manages the clock (false when the block is not mapped).
bool SyncStatusOwnerPresent();
// The block's notify event (manual reset, pulsed by holders), or null.
HANDLE SyncStatusNotifyEvent();
// Closes the block and its event. With announce, a holder first releases the role: owner
// present 0 and a pulse of the notify event. Nothing when the block was not opened.
void QuorvexSyncStatusShutdown(bool announce);

// An event named "Global\<name>" or, when that cannot be made, "<name>"; unnamed without a name.
// Opens the event when it exists. Null on failure, with the error as the thread's last error.
HANDLE CreateGlobalEvent(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                         const char* name);
// Open-to-all security attributes (a null access list), not inheritable, for the shared objects.
SECURITY_ATTRIBUTES* OpenToAllAttributes();

// Opens (creates or joins) the activity block and zeroes its 64 slots; nothing when it is open.
void OpenActivityIndicator();
// Writes 5 into the slot (0-63) when the block is open; does nothing otherwise. Any thread.
void SetActivityIndicator(uint32_t slot);
void CloseActivityIndicator();

// Makes every "Global\" creation of this module fail as it does for a process without the
// privilege to create global objects (access denied), so that the session-local fallback can
// be tested. For tests only.
void RefuseGlobalNamesForTesting(bool refuse);
