#include "history/drift_view_win.h"

#include <cstring>
#include <new>

namespace {

// A load that meets a size between whole records, or a file cut while it is read, looks again
// this many times before giving up: the writer may be in the middle of an append or a trim.
constexpr int kLoadAttempts = 3;
constexpr DWORD kSettleMs = 2;

// The largest size the view's 32-bit size field can hold with the spare record read beyond it.
constexpr LONGLONG kLargestLoad = 0xFFFFFFFFll - static_cast<LONGLONG>(kDriftRecordSize);

bool Fail(DriftView& view, DWORD error) {
    view.lastError = error;
    SetLastError(error);
    return false;
}

// Reads up to size bytes from the start of the file; got tells how many came (fewer when the file
// has been cut meanwhile).
bool ReadFromStart(HANDLE file, uint8_t* buffer, DWORD size, DWORD* got) {
    *got = 0;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    while (*got < size) {
        DWORD chunk = 0;
        if (!ReadFile(file, buffer + *got, size - *got, &chunk, nullptr)) {
            return false;
        }
        if (chunk == 0) {
            break;
        }
        *got += chunk;
    }
    return true;
}

void ShowNewestRecords(DriftView& view) {
    view.windowSize = view.count < kDriftWindowRecords ? view.count : kDriftWindowRecords;
    view.first = view.count - view.windowSize;
    view.end = view.first + view.windowSize;
}

} // namespace

void DriftFileTitle(DriftView& view) {
    MakeDriftFileTitle(view.path, view.title, sizeof(view.title));
}

namespace {

// Forgets what was loaded: the window starts over at the newest records.
void StartWindowOver(DriftView& view) {
    view.records.reset();
    view.count = 0;
    view.loadedSize = 0;
    view.first = 0;
    view.windowSize = kDriftWindowRecords;
    view.end = 0;
    view.scale = 0;
    view.averageInterval = 0;
    view.lastError = 0;
    view.followTail = true;
}

} // namespace

void ResetDriftView(DriftView& view) {
    view.file.reset();
    StartWindowOver(view);
    view.changed = false;
    view.title[0] = '\0';
    std::memset(view.points, 0, sizeof(view.points));
}

bool LoadDriftFile(DriftView& view, HWND owner) {
    view.changed = false;
    if (view.path[0] == '\0' && !ChooseDriftFile(owner, view.initialFolder, view.path)) {
        return Fail(view, ERROR_CANCELLED);
    }
    if (view.title[0] == '\0') {
        DriftFileTitle(view);
    }
    if (!view.file) {
        // A first load, or the first after a reset: the window starts over; the title stays.
        StartWindowOver(view);
        view.file.reset(CreateFileA(view.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!view.file) {
            return Fail(view, GetLastError());
        }
    }

    for (int attempt = 1;; ++attempt) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(view.file.get(), &size)) {
            return Fail(view, GetLastError());
        }
        if (size.QuadPart > kLargestLoad) {
            return Fail(view, ERROR_INVALID_PARAMETER);
        }
        const DWORD bytes = static_cast<DWORD>(size.QuadPart);
        if (bytes % kDriftRecordSize != 0) {
            // An append that crosses a page of the file can show its new size in two steps.
            if (attempt < kLoadAttempts) {
                Sleep(kSettleMs);
                continue;
            }
            return Fail(view, ERROR_INVALID_PARAMETER);
        }
        if (bytes == view.loadedSize) {
            SetLastError(0);
            return true;
        }

        // Read into new buffers: until the new records have passed the checks, the view keeps
        // showing the ones it has.
        std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[bytes + kDriftRecordSize]);
        std::unique_ptr<DriftRecord[]> records(new (std::nothrow)
                                                   DriftRecord[bytes / kDriftRecordSize + 1]);
        if (!data || !records) {
            return Fail(view, ERROR_NOT_ENOUGH_MEMORY);
        }
        DWORD got = 0;
        if (!ReadFromStart(view.file.get(), data.get(), bytes, &got)) {
            return Fail(view, GetLastError());
        }
        if (got < bytes) {
            // Cut while we read: the writer has just moved its newest records to the start.
            if (attempt < kLoadAttempts) {
                continue;
            }
            return Fail(view, ERROR_HANDLE_EOF);
        }
        const DriftFileCheck check = CheckDriftFile(data.get(), bytes, records.get());
        if (!check.valid) {
            return Fail(view, ERROR_INVALID_PARAMETER);
        }

        view.records = std::move(records);
        view.count = check.count;
        view.loadedSize = bytes;
        view.averageInterval = check.averageInterval;
        view.changed = true;
        std::memset(view.points, 0, sizeof(view.points));
        if (view.followTail) {
            ShowNewestRecords(view);
        }
        SetLastError(0);
        return true;
    }
}
