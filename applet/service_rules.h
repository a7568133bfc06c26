// The Service page's decisions that need no window: the status sentence and the Start/Stop
// caption from the service's state, what a click on Start/Stop does, the debug log's defaults,
// which log controls the check box enables, the path "Show Log" opens, and what the log fields
// store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

// "The Windows Time service on <machine> is running|stopped". Writes at most size - 1
// characters and a zero; returns out.
char* FormatServiceStatus(const char* machine, bool running, char* out, size_t size);

// The caption of the Start/Stop button: "S&top" while the service runs, "S&tart" otherwise.
const char* StartStopCaption(bool running);

// What a click on Start/Stop does, from the service's state and the start-up list's index:
// stop a running service; otherwise start it, and when the list shows "Disabled" it follows to
// "Automatic" (starting sets the automatic start type; the list follows without a change mark).
struct StartStopAction {
    bool stop;
    int startupIndex; // the list's index after the click
};
StartStopAction StartStopActionOf(bool running, int startupIndex);

// Defaults for an empty log setup: 3 megabytes, "<drive>:\w32time.log" on the system folder's
// drive ('C' when the folder is unknown), entries "0-300".
constexpr uint32_t kDefaultLogMegabytes = 3;
extern const char kDefaultLogEntries[];
char* FormatDefaultLogPath(const char* systemFolder, char* out, size_t size);

// The log's path, size, entries and "Show Log" are enabled with the log check box.
constexpr bool LogFieldsEnabled(bool logTicked) {
    return logTicked;
}

// The file "Show Log" opens for the typed path: as typed on this machine; on a remote machine
// through its administrative share ("C:\x.log" on FARAWAY opens "\\FARAWAY\C$\x.log").
// remoteMachine is null or "" for this machine.
char* FormatLogFilePath(const char* typed, const char* remoteMachine, char* out, size_t size);

// What the log fields store: with the box unticked only "off"; ticked, the size in bytes, the
// path and entries as typed (cut to their fields), and logging on only when all three are given.
void StoreLogFields(bool ticked, uint32_t megabytes, const char* path, const char* entries,
                    SettingsRecord* record);
