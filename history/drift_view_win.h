// The applet's loaded copy of one history file, shared by the summary report and the drift
// graph, and its loading from the local system folder or another machine's share.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>

#include "common/unique_handle_win.h"
#include "history/drift_file.h"
#include "history/drift_record.h"

// Records the graph shows at once.
constexpr uint32_t kDriftWindowRecords = 64;

// Screen position of one shown record, in the graph field's pixels.
struct DriftPoint {
    int32_t x;
    int32_t y;
};

struct DriftView {
    HINSTANCE instance = nullptr; // the library, for the graph's resources
    bool modal = false;
    bool showOpenButton = false;
    bool localTime = false;                 // time stamps in local time instead of UTC
    UniqueFile file;                        // read handle, kept between loads
    uint32_t loadedSize = 0;                // bytes at the last load that read the records
    std::unique_ptr<DriftRecord[]> records; // the whole file, oldest first
    uint32_t count = 0;
    uint32_t first = 0; // index of the first record the graph shows
    uint32_t windowSize = kDriftWindowRecords;
    uint32_t end = 0;             // first + windowSize
    uint32_t lastError = 0;       // Windows error of the last failed load; 87: not a history file
    uint32_t scale = 0;           // milliseconds per vertical division of the graph
    uint32_t averageInterval = 0; // seconds between successive records, 0 when unknown
    bool followTail = true;       // a load that finds new records shows the newest ones
    bool changed = false;         // the last load read new records
    DriftPoint points[kDriftWindowRecords] = {};
    char path[kDriftTextSize] = "";
    char title[kDriftTextSize] = "";
    char initialFolder[kDriftTextSize] = "";
};

// Loads or refreshes the view from its path, asking the file chooser for one first when the path
// is empty (owner: the chooser's owner window). A refresh re-reads the file only when its size
// has changed, and then sets changed and, with followTail, shows the newest records. On failure
// the records shown before are kept, and lastError and the thread's last error hold the reason:
// 87 for a file that is not a history file or is damaged, 1223 when the chooser was cancelled.
bool LoadDriftFile(DriftView& view, HWND owner);

// Fills the view's title from its path.
void DriftFileTitle(DriftView& view);

// Closes the view's file and forgets its records, title and window, so that the next load starts
// afresh; the flags, path and initial folder stay.
void ResetDriftView(DriftView& view);

// The open-file dialog for a history file, starting in initialFolder; the chosen path (at most
// 260 characters) replaces path, which has kDriftTextSize bytes. False when cancelled.
bool ChooseDriftFile(HWND owner, const char* initialFolder, char* path);
