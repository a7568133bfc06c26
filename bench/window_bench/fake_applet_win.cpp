// A stand-in Control Panel applet for the bench's own tests: a double click shows one message
// box and answers 5 with last error 1234, so that a test sees the whole Control Panel sequence
// and what the run hands back. AppletCalls lists the messages received, in order.
#include <windows.h>
#include <cpl.h>

#include <cstdio>
#include <cstring>

namespace {
char calls[256] = "";

void Note(UINT message) {
    const size_t used = std::strlen(calls);
    std::snprintf(calls + used, sizeof(calls) - used, "%s%u", used == 0 ? "" : " ", message);
}
} // namespace

extern "C" __declspec(dllexport) const char* AppletCalls() {
    return calls;
}

extern "C" __declspec(dllexport) LONG WINAPI
    CPlApplet(HWND owner, UINT message, LPARAM, LPARAM param2) {
    Note(message);
    switch (message) {
    case CPL_INIT:
    case CPL_GETCOUNT:
        return 1;
    case CPL_INQUIRE: {
        auto* info = reinterpret_cast<CPLINFO*>(param2);
        info->idIcon = 1;
        info->idName = 2;
        info->idInfo = 3;
        info->lData = 77;
        return 0;
    }
    case CPL_DBLCLK:
        MessageBoxA(owner, "Double-clicked", "Fake applet", MB_OK | MB_ICONINFORMATION);
        SetLastError(1234);
        return 5;
    default:
        return 0;
    }
}
