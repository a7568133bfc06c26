// What every page of the applet shares: its message box, the common Apply, the nesting busy
// cursor, the help link at the foot of each page, and small control helpers.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "common/message_box_win.h"

// The applet's message box (ShowProductMessage): in QuietMode nothing is shown and the answer
// is 1.
int ShowMessage(HWND owner, UINT style, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The common Apply of every page: saves the applet's settings record when a page changed it,
// tells the Windows Time service of the target and asks it to synchronize. Returns the result
// of the synchronization trigger, 0 when none was sent.
int ApplySettings(HWND page);

// Records that the user changed these values (SettingValue bits), sets SettingsDirty and marks
// the sheet changed for the page.
void MarkValuesChanged(HWND page, uint32_t values);

// Marks the sheet changed for a page (the Apply button), and unchanged.
void MarkPageChanged(HWND page);
void MarkPageUnchanged(HWND page);

// Shows the wait cursor while any caller has it on; calls nest.
void BusyCursor(bool on);

// The help link 2280 of a page: the maker's web address in the underlined font with the hand
// cursor. OpenHelpLink opens the online help with the page's subject ("servicetab", ...).
void SetupHelpLink(HWND page);
void OpenHelpLink(HWND page, const char* subject);
// The answer to WM_CTLCOLORSTATIC for the link (its colours); null for any other control, which
// the dialog then colours as usual.
HBRUSH HelpLinkColor(HDC dc, HWND control);

// Writes a control's text only when it differs from what it shows (no flicker).
void SetTextIfDifferent(HWND control, const char* text);
void SetDlgItemTextIfDifferent(HWND dialog, int id, const char* text);
// A control's text, at most limit characters, trimmed at both ends; out holds limit + 1 bytes.
char* ReadTrimmedText(HWND dialog, int id, char* out, size_t limit);
// A control's text as an unsigned number; 0 for text that is not a number.
uint32_t ReadUnsigned(HWND dialog, int id);
void ShowControl(HWND dialog, int id, bool show);
void EnableControl(HWND dialog, int id, bool enable);
bool IsChecked(HWND dialog, int id);
