// The service control manager of a machine. Only this operation for now; the others of
// remote_machine_win.h and the replaceable set come with the rest of the module.
#include "common/remote_machine_win.h"

#include <cstdio>

SC_HANDLE OpenMachineServiceManager(const char* machine, DWORD access) {
    if (machine == nullptr || machine[0] == '\0') {
        return OpenSCManagerA(nullptr, nullptr, access);
    }
    // "\\NAME": a DNS name is at most 255 characters.
    char server[2 + 255 + 1];
    const int length = snprintf(server, sizeof server, "\\\\%s", machine);
    if (length < 0 || static_cast<size_t>(length) >= sizeof server) {
        SetLastError(ERROR_INVALID_COMPUTERNAME);
        return nullptr;
    }
    return OpenSCManagerA(server, nullptr, access);
}
