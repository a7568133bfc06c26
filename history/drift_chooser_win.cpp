// The file chooser for history files: the system's open-file dialog.
#include "history/drift_view_win.h"

#include <commdlg.h>

#include <cstdio>

bool ChooseDriftFile(HWND owner, const char* initialFolder, char* path) {
    char chosen[MAX_PATH + 1] = "";
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = "Sync Log Files\0*.QX\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = chosen;
    dialog.nMaxFile = sizeof(chosen);
    dialog.lpstrInitialDir =
        initialFolder != nullptr && initialFolder[0] != '\0' ? initialFolder : nullptr;
    dialog.lpstrTitle = "Select Quorvex II Sync Log File";
    dialog.lpstrDefExt = "QX";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_LONGNAMES | OFN_EXPLORER;
    if (!GetOpenFileNameA(&dialog)) {
        return false;
    }
    std::snprintf(path, kDriftTextSize, "%s", chosen);
    return true;
}
