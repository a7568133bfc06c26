// The family's sync-status block and our activity block. Until the shared memory lands the
// block reads as mapped with no family owner, so the agent holds the role.
#include "agent/shared_blocks_win.h"

bool OpenSyncStatusBlock(DWORD) {
    return true;
}
bool SyncStatusMapped() {
    return true;
}
bool SyncStatusOwnerPresent() {
    return false;
}
HANDLE SyncStatusNotifyEvent() {
    return nullptr;
}
void QuorvexSyncStatusShutdown(bool) {}
void OpenActivityIndicator() {}
void SetActivityIndicator(uint32_t) {}
void CloseActivityIndicator() {}
