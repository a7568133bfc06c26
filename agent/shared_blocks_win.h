// The family's sync-status block (a family service announces there that it manages the clock)
// and our activity block (slots a family display may show), both named shared memory.
#pragma once
#include <windows.h>

#include <cstdint>

bool OpenSyncStatusBlock(DWORD owner);
bool SyncStatusMapped();
// A family service announces that it manages the clock.
bool SyncStatusOwnerPresent();
HANDLE SyncStatusNotifyEvent();
void QuorvexSyncStatusShutdown(bool owner);

void OpenActivityIndicator();
// Writes 5 into the slot (0-63) when the block is open; does nothing otherwise.
void SetActivityIndicator(uint32_t slot);
void CloseActivityIndicator();
