// Times the history file's operations on a full file (16,384 records) in a scratch folder and
// prints the figures: an append, the append that trims, a load by the applet's reader, and the
// search for the newest record. Each figure is the median of its samples, with the 90th
// percentile beside it.
//
//   drift-file-timer [SAMPLES]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "history/drift_file_win.h"
#include "history/drift_view_win.h"

namespace {

constexpr uint32_t kEpoch = 1700000000;

double g_tickMs = 0;

double NowMs() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * g_tickMs;
}

std::vector<uint8_t> History(uint32_t count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * kDriftRecordSize);
    for (uint32_t i = 0; i < count; ++i) {
        const DriftRecord record =
            MakeDriftRecord(static_cast<int32_t>(i % 2000) - 1000, kEpoch + 1800 * i, i & 1,
                            kReasonScheduled, 0x0100007F, kRoleHorologix, 0);
        EncodeDriftRecord(record, bytes.data() + static_cast<size_t>(i) * kDriftRecordSize);
    }
    return bytes;
}

bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    CloseHandle(file);
    return ok;
}

struct Figure {
    double median;
    double p90;
};

Figure Summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

void Report(const char* what, const Figure& figure, size_t samples, double goalMs) {
    std::printf("%-44s median %8.3f ms   p90 %8.3f ms   (%zu samples)", what, figure.median,
                figure.p90, samples);
    if (goalMs > 0) {
        std::printf("   goal < %g ms: %s", goalMs, figure.median < goalMs ? "met" : "NOT MET");
    }
    std::printf("\n");
}

void Append(uint32_t index) {
    AppendDriftRecord(static_cast<int32_t>(index % 2000) - 1000, kEpoch + 1800 * index, 1,
                      kReasonSyncCheck, "127.0.0.1", kRoleHorologix);
}

// The oldest record after `after`, read 20 bytes at a time through a handle of its own.
bool ScanRecordByRecord(const std::string& path, uint32_t after) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint8_t bytes[kDriftRecordSize];
    DWORD got = 0;
    bool found = false;
    while (!found && ReadFile(file, bytes, sizeof(bytes), &got, nullptr) && got == sizeof(bytes)) {
        DriftRecord record;
        DecodeDriftRecord(bytes, &record);
        found = record.checkTime > after;
    }
    CloseHandle(file);
    return found;
}

// Times the flush to disk that ends every append, alone: 20 bytes written at the end of a file
// of its own and flushed. What an append costs beyond this is the product's own work.
std::vector<double> TimeFlushes(const std::string& path, int samples) {
    std::vector<double> flushes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return flushes;
    }
    const uint8_t bytes[kDriftRecordSize] = {};
    for (int i = 0; i < samples; ++i) {
        DWORD written = 0;
        WriteFile(file, bytes, sizeof(bytes), &written, nullptr);
        const double start = NowMs();
        FlushFileBuffers(file);
        flushes.push_back(NowMs() - start);
    }
    CloseHandle(file);
    DeleteFileA(path.c_str());
    return flushes;
}

} // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(5, std::atoi(argv[1])) : 101;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_tickMs = 1000.0 / static_cast<double>(frequency.QuadPart);

    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    const std::string folder = std::string(temp) + "hxdriftbench" + std::to_string(GetTickCount());
    if (!CreateDirectoryA(folder.c_str(), nullptr)) {
        std::fprintf(stderr, "drift-file-timer: cannot make %s (%lu)\n", folder.c_str(), GetLastError());
        return 1;
    }
    const std::string path = folder + "\\drift.qx";
    const std::vector<uint8_t> full = History(kDriftMaxRecords);
    const std::vector<uint8_t> nearlyFull(full.begin(),
                                          full.end() - (samples + 1) * kDriftRecordSize);
    std::printf("history file %s, %u records when full (%u bytes)\n", path.c_str(),
                kDriftMaxRecords, kDriftMaxBytes);

    // Appends that do not trim, as the file fills up to 16,383 records.
    std::vector<double> appends;
    WriteWhole(path, nearlyFull);
    OpenDriftFileAt(path.c_str());
    uint32_t index = static_cast<uint32_t>(nearlyFull.size() / kDriftRecordSize);
    for (int i = 0; i < samples; ++i) {
        const double start = NowMs();
        Append(index++);
        appends.push_back(NowMs() - start);
    }
    CloseDriftFile();

    // The append that finds the file full: one trim each, on a freshly written full file.
    std::vector<double> trims;
    for (int i = 0; i < samples; ++i) {
        WriteWhole(path, full);
        OpenDriftFileAt(path.c_str());
        const double start = NowMs();
        Append(kDriftMaxRecords);
        trims.push_back(NowMs() - start);
        CloseDriftFile();
    }

    // The reader: a first load (open, read, check every record) and a refresh without change.
    WriteWhole(path, full);
    std::vector<double> loads, refreshes;
    uint32_t loadedCount = 0;
    for (int i = 0; i < samples; ++i) {
        DriftView view;
        std::snprintf(view.path, sizeof(view.path), "%s", path.c_str());
        double start = NowMs();
        if (!LoadDriftFile(view, nullptr)) {
            std::fprintf(stderr, "drift-file-timer: load failed with %u\n", view.lastError);
            return 1;
        }
        loads.push_back(NowMs() - start);
        loadedCount = view.count;
        start = NowMs();
        LoadDriftFile(view, nullptr);
        refreshes.push_back(NowMs() - start);
    }

    // The search for the newest record: every block of the file is read.
    OpenDriftFileAt(path.c_str());
    const uint32_t newest = kEpoch + 1800 * (kDriftMaxRecords - 1);
    std::vector<double> finds;
    bool found = true;
    for (int i = 0; i < samples; ++i) {
        DriftRecord record;
        const double start = NowMs();
        found = FindDriftRecordAfter(newest - 1, &record) && record.checkTime == newest && found;
        finds.push_back(NowMs() - start);
    }
    CloseDriftFile();

    // For comparison: the same search reading one record per call.
    std::vector<double> scans;
    for (int i = 0; i < samples; ++i) {
        const double start = NowMs();
        ScanRecordByRecord(path, newest - 1);
        scans.push_back(NowMs() - start);
    }
    DeleteFileA(path.c_str());

    Report("append (file not full)", Summarize(appends), appends.size(), 0.5);
    const std::vector<double> flushes = TimeFlushes(folder + "\\flush.bin", samples);
    if (!flushes.empty()) {
        Report("  of which the flush to disk (measured alone)", Summarize(flushes), flushes.size(),
               0);
    }
    Report("append that trims (16,384 -> 8,193 records)", Summarize(trims), trims.size(), 0);
    Report("LoadDriftFile, first load of a full file", Summarize(loads), loads.size(), 20);
    Report("LoadDriftFile, refresh of an unchanged file", Summarize(refreshes), refreshes.size(),
           0);
    Report("FindDriftRecordAfter, the newest record", Summarize(finds), finds.size(), 5);
    Report("  the same with one 20-byte read per record", Summarize(scans), scans.size(), 0);
    RemoveDirectoryA(folder.c_str());
    if (loadedCount != kDriftMaxRecords || !found) {
        std::fprintf(stderr, "drift-file-timer: wrong answers (%u records loaded, newest %s)\n",
                     loadedCount, found ? "found" : "not found");
        return 1;
    }
    return 0;
}
