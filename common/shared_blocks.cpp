#include "common/shared_blocks.h"

namespace {

void StoreLe32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t LoadLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

} // namespace

SyncStatusBlock AnnouncedSyncStatus(uint32_t ownerCode) {
    SyncStatusBlock block{};
    block.size = kSyncStatusBlockSize;
    block.ownerPresent = 1;
    block.ownerCode = ownerCode;
    block.versionMajor = 4;
    block.versionMinor = 1;
    block.buildYear = 2007;
    block.buildMonthDay = 418;
    block.written = 1;
    return block;
}

SyncStatusBlock ReleasedSyncStatus(const SyncStatusBlock& held) {
    SyncStatusBlock block = held;
    block.written = 1;
    block.ownerPresent = 0;
    return block;
}

void EncodeSyncStatusBlock(const SyncStatusBlock& block, uint8_t out[kSyncStatusBlockSize]) {
    const uint32_t words[kSyncStatusWordCount] = {
        block.size,         block.ownerPresent, block.ownerCode,     block.versionMajor,
        block.versionMinor, block.buildYear,    block.buildMonthDay, block.written,
    };
    for (size_t i = 0; i < kSyncStatusWordCount; ++i) {
        StoreLe32(out + 4 * i, words[i]);
    }
}

SyncStatusBlock DecodeSyncStatusBlock(const uint8_t in[kSyncStatusBlockSize]) {
    SyncStatusBlock block;
    block.size = LoadLe32(in);
    block.ownerPresent = LoadLe32(in + 4);
    block.ownerCode = LoadLe32(in + 8);
    block.versionMajor = LoadLe32(in + 12);
    block.versionMinor = LoadLe32(in + 16);
    block.buildYear = LoadLe32(in + 20);
    block.buildMonthDay = LoadLe32(in + 24);
    block.written = LoadLe32(in + 28);
    return block;
}

bool ActivitySlotOffset(uint32_t slot, size_t* offset) {
    if (slot >= kActivitySlotCount) {
        return false;
    }
    *offset = static_cast<size_t>(slot) * 4;
    return true;
}
