// The sync-status block and the activity block as named, page-file-backed mappings. Other
// processes share them word by word: every access to a view is one aligned 32-bit load or store,
// and the words' values come from the portable layout (little-endian, as this machine is).
#include "agent/shared_blocks_win.h"

#include <cstdio>
#include <cstring>

#include "common/system_identity.h"

namespace {

static_assert(sizeof(LONG) == 4, "views are accessed in 32-bit words");

bool g_refuseGlobal = false;

SECURITY_DESCRIPTOR g_openDescriptor;
SECURITY_ATTRIBUTES g_openAttributes;
INIT_ONCE g_openAttributesOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitOpenAttributes(PINIT_ONCE, PVOID, PVOID*) {
    if (!InitializeSecurityDescriptor(&g_openDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&g_openDescriptor, TRUE, nullptr, FALSE)) {
        return FALSE;
    }
    g_openAttributes.nLength = sizeof(g_openAttributes);
    g_openAttributes.lpSecurityDescriptor = &g_openDescriptor;
    g_openAttributes.bInheritHandle = FALSE;
    return TRUE;
}

// "Global\" and the name, cut to the buffer (names here are short and fixed).
void GlobalName(const char* name, char* out, size_t size) {
    std::snprintf(out, size, "%s%s", kGlobalNamePrefix, name);
}

bool GlobalRefused() {
    if (g_refuseGlobal) {
        SetLastError(ERROR_ACCESS_DENIED);
        return true;
    }
    return false;
}

// Creates or opens a page-file-backed mapping of size bytes, first as "Global\<name>" when
// tryGlobal, then in the session's namespace. Null when both fail.
HANDLE CreateSharedMapping(const char* name, DWORD size, bool tryGlobal) {
    const DWORD protection = PAGE_READWRITE | SEC_COMMIT | SEC_NOCACHE;
    if (tryGlobal && !GlobalRefused()) {
        char global[96];
        GlobalName(name, global, sizeof(global));
        if (HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, OpenToAllAttributes(),
                                                protection, 0, size, global)) {
            return mapping;
        }
    }
    return CreateFileMappingA(INVALID_HANDLE_VALUE, OpenToAllAttributes(), protection, 0, size,
                              name);
}

volatile LONG* Words(void* view) {
    return static_cast<volatile LONG*>(view);
}

void StoreWord(void* view, size_t index, uint32_t value) {
    InterlockedExchange(Words(view) + index, static_cast<LONG>(value));
}

// Writes the block's words into a view: every word but owner present first, owner present
// last, so that a reader that sees a holder also sees what it wrote.
void StoreSyncStatus(void* view, const SyncStatusBlock& block) {
    uint8_t bytes[kSyncStatusBlockSize];
    EncodeSyncStatusBlock(block, bytes);
    for (size_t i = 0; i < kSyncStatusWordCount; ++i) {
        if (i != kSyncOwnerPresentWord) {
            uint32_t word;
            std::memcpy(&word, bytes + 4 * i, 4);
            StoreWord(view, i, word);
        }
    }
    uint32_t owner;
    std::memcpy(&owner, bytes + 4 * kSyncOwnerPresentWord, 4);
    StoreWord(view, kSyncOwnerPresentWord, owner);
}

SyncStatusBlock LoadSyncStatus(const void* view) {
    const volatile LONG* words = static_cast<const volatile LONG*>(view);
    uint8_t bytes[kSyncStatusBlockSize];
    for (size_t i = 0; i < kSyncStatusWordCount; ++i) {
        const uint32_t word = static_cast<uint32_t>(words[i]);
        std::memcpy(bytes + 4 * i, &word, 4);
    }
    return DecodeSyncStatusBlock(bytes);
}

// The sync-status module: opened once per process, guarded by the lock.
struct SyncStatusState {
    bool initialized;
    bool writable; // mapped with full access (announced as holder)
    HANDLE mapping;
    void* view;
    HANDLE notifyEvent;
};
SRWLOCK g_syncLock = SRWLOCK_INIT;
SyncStatusState g_sync = {};

// The activity block. The view pointer is read without the lock by SetActivityIndicator.
SRWLOCK g_activityLock = SRWLOCK_INIT;
HANDLE g_activityMapping = nullptr;
void* volatile g_activityView = nullptr;

} // namespace

SECURITY_ATTRIBUTES* OpenToAllAttributes() {
    if (!InitOnceExecuteOnce(&g_openAttributesOnce, InitOpenAttributes, nullptr, nullptr)) {
        return nullptr; // the system's default security then
    }
    return &g_openAttributes;
}

void RefuseGlobalNamesForTesting(bool refuse) {
    g_refuseGlobal = refuse;
}

HANDLE CreateGlobalEvent(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                         const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return CreateEventA(attributes, manualReset, initialState, nullptr);
    }
    if (!GlobalRefused()) {
        char global[96];
        GlobalName(name, global, sizeof(global));
        if (HANDLE event = CreateEventA(attributes, manualReset, initialState, global)) {
            return event;
        }
    }
    return CreateEventA(attributes, manualReset, initialState, name);
}

bool OpenSyncStatusBlock(DWORD owner, HANDLE* notifyEvent) {
    AcquireSRWLockExclusive(&g_syncLock);
    if (!g_sync.initialized) {
        g_sync = SyncStatusState{};
        g_sync.initialized = true;
        g_sync.notifyEvent =
            CreateGlobalEvent(OpenToAllAttributes(), TRUE, FALSE, kSyncStatusEventName);
        g_sync.mapping = CreateSharedMapping(kSyncStatusMappingName, kSyncStatusBlockSize, true);
        if (g_sync.mapping != nullptr) {
            g_sync.view =
                MapViewOfFile(g_sync.mapping, owner == 0 ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS, 0,
                              0, kSyncStatusBlockSize);
            if (g_sync.view == nullptr) {
                CloseHandle(g_sync.mapping);
                g_sync.mapping = nullptr;
            }
        }
        if (g_sync.view != nullptr && owner != 0) {
            g_sync.writable = true;
            StoreSyncStatus(g_sync.view, AnnouncedSyncStatus(owner));
            if (g_sync.notifyEvent != nullptr) {
                PulseEvent(g_sync.notifyEvent);
            }
        }
    }
    if (notifyEvent != nullptr) {
        *notifyEvent = g_sync.notifyEvent;
    }
    const bool mapped = g_sync.view != nullptr;
    ReleaseSRWLockExclusive(&g_syncLock);
    return mapped;
}

bool SyncStatusMapped() {
    AcquireSRWLockShared(&g_syncLock);
    const bool mapped = g_sync.view != nullptr;
    ReleaseSRWLockShared(&g_syncLock);
    return mapped;
}

bool SyncStatusOwnerPresent() {
    AcquireSRWLockShared(&g_syncLock);
    const bool present = g_sync.view != nullptr && HolderPresent(LoadSyncStatus(g_sync.view));
    ReleaseSRWLockShared(&g_syncLock);
    return present;
}

HANDLE SyncStatusNotifyEvent() {
    AcquireSRWLockShared(&g_syncLock);
    const HANDLE event = g_sync.notifyEvent;
    ReleaseSRWLockShared(&g_syncLock);
    return event;
}

void QuorvexSyncStatusShutdown(bool announce) {
    AcquireSRWLockExclusive(&g_syncLock);
    if (!g_sync.initialized) {
        ReleaseSRWLockExclusive(&g_syncLock);
        return;
    }
    // Only a holder's view is writable; a watcher has nothing to release.
    if (announce && g_sync.view != nullptr && g_sync.writable) {
        StoreSyncStatus(g_sync.view, ReleasedSyncStatus(LoadSyncStatus(g_sync.view)));
    }
    if (g_sync.notifyEvent != nullptr) {
        if (announce) {
            PulseEvent(g_sync.notifyEvent);
        }
        CloseHandle(g_sync.notifyEvent);
    }
    if (g_sync.view != nullptr) {
        UnmapViewOfFile(g_sync.view);
    }
    if (g_sync.mapping != nullptr) {
        CloseHandle(g_sync.mapping);
    }
    g_sync = SyncStatusState{};
    ReleaseSRWLockExclusive(&g_syncLock);
}

void OpenActivityIndicator() {
    AcquireSRWLockExclusive(&g_activityLock);
    if (g_activityView == nullptr) {
        // Windows before 2000 has no "Global\" namespace; an unidentified system counts as
        // current.
        const uint32_t major = LocalSystemIdentity().majorVersion;
        const bool tryGlobal = major == 0 || major >= 5;
        HANDLE mapping = CreateSharedMapping(kActivityMappingName, kActivityBlockSize, tryGlobal);
        void* view = mapping != nullptr
                         ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kActivityBlockSize)
                         : nullptr;
        if (view == nullptr) {
            if (mapping != nullptr) {
                CloseHandle(mapping);
            }
        } else {
            for (size_t i = 0; i < kActivitySlotCount; ++i) {
                StoreWord(view, i, 0);
            }
            g_activityMapping = mapping;
            InterlockedExchangePointer(const_cast<void**>(&g_activityView), view);
        }
    }
    ReleaseSRWLockExclusive(&g_activityLock);
}

void SetActivityIndicator(uint32_t slot) {
    size_t offset;
    void* view = g_activityView;
    if (view == nullptr || !ActivitySlotOffset(slot, &offset)) {
        return;
    }
    StoreWord(view, offset / 4, kActivityMark);
}

void CloseActivityIndicator() {
    AcquireSRWLockExclusive(&g_activityLock);
    void* view = InterlockedExchangePointer(const_cast<void**>(&g_activityView), nullptr);
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (g_activityMapping != nullptr) {
        CloseHandle(g_activityMapping);
        g_activityMapping = nullptr;
    }
    ReleaseSRWLockExclusive(&g_activityLock);
}
