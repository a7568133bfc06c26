// The file chooser for history files. Until the drift graph brings its dialog, no file is
// chosen: a view without a path does not load.
#include "history/drift_view_win.h"

bool ChooseDriftFile(HWND, const char*, char*) {
    return false;
}
