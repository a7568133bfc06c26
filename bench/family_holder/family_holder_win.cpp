// family-holder.exe: plays a service of the family that takes the time-management role on this
// machine, for the agent's tests and the demo. Run it inside bench/session, for example
// "bench/wine-exec build/win64/bench/family-holder.exe announce &":
//
//   family-holder announce [--owner N] [--seconds S]
//       Opens the sync-status block as its holder with role code N (default 3, an independent
//       server): owner present 1, the notify event pulsed. Prints "announced" and then holds
//       the role until "release", until S seconds have passed (default: no limit) or until the
//       process is killed. A running agent stands aside.
//   family-holder release
//       Tells the running holder to release the role (owner present 0, notify pulsed) and waits
//       until the block shows no holder. With no holder running (one was killed), releases the
//       block it left behind itself. A running agent takes the role back.
//   family-holder status
//       Prints the sync-status block's words and the non-zero activity slots, and in which
//       namespace ("Global\" or the session's) each object was found.
//
// Exit status 0 on success, 1 on failure, 2 on a usage error. A killed holder leaves owner
// present set for as long as another process (the agent) keeps the block open; "release" then
// clears it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/shared_blocks_win.h"
#include "common/unique_handle_win.h"

namespace {

// The holder waits on this event for "release"; bench-only.
constexpr char kReleaseEventName[] = "family-holder-release";
constexpr uint32_t kDefaultOwner = 3;
constexpr DWORD kReleaseWaitMs = 5000;

const char kUsage[] =
    "usage: family-holder announce [--owner N] [--seconds S] | release | status\n";

bool ParseNumber(const char* text, unsigned long* value) {
    if (text == nullptr || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    *value = std::strtoul(text, &end, 10);
    return *end == '\0';
}

// Opens an existing object by "Global\<name>" or "<name>"; tells which one it found.
template <typename Open> HANDLE OpenEither(Open open, const char* name, const char** where) {
    char global[96];
    std::snprintf(global, sizeof(global), "%s%s", kGlobalNamePrefix, name);
    if (HANDLE handle = open(global)) {
        *where = "Global";
        return handle;
    }
    *where = "session";
    return open(name);
}

HANDLE OpenMapping(DWORD access, const char* name, const char** where) {
    return OpenEither([access](const char* n) { return OpenFileMappingA(access, FALSE, n); }, name,
                      where);
}

HANDLE OpenNamedEvent(DWORD access, const char* name, const char** where) {
    return OpenEither([access](const char* n) { return OpenEventA(access, FALSE, n); }, name,
                      where);
}

// Reads the block's words through its own read-only view; false when there is no block.
bool ReadSyncStatus(SyncStatusBlock* block, const char** where) {
    UniqueMapping mapping(OpenMapping(FILE_MAP_READ, kSyncStatusMappingName, where));
    if (!mapping) {
        return false;
    }
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, kSyncStatusBlockSize));
    if (!view) {
        return false;
    }
    uint8_t bytes[kSyncStatusBlockSize];
    const volatile LONG* words = static_cast<const volatile LONG*>(view.get());
    for (size_t i = 0; i < kSyncStatusWordCount; ++i) {
        const LONG word = words[i];
        std::memcpy(bytes + 4 * i, &word, 4);
    }
    *block = DecodeSyncStatusBlock(bytes);
    return true;
}

int Announce(int argc, char** argv) {
    unsigned long owner = kDefaultOwner;
    unsigned long seconds = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--owner") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], &owner) || owner == 0 || owner > 0xFFFFFFFFul) {
                std::fprintf(stderr, "family-holder: --owner wants a role code 1-4294967295\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], &seconds) || seconds > 86400ul * 365) {
                std::fprintf(stderr, "family-holder: --seconds wants a number of seconds\n");
                return 2;
            }
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    UniqueKernelHandle release(
        CreateGlobalEvent(OpenToAllAttributes(), FALSE, FALSE, kReleaseEventName));
    if (!release) {
        std::fprintf(stderr, "family-holder: cannot create the release event: error %lu\n",
                     GetLastError());
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "family-holder: another holder is running\n");
        return 1;
    }
    HANDLE notify = nullptr;
    if (!OpenSyncStatusBlock(static_cast<DWORD>(owner), &notify)) {
        std::fprintf(stderr, "family-holder: cannot map the sync-status block: error %lu\n",
                     GetLastError());
        QuorvexSyncStatusShutdown(false);
        return 1;
    }
    std::printf("announced: owner %lu holds the role%s\n", owner,
                notify != nullptr ? "" : " (no notify event)");
    std::fflush(stdout);
    const DWORD waited =
        WaitForSingleObject(release.get(), seconds != 0 ? seconds * 1000 : INFINITE);
    QuorvexSyncStatusShutdown(true);
    std::printf("released%s\n", waited == WAIT_OBJECT_0 ? "" : " (time is up)");
    return 0;
}

// Releases a block whose holder is gone: owner present 0 and a pulse, as the holder would.
int ReleaseOrphan() {
    const char* where = "";
    UniqueMapping mapping(
        OpenMapping(FILE_MAP_WRITE | FILE_MAP_READ, kSyncStatusMappingName, &where));
    if (!mapping) {
        std::printf("no holder and no sync-status block: nothing to release\n");
        return 0;
    }
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, kSyncStatusBlockSize));
    if (!view) {
        std::fprintf(stderr, "family-holder: cannot map the block: error %lu\n", GetLastError());
        return 1;
    }
    volatile LONG* words = static_cast<volatile LONG*>(view.get());
    if (words[kSyncOwnerPresentWord] == 0) {
        std::printf("no holder present: nothing to release\n");
        return 0;
    }
    InterlockedExchange(words + kSyncWrittenWord, 1);
    InterlockedExchange(words + kSyncOwnerPresentWord, 0);
    const char* eventWhere = "";
    UniqueKernelHandle notify(
        OpenNamedEvent(EVENT_MODIFY_STATE, kSyncStatusEventName, &eventWhere));
    if (notify) {
        PulseEvent(notify.get());
    }
    std::printf("released the block a killed holder left (%s namespace)\n", where);
    return 0;
}

int Release() {
    const char* where = "";
    UniqueKernelHandle release(OpenNamedEvent(EVENT_MODIFY_STATE, kReleaseEventName, &where));
    if (!release) {
        return ReleaseOrphan();
    }
    SetEvent(release.get());
    for (DWORD waited = 0; waited < kReleaseWaitMs; waited += 20) {
        SyncStatusBlock block;
        const char* blockWhere = "";
        if (!ReadSyncStatus(&block, &blockWhere) || !HolderPresent(block)) {
            std::printf("released\n");
            return 0;
        }
        Sleep(20);
    }
    std::fprintf(stderr, "family-holder: the holder did not release within %lu ms\n",
                 kReleaseWaitMs);
    return 1;
}

int Status() {
    SyncStatusBlock block;
    const char* where = "";
    if (ReadSyncStatus(&block, &where)) {
        std::printf("sync-status block (%s): size %u, owner present %u, owner %u, version "
                    "%u.%u, built %u-%02u-%02u, word 7 %u\n",
                    where, block.size, block.ownerPresent, block.ownerCode, block.versionMajor,
                    block.versionMinor, block.buildYear, block.buildMonthDay / 100,
                    block.buildMonthDay % 100, block.written);
    } else {
        std::printf("sync-status block: none\n");
    }
    const char* eventWhere = "";
    UniqueKernelHandle notify(OpenNamedEvent(SYNCHRONIZE, kSyncStatusEventName, &eventWhere));
    std::printf("notify event: %s\n", notify ? eventWhere : "none");
    const char* holderWhere = "";
    UniqueKernelHandle holder(OpenNamedEvent(SYNCHRONIZE, kReleaseEventName, &holderWhere));
    std::printf("holder process: %s\n", holder ? "running" : "none");

    const char* activityWhere = "";
    UniqueMapping activity(OpenMapping(FILE_MAP_READ, kActivityMappingName, &activityWhere));
    UniqueView view(activity
                        ? MapViewOfFile(activity.get(), FILE_MAP_READ, 0, 0, kActivityBlockSize)
                        : nullptr);
    if (!view) {
        std::printf("activity block: none\n");
        return 0;
    }
    std::printf("activity block (%s):", activityWhere);
    const volatile LONG* slots = static_cast<const volatile LONG*>(view.get());
    bool any = false;
    for (size_t i = 0; i < kActivitySlotCount; ++i) {
        if (slots[i] != 0) {
            std::printf(" %u=%ld", static_cast<unsigned>(i), static_cast<long>(slots[i]));
            any = true;
        }
    }
    std::printf("%s\n", any ? "" : " all slots 0");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "announce") == 0) {
        return Announce(argc, argv);
    }
    if (argc == 2 && std::strcmp(argv[1], "release") == 0) {
        return Release();
    }
    if (argc == 2 && std::strcmp(argv[1], "status") == 0) {
        return Status();
    }
    std::fputs(kUsage, stderr);
    return 2;
}
