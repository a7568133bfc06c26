// Control Panel's entry point, and the private messages by which a program that loads the
// library aims the applet at another machine, installs or removes the agent there, silences the
// applet's messages, or opens the sheet without upgrading the agent.
#include <windows.h>
#include <cpl.h>

#include <cstdio>
#include <cstring>

#include "applet/applet_frame_win.h"
#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "common/text_trim.h"
#include "config/system_identity_win.h"
#include "resources/resource.h"

namespace {

LONG OnWindows2000OrLater() {
    return LocalSystemIdentity().os >= kOsWin2000 ? 1 : 0;
}

LONG SetTarget(const char* name) {
    AppletState& applet = Applet();
    applet.targetMachine[0] = '\0';
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    std::snprintf(applet.targetMachine, sizeof(applet.targetMachine), "%s", name);
    char* trimmed = TrimWhitespace(applet.targetMachine);
    std::memmove(applet.targetMachine, trimmed, std::strlen(trimmed) + 1);
    CharUpperA(applet.targetMachine);
    return applet.targetMachine[0] != '\0' ? 1 : 0;
}

} // namespace

extern "C" LONG APIENTRY CPlApplet(HWND owner, UINT message, LPARAM first, LPARAM second) {
    AppletState& applet = Applet();
    switch (message) {
    case CPL_INIT:
        applet.quietMode = false;
        applet.targetMachine[0] = '\0';
        IdentifyLocalSystem();
        return OnWindows2000OrLater();
    case CPL_GETCOUNT:
        return OnWindows2000OrLater();
    case CPL_INQUIRE:
        if (auto* info = reinterpret_cast<CPLINFO*>(second)) {
            info->idIcon = IDI_APPLET;
            info->idName = IDS_APPLET_NAME;
            info->idInfo = IDS_APPLET_DESCRIPTION;
            info->lData = 0;
        }
        return 0;
    case CPL_DBLCLK:
        return static_cast<LONG>(RunApplet(owner, kModeSheet));
    default:
        break;
    }
    switch (static_cast<uint32_t>(message)) {
    case kCplSetTarget:
        return SetTarget(reinterpret_cast<const char*>(first));
    case kCplInstall:
    case kCplRemove:
    case kCplOpenSheet:
        return static_cast<LONG>(RunApplet(owner, message));
    case kCplQuiet:
        applet.quietMode = second != 0;
        return 1;
    default:
        return 0;
    }
}
