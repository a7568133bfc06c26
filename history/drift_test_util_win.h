// Helpers shared by the history file's tests under Wine: scratch folders, whole-file reads and
// writes, and files of plain records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/unique_handle_win.h"
#include "history/drift_record.h"

// 14 November 2023: a check time well inside the window readers accept.
inline constexpr uint32_t kTestEpoch = 1700000000;

// A new empty folder under the temporary folder, removed with what it holds at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        char base[MAX_PATH];
        GetTempPathA(sizeof(base), base);
        char name[MAX_PATH];
        for (unsigned n = GetTickCount();; ++n) {
            std::snprintf(name, sizeof(name), "%shxdrift%08x", base, n);
            if (CreateDirectoryA(name, nullptr)) {
                break;
            }
        }
        path_ = name;
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() { RemoveTree(path_); }

    const std::string& path() const { return path_; }
    std::string File(const char* name) const { return path_ + "\\" + name; }

private:
    static void RemoveTree(const std::string& folder) {
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = entry.cFileName;
                if (name == "." || name == "..") {
                    continue;
                }
                const std::string full = folder + "\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(full);
                } else {
                    DeleteFileA(full.c_str());
                }
            } while (FindNextFileA(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryA(folder.c_str());
    }

    std::string path_;
};

inline bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file &&
           (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &written, nullptr) &&
                              written == bytes.size()));
}

// The file's bytes; empty also when it cannot be read.
inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

inline bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A record as the agent writes it; index goes into the variance to tell records apart.
inline DriftRecord TestRecord(uint32_t index, uint32_t checkTime) {
    return MakeDriftRecord(static_cast<int32_t>(index), checkTime, index & 1, kReasonScheduled,
                           0x0100007F, kRoleHorologix, 0);
}

// A history file of count records, one a minute from kTestEpoch.
inline std::vector<uint8_t> HistoryBytes(uint32_t count, uint32_t from = kTestEpoch) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * kDriftRecordSize);
    for (uint32_t i = 0; i < count; ++i) {
        EncodeDriftRecord(TestRecord(i, from + 60 * i), bytes.data() + i * kDriftRecordSize);
    }
    return bytes;
}

inline DriftRecord RecordAt(const std::vector<uint8_t>& bytes, size_t index) {
    DriftRecord record{};
    if ((index + 1) * kDriftRecordSize <= bytes.size()) {
        DecodeDriftRecord(bytes.data() + index * kDriftRecordSize, &record);
    }
    return record;
}
