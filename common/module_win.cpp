#include "common/module_win.h"

namespace {
HINSTANCE g_instance = nullptr;
}

HINSTANCE ModuleInstance() {
    return g_instance != nullptr ? g_instance : GetModuleHandleA(nullptr);
}

void SetModuleInstance(HINSTANCE instance) {
    g_instance = instance;
}
