// The About page: product and version, what the product does and does not do, and the terms.
#include <windows.h>
#include <prsht.h>

#include <cstdio>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "resources/resource.h"

namespace {

void Initialize(HWND page) {
    SetupHelpLink(page);
    char caption[300];
    std::snprintf(caption, sizeof(caption), "Windows Time Service - %s", TargetDisplayName());
    SetWindowTextA(GetParent(page), caption);
    SetDlgItemTextA(page, IDC_ABOUT_HEADER, PageHeaderText());
    HWND text = GetDlgItem(page, IDC_ABOUT_TEXT);
    if (const SheetResources* resources = Applet().sheet) {
        SendMessageA(text, WM_SETFONT, reinterpret_cast<WPARAM>(resources->fixedFont), FALSE);
    }
    const INT tabStops[] = {12, 24};
    SendMessageA(text, EM_SETTABSTOPS, 2, reinterpret_cast<LPARAM>(tabStops));
    SetWindowTextA(text, kAboutDescription);
}

} // namespace

INT_PTR CALLBACK AboutPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        Initialize(page);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_HELP_LINK && HIWORD(wParam) == STN_CLICKED) {
            OpenHelpLink(page, "abouttab");
        }
        return TRUE;
    case WM_NOTIFY:
        // Every notification succeeds; the page takes no part in Apply.
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            HelpLinkColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    default:
        return FALSE;
    }
}
