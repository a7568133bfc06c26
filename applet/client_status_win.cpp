// What other pages ask of the Client page. The Client page with its live status display fills
// these in; until it exists there is nothing to update.
#include "applet/pages_win.h"

void UpdateSyncNowButton(HWND) {}

void UpdateTimePartner(HWND) {}
