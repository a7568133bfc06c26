// Names and byte layouts of the family's sync-status block (where a family service announces
// that it manages the clock) and of our activity block (slots a family display may show).
#pragma once

#include <cstddef>
#include <cstdint>

// Kernel-object names. Each is tried with kGlobalNamePrefix first, so that services and
// desktop sessions share it, and then plainly, in the session's own namespace.
constexpr char kGlobalNamePrefix[] = "Global\\";
constexpr char kSyncStatusMappingName[] = "quorvex-sync-status-shared-memory";
constexpr char kSyncStatusEventName[] = "quorvex-sync-status-notify-event";
constexpr char kActivityMappingName[] = "quorvex-activity";

// The sync-status block: eight 32-bit little-endian words. A holder writes every word but
// ownerPresent first and ownerPresent last, then pulses the notify event. All zero (freshly
// created, nobody ever announced) reads as no holder.
struct SyncStatusBlock {
    uint32_t size;          // 32
    uint32_t ownerPresent;  // 1 while a holder has the role, 0 after it released it
    uint32_t ownerCode;     // the holder's role code
    uint32_t versionMajor;  // 4: the holder's version 4.1 ...
    uint32_t versionMinor;  // 1
    uint32_t buildYear;     // 2007: ... built 2007-04-18
    uint32_t buildMonthDay; // 418
    uint32_t written;       // 1 once a holder has written the block
};
constexpr size_t kSyncStatusBlockSize = 32;
constexpr size_t kSyncStatusWordCount = kSyncStatusBlockSize / 4;
constexpr size_t kSyncOwnerPresentWord = 1;
constexpr size_t kSyncWrittenWord = 7;
static_assert(sizeof(SyncStatusBlock) == kSyncStatusBlockSize, "eight words, no padding");
static_assert(offsetof(SyncStatusBlock, size) == 0, "layout");
static_assert(offsetof(SyncStatusBlock, ownerPresent) == kSyncOwnerPresentWord * 4, "layout");
static_assert(offsetof(SyncStatusBlock, ownerCode) == 8, "layout");
static_assert(offsetof(SyncStatusBlock, versionMajor) == 12, "layout");
static_assert(offsetof(SyncStatusBlock, versionMinor) == 16, "layout");
static_assert(offsetof(SyncStatusBlock, buildYear) == 20, "layout");
static_assert(offsetof(SyncStatusBlock, buildMonthDay) == 24, "layout");
static_assert(offsetof(SyncStatusBlock, written) == kSyncWrittenWord * 4, "layout");

// The block as a holder with the given role code announces itself.
SyncStatusBlock AnnouncedSyncStatus(uint32_t ownerCode);
// The block after its holder released the role: owner present 0, the rest as it was.
SyncStatusBlock ReleasedSyncStatus(const SyncStatusBlock& held);
// Whether a family service holds the time-management role.
inline bool HolderPresent(const SyncStatusBlock& block) {
    return block.ownerPresent != 0;
}
// The block's 32 bytes, little-endian, and back.
void EncodeSyncStatusBlock(const SyncStatusBlock& block, uint8_t out[kSyncStatusBlockSize]);
SyncStatusBlock DecodeSyncStatusBlock(const uint8_t in[kSyncStatusBlockSize]);

// The activity block: 64 slots of 32 bits (little-endian); a slot is set to kActivityMark when
// the agent does that kind of network activity.
constexpr size_t kActivitySlotCount = 64;
constexpr size_t kActivityBlockSize = kActivitySlotCount * 4;
constexpr uint32_t kActivityMark = 5;

// The slots this system writes.
enum ActivitySlot : uint32_t {
    kActivityBroadcast = 0,       // a broadcast datagram is about to be sent
    kActivityLookupStarted = 1,   // a host-name lookup starts
    kActivityLookupSucceeded = 2, // a host-name lookup succeeded
    kActivityReplySent = 7,       // a management reply was sent
    kActivityRequestAccepted = 8, // a request passed the command filter; an identifier reply read
    kActivityNtpRequest = 9,      // an NTP request is about to be sent
    kActivityNtpReply = 10,       // the receive of an NTP reply returned
    kActivityRequest100 = 20,     // management request 100 arrived
    kActivityRequest101 = 22,     // management request 101 arrived
    kActivityRequest82 = 26,      // management request 82 arrived
    kActivityRequest81 = 28,      // management request 81 arrived
    kActivityRequest83 = 30,      // management request 83 arrived
};

// Byte offset of a slot in the activity block; false for a slot outside 0-63.
bool ActivitySlotOffset(uint32_t slot, size_t* offset);
