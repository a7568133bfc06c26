// The drift graph window and the summary report: the history drawn 64 checks at a time, paged
// with a scroll bar, followed while the agent appends, and turned into a text report in Notepad.
#pragma once
#include <windows.h>

#include "history/drift_view_win.h"

// Private messages: the graph redraws itself; a modeless graph tells its parent it has closed.
constexpr UINT kGraphRedrawMessage = 10933;
constexpr UINT kGraphClosedMessage = 3029;

// Opens the graph modeless under parent on the history file at path (null: the chooser asks),
// the chooser starting in initialFolder (null: empty). Null when the view cannot be allocated
// (after a message) or the window cannot be made. A first load that fails and is not retried
// closes the window again at once: the parent then receives kGraphClosedMessage.
HWND OpenDriftGraph(HINSTANCE instance, HWND parent, bool localTime, bool showOpenButton,
                    const char* initialFolder, const char* path);

// LoadDriftFile with the question whether to try another file after a failure (owned by the
// graph's parent). False when the user declines or cancels the chooser.
bool LoadDriftFileWithPrompt(HWND owner, DriftView& view);

// Shows the details of record index (absolute) under the graph and rings it.
void ShowPointDetails(HWND graph, int index);

// The zone label of the report, computed from the view's localTime and the system's zone.
void ReportZoneLabel(const DriftView& view);
const char* CurrentZoneLabel();

// Writes the summary report of the view to a new temporary "QXG" file and opens it in Notepad
// as a temporary view (deleted when the applet closes). False, after a message, when the view
// holds no records or the file cannot be created.
bool WriteSummaryReport(HWND owner, const DriftView& view);

// The path of the last report written (for tests and the bench), "" before the first.
const char* LastReportPath();
