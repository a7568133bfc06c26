// The history file's rules free of system calls: its size policy, where an append goes, the
// search for a record after a time, the validation of a whole file read into memory, its title.
#pragma once

#include "history/drift_record.h"

#include <cstddef>
#include <cstdint>

// The file holds at most this many records; an append that finds it full first keeps only the
// newest kDriftKeepRecords, so the file grows from 8,193 to 16,384 records and is cut back.
constexpr uint32_t kDriftMaxRecords = 16384;
constexpr uint32_t kDriftKeepRecords = 8192;
constexpr uint32_t kDriftMaxBytes = kDriftMaxRecords * kDriftRecordSize;   // 327,680
constexpr uint32_t kDriftKeepBytes = kDriftKeepRecords * kDriftRecordSize; // 163,840

// Name of the file in a machine's system folder.
constexpr char kDriftFileName[] = "drift.qx";

// Room for the texts of a view: 260 characters and the terminator.
constexpr size_t kDriftTextSize = 261;

// What an append does to a file of a given size, in bytes. A crash in the middle of an earlier
// append can leave part of a record at the end: it is dropped, so the file stays a whole number
// of records that readers accept. Offsets are whole records.
struct DriftAppendPlan {
    uint64_t wholeBytes; // the size without a torn last record
    bool trim;           // the file is full: move the newest records to the start first
    uint64_t keepFrom;   // with trim: offset of the newest kDriftKeepBytes
};
DriftAppendPlan PlanDriftAppend(uint64_t size);

// Scans the whole records of a block of the file, oldest first, for the first one whose check
// time is later than `after` (seconds since 1970). A partial record at the end of the block is
// not looked at. Returns whether one was found; record is filled only then.
bool FindRecordAfterInBlock(const uint8_t* data, size_t size, uint32_t after, DriftRecord* record);

// Result of checking a whole history file held in memory.
struct DriftFileCheck {
    bool valid;               // size a multiple of 20 and every record accepted
    uint32_t count;           // records in the file (size / 20, also when invalid)
    uint32_t firstBadRecord;  // index of the first refused record; count when the size was bad
    uint32_t averageInterval; // mean seconds between successive records, 0 with fewer than 2
};

// Checks size bytes of a history file and, when records is given (room for size / 20 records),
// decodes them into it. The average interval sums the differences of successive check times in
// unsigned 32-bit arithmetic, as the files have always been summarized.
DriftFileCheck CheckDriftFile(const uint8_t* data, size_t size, DriftRecord* records);

// Display name of a history file: the whole path when the file is named drift.qx (any letter
// case) inside a folder, otherwise the file name without its last extension ("server1.week2"
// for "C:\logs\server1.week2.qx"). Writes at most size - 1 characters and a zero into title.
void MakeDriftFileTitle(const char* path, char* title, size_t size);
