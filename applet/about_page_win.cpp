// The About page: product and version, what the product does and does not do, and the terms.
#include <windows.h>
#include <prsht.h>

#include <cstdio>
#include <new>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "resources/resource.h"

namespace {

class AboutPage final : public Page {
public:
    explicit AboutPage(HWND window) : Page(window, "abouttab") {}

protected:
    void Initialize() override;
    // The page takes no part in Apply.
    void Apply() override {}
};

void AboutPage::Initialize() {
    HWND page = window();
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
    return RunPage(page, message, wParam, lParam,
                   [](HWND window) -> Page* { return new (std::nothrow) AboutPage(window); });
}
