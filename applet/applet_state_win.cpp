#include "applet/applet_state_win.h"

#include <initializer_list>

#include "common/module_win.h"

namespace {

AppletState g_applet{};

} // namespace

AppletState& Applet() {
    return g_applet;
}

HINSTANCE AppletModule() {
    if (HMODULE module = GetModuleHandleA("kestrel.cpl")) {
        return module;
    }
    return ModuleInstance();
}

const char* TargetOrNull() {
    return g_applet.targetMachine[0] != '\0' ? g_applet.targetMachine : nullptr;
}

bool TargetIsRemote() {
    return g_applet.targetMachine[0] != '\0';
}

const char* TargetDisplayName() {
    return TargetIsRemote() ? g_applet.targetMachine : CurrentEnvironment().computerName;
}

SheetResources* CreateSheetResources() {
    auto* resources = static_cast<SheetResources*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SheetResources)));
    if (resources != nullptr) {
        resources->references = 1;
    }
    return resources;
}

void RetainSheetResources(SheetResources* resources) {
    InterlockedIncrement(&resources->references);
}

void ReleaseSheetResources(SheetResources* resources) {
    if (resources == nullptr || InterlockedDecrement(&resources->references) != 0) {
        return;
    }
    for (HFONT font : {resources->normalFont, resources->boldFont, resources->underlinedFont,
                       resources->fixedFont}) {
        if (font != nullptr) {
            DeleteObject(font);
        }
    }
    for (HICON icon : resources->icons) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
    for (HANDLE event : {resources->stopEvent, resources->checkNowEvent}) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    HeapFree(GetProcessHeap(), 0, resources);
}
