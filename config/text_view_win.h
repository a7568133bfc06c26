// Showing text files in Notepad, and deleting the temporary ones when the applet closes.
#pragma once

#include "common/text_view.h"

#include <windows.h>

// Starts Notepad on path and does not wait for it. With an owner window Notepad opens 30 pixels
// right of and below the owner's top-left corner. A temporary file is listed for
// PurgeTemporaryViews on the machine the registry layer works on; a failure to list it is
// ignored. True when Notepad started; processId (may be null) receives its process id.
bool ViewTextFile(HWND owner, const char* path, bool temporary, DWORD* processId = nullptr);

// Lists a file for PurgeTemporaryViews under the next free number; failures are ignored (the
// file then stays behind).
void RecordTemporaryView(const char* path);

// Deletes every listed temporary file (ignoring files still open or already gone), then the list.
void PurgeTemporaryViews();
