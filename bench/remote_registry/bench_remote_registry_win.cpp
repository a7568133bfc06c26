#include "bench/remote_registry/bench_remote_registry_win.h"

#include "common/unique_handle_win.h"
#include "config/registry_win.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr size_t kMachineChars = 127;
constexpr size_t kKeyPathSize = 260;
static_assert(std::char_traits<char>::length(kBenchMachinesKey) + 1 + kMachineChars < kKeyPathSize,
              "a machine's key path fits");

bool ValidMachineName(const char* machine) {
    if (machine == nullptr || machine[0] == '\0' || std::strchr(machine, '\\') != nullptr) {
        return false;
    }
    return std::strlen(machine) <= kMachineChars;
}

bool MachineKeyPath(const char* machine, char* out) {
    if (!ValidMachineName(machine)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::snprintf(out, kKeyPathSize, "%s\\%s", kBenchMachinesKey, machine);
    return true;
}

LONG DeleteValues(HKEY key) {
    char name[16384];
    for (;;) {
        DWORD length = sizeof name;
        LONG code = RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code == ERROR_SUCCESS) {
            code = RegDeleteValueA(key, name);
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
    }
}

LONG DeleteSubkeys(HKEY key) {
    char name[256];
    for (;;) {
        DWORD length = sizeof name;
        LONG code = RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code == ERROR_SUCCESS) {
            code = DeleteRegistryTree(key, name);
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
    }
}

// Deletes the key when it has neither subkeys nor values.
void DeleteIfEmpty(const char* path) {
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | RegistryViewFlag(), key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0) {
        key.reset();
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, RegistryViewFlag(), 0);
    }
}

} // namespace

void InstallBenchRemoteRegistry() {
    SetRegistryConnector(ConnectBenchMachine);
}

void RemoveBenchRemoteRegistry() {
    SetRegistryConnector(nullptr);
}

LONG ConnectBenchMachine(const wchar_t* networkName, HKEY* root) {
    if (root == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *root = nullptr;
    if (networkName == nullptr || networkName[0] != L'\\' || networkName[1] != L'\\') {
        return ERROR_BAD_NETPATH;
    }
    const wchar_t* machine = networkName + 2;
    if (machine[0] == L'\0' || std::wcschr(machine, L'\\') != nullptr ||
        std::wcslen(machine) > kMachineChars) {
        return ERROR_BAD_NETPATH;
    }
    // The machines key in UTF-16, then the name (at most 127 characters, checked above).
    wchar_t path[kKeyPathSize];
    size_t length = 0;
    for (const char* c = kBenchMachinesKey; *c != '\0'; ++c) {
        path[length++] = static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    path[length++] = L'\\';
    std::wcscpy(path + length, machine);
    const LONG code =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE | RegistryViewFlag(), root);
    if (code == ERROR_FILE_NOT_FOUND) {
        return ERROR_BAD_NETPATH;
    }
    return code;
}

bool AddBenchMachine(const char* machine) {
    char path[kKeyPathSize];
    if (!MachineKeyPath(machine, path)) {
        return false;
    }
    UniqueKey key;
    const LONG code =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE | RegistryViewFlag(), nullptr, key.put(), nullptr);
    SetLastError(static_cast<DWORD>(code));
    return code == ERROR_SUCCESS;
}

bool ClearBenchMachine(const char* machine) {
    char path[kKeyPathSize];
    if (!MachineKeyPath(machine, path)) {
        return false;
    }
    UniqueKey key;
    LONG code = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0,
                              KEY_READ | KEY_WRITE | RegistryViewFlag(), key.put());
    if (code == ERROR_SUCCESS) {
        code = DeleteSubkeys(key.get());
    }
    if (code == ERROR_SUCCESS) {
        code = DeleteValues(key.get());
    }
    SetLastError(static_cast<DWORD>(code));
    return code == ERROR_SUCCESS;
}

bool RemoveBenchMachine(const char* machine) {
    char path[kKeyPathSize];
    if (!MachineKeyPath(machine, path)) {
        return false;
    }
    LONG code = DeleteRegistryTree(HKEY_LOCAL_MACHINE, path);
    if (code == ERROR_FILE_NOT_FOUND) {
        code = ERROR_SUCCESS;
    }
    DeleteIfEmpty(kBenchMachinesKey);
    DeleteIfEmpty("Software\\HorologixBench");
    SetLastError(static_cast<DWORD>(code));
    return code == ERROR_SUCCESS;
}

LONG DeleteRegistryTree(HKEY root, const char* path) {
    {
        UniqueKey key;
        const LONG code =
            RegOpenKeyExA(root, path, 0, KEY_READ | KEY_WRITE | RegistryViewFlag(), key.put());
        if (code != ERROR_SUCCESS) {
            return code;
        }
        const LONG subkeys = DeleteSubkeys(key.get());
        if (subkeys != ERROR_SUCCESS) {
            return subkeys;
        }
    }
    return RegDeleteKeyExA(root, path, RegistryViewFlag(), 0);
}
