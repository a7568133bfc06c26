// The writer of the history file drift.qx: one open file per process, kept from the agent's start
// to its stop, whose appends, searches and clears are serialized by one in-process lock.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "history/drift_file.h"
#include "history/drift_record.h"

// How long every operation waits for the other threads of the process to finish theirs.
constexpr DWORD kDriftLockWaitMs = 10000;

// The file's path on a machine: the system folder and "drift.qx" for none or an empty name,
// otherwise the machine's system folder as the folder resolver gives it (its administrative
// share, "\\NAME\admin$\system32\"). False, with last error 206, when it does not fit in size.
bool DriftFilePath(const char* machine, char* path, size_t size);

// Maps a machine name to the folder holding its system files, with a trailing backslash; false
// when it has none. Tests aim other machines at local folders through this, since administrative
// shares cannot be reached there. Returns the resolver it replaces; null restores the share.
using MachineFolderResolver = bool (*)(const char* machine, char* folder, size_t size);
MachineFolderResolver SetMachineFolderResolver(MachineFolderResolver resolver);

// Opens the file on a machine (null or empty: this one), creating it with its access rights when
// missing, and keeps it for the functions below. True when a file is open afterwards (also when
// one already was: it stays the one in use); otherwise the last error says why.
bool OpenDriftFile(const char* machine);
// The same for a file given by its path.
bool OpenDriftFileAt(const char* path);

// Closes the file and destroys the lock. Call it when no other thread of the process uses the
// file any more.
void CloseDriftFile();

// Appends the record of one completed check. varianceMs: reference minus local clock in
// milliseconds (positive when the local clock was slow), of which the low 32 bits are stored;
// checkTime in seconds since 1970 UTC; only bit 0 of corrected and the low 7 bits of role count.
// sourceName is the source as the check named it: a dotted address, "Averaged Time" or a host
// name to resolve (all bits set when it cannot be). The phase adjustment is taken from the system.
// A file that has reached 16,384 records first keeps only its newest 8,192; a partial record at
// the end, left by a crash, is dropped. Nothing is reported: without the lock within
// kDriftLockWaitMs or without an open file, nothing happens.
void AppendDriftRecord(int64_t varianceMs, uint32_t checkTime, uint32_t corrected,
                       CheckReason reason, const char* sourceName, uint8_t role);

// The oldest record whose check time is later than after (seconds since 1970 UTC). False, with a
// record of all zeros, when there is none or the file cannot be read.
bool FindDriftRecordAfter(uint32_t after, DriftRecord* record);

// The newest records of the file, oldest first, into records (at most capacity of them); the
// count read, 0 when there are none or the file cannot be read. A partial record at the end is
// left out.
size_t ReadNewestDriftRecords(DriftRecord* records, size_t capacity);

// Empties the file this process keeps open (the agent's).
void ClearDriftFile();
// Empties the file of a machine (null or "" for this one) through its path, beside whoever keeps
// it open: the applet's "Clear History". Nothing happens when it cannot be opened.
void ClearDriftFileOf(const char* machine);

// Gives the file at path its access list (creating the file when missing): Everyone may read
// and execute, Administrators, Local System, Local Service and Network Service have full
// control. The result and the last error are those of applying the list.
bool SecureDriftFile(const char* path);

// The access list SecureDriftFile applies, in memory to release with LocalFree; null when not
// one principal could be built.
PACL BuildDriftFileAcl();
