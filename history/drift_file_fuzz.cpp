// Fuzz target: any bytes as a history file (the reader's validation, the search for a record
// after a time, the append plan), its records' encoding both ways, the texts of a record, and
// any bytes as the file's path for its title.
#include <cstring>
#include <vector>

#include "common/fuzz_support.h"
#include "history/drift_file.h"
#include "history/drift_record.h"
#include "timesrc/time_format.h"

namespace {

bool SameRecord(const DriftRecord& a, const DriftRecord& b) {
    return a.marker == b.marker && a.flags == b.flags && a.phaseAdjust == b.phaseAdjust &&
           a.reserved == b.reserved && a.reason == b.reason && a.checkTime == b.checkTime &&
           a.varianceMs == b.varianceMs && a.sourceAddress == b.sourceAddress;
}

void CheckFile(const uint8_t* data, size_t size) {
    std::vector<DriftRecord> records(size / kDriftRecordSize + 1);
    const DriftFileCheck check = CheckDriftFile(data, size, records.data());
    FUZZ_CHECK(check.count == size / kDriftRecordSize);
    if (size % kDriftRecordSize != 0) {
        FUZZ_CHECK(!check.valid && check.firstBadRecord == check.count);
    } else if (check.valid) {
        FUZZ_CHECK(check.firstBadRecord == check.count);
    } else {
        FUZZ_CHECK(check.firstBadRecord < check.count);
    }
    // Every record before the first refused one is accepted, that one is not.
    const uint32_t good = check.valid ? check.count : check.firstBadRecord;
    for (uint32_t i = 0; i < good && size % kDriftRecordSize == 0; ++i) {
        DriftRecord record;
        DecodeDriftRecord(data + size_t{i} * kDriftRecordSize, &record);
        FUZZ_CHECK(IsValidDriftRecord(record));
        FUZZ_CHECK(SameRecord(records[i], record));
    }
    if (!check.valid && size % kDriftRecordSize == 0) {
        DriftRecord record;
        DecodeDriftRecord(data + size_t{check.firstBadRecord} * kDriftRecordSize, &record);
        FUZZ_CHECK(!IsValidDriftRecord(record));
    }
    // The mean interval is the span from the first to the last record, in 32-bit arithmetic.
    if (check.valid && check.count > 1) {
        const uint32_t first = records[0].checkTime;
        const uint32_t last = records[check.count - 1].checkTime;
        FUZZ_CHECK(check.averageInterval ==
                   static_cast<uint32_t>(last - first) / (check.count - 1));
    } else {
        FUZZ_CHECK(check.averageInterval == 0);
    }
}

void CheckSearch(const uint8_t* data, size_t size, uint32_t after) {
    DriftRecord found{};
    const bool any = FindRecordAfterInBlock(data, size, after, &found);
    size_t at = 0;
    for (; at + kDriftRecordSize <= size; at += kDriftRecordSize) {
        DriftRecord record;
        DecodeDriftRecord(data + at, &record);
        if (record.checkTime > after) {
            break;
        }
    }
    FUZZ_CHECK(any == (at + kDriftRecordSize <= size));
    if (any) {
        DriftRecord expected;
        DecodeDriftRecord(data + at, &expected);
        FUZZ_CHECK(SameRecord(found, expected));
    }
}

void CheckRecords(const uint8_t* data, size_t size) {
    for (size_t at = 0; at + kDriftRecordSize <= size; at += kDriftRecordSize) {
        // The stored bytes survive a decode and an encode bit for bit.
        DriftRecord record;
        DecodeDriftRecord(data + at, &record);
        uint8_t bytes[kDriftRecordSize];
        EncodeDriftRecord(record, bytes);
        FUZZ_CHECK(std::memcmp(bytes, data + at, kDriftRecordSize) == 0);
        FUZZ_CHECK(record.phaseAdjust >= -0x800000 && record.phaseAdjust <= 0x7FFFFF);
        FUZZ_CHECK(IsCorrected(record) == ((data[at + 1] & 1) != 0));
        FUZZ_CHECK(RecordRole(record) == data[at + 1] >> 1);

        const char* phase = PhaseAdjustText(record);
        FUZZ_CHECK(std::strlen(phase) < 16);
        FUZZ_CHECK((phase[0] == '\0') == (record.marker < kDriftMarkerCurrent));
        FUZZ_CHECK(CheckReasonName(record.reason) != nullptr && RoleName(RecordRole(record)));

        // What the agent writes from the same fields reads back as given.
        const int64_t variance = static_cast<int64_t>(record.varianceMs) * 4099;
        const DriftRecord made =
            MakeDriftRecord(variance, record.checkTime, data[at + 1], CheckReason(record.reason),
                            record.sourceAddress, data[at + 7], record.phaseAdjust);
        EncodeDriftRecord(made, bytes);
        DriftRecord read;
        DecodeDriftRecord(bytes, &read);
        FUZZ_CHECK(read.marker == kDriftMarkerCurrent && read.reserved == 0);
        FUZZ_CHECK(IsCorrected(read) == ((data[at + 1] & 1) != 0));
        FUZZ_CHECK(RecordRole(read) == (data[at + 7] & 0x7F));
        FUZZ_CHECK(read.phaseAdjust == record.phaseAdjust && read.reason == record.reason);
        FUZZ_CHECK(read.checkTime == record.checkTime &&
                   read.sourceAddress == record.sourceAddress);
        FUZZ_CHECK(read.varianceMs == static_cast<int32_t>(static_cast<uint64_t>(variance)));
        // The address text the report shows reads back as the stored address.
        char text[kAddressTextSize];
        uint32_t address = 0x12345678;
        if (read.sourceAddress != 0 && read.sourceAddress != 0xFFFFFFFF) {
            FUZZ_CHECK(SourceAddressFromText(FormatAddress(read.sourceAddress, text), &address));
            FUZZ_CHECK(address == read.sourceAddress);
        }
    }
}

void CheckPlan(uint64_t size) {
    const DriftAppendPlan plan = PlanDriftAppend(size);
    FUZZ_CHECK(plan.wholeBytes <= size && size - plan.wholeBytes < kDriftRecordSize);
    FUZZ_CHECK(plan.wholeBytes % kDriftRecordSize == 0);
    FUZZ_CHECK(plan.trim == (plan.wholeBytes >= kDriftMaxBytes));
    if (plan.trim) {
        FUZZ_CHECK(plan.keepFrom + kDriftKeepBytes == plan.wholeBytes);
        FUZZ_CHECK(plan.keepFrom % kDriftRecordSize == 0);
    }
}

void CheckTitle(const uint8_t* data, size_t size) {
    static char path[1024];
    const size_t length = size < sizeof(path) - 1 ? size : sizeof(path) - 1;
    std::memcpy(path, data, length);
    path[length] = '\0';
    char full[kDriftTextSize];
    MakeDriftFileTitle(path, full, sizeof(full));
    FUZZ_CHECK(std::strlen(full) < sizeof(full));
    // A smaller area receives the same title, cut.
    for (size_t room = 1; room <= 8; ++room) {
        char title[8 + 4];
        std::memset(title, 0x7E, sizeof(title));
        MakeDriftFileTitle(path, title, room);
        FUZZ_CHECK(std::strlen(title) < room);
        FUZZ_CHECK(std::strncmp(title, full, room - 1) == 0);
        for (size_t i = room; i < sizeof(title); ++i) {
            FUZZ_CHECK(title[i] == 0x7E);
        }
    }
    uint32_t address = 0x12345678;
    // All bits set is the unresolvable source, shown as "Unknown".
    if (SourceAddressFromText(path, &address) && address != 0 && address != 0xFFFFFFFF) {
        char text[kAddressTextSize];
        FormatAddress(address, text);
        uint32_t again = 0;
        FUZZ_CHECK(SourceAddressFromText(text, &again) && again == address);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckFile(data, size);
    FuzzInput input(data, size);
    CheckSearch(data, size, input.U32());
    CheckRecords(data, size);
    CheckPlan(size);
    CheckPlan(FuzzInput(data, size).U64());
    CheckTitle(data, size);
    return 0;
}
