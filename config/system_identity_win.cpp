#include "config/system_identity_win.h"

#include "config/registry.h"

#include <windows.h>

#include <cstring>

namespace {

// GetProcAddress gives a generic pointer; the detour through void (*)() keeps -Wcast-function-type
// quiet for the one cast the platform requires.
template <typename F> F LookUp(const char* module, const char* name) {
    HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
}

// RtlGetVersion's record matches OSVERSIONINFOEXW; it is declared here because the user-mode
// headers leave it to the driver kit.
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);

void StoreServicePack(SystemIdentity& identity, const char* text) {
    std::memset(identity.servicePack, 0, sizeof(identity.servicePack));
    const size_t length = strnlen(text, sizeof(identity.servicePack) - 1);
    std::memcpy(identity.servicePack, text, length);
}

// Without a compatibility manifest, GetVersionEx reports Windows 8 (6.2) on every later release
// (and Wine does the same for the releases it imitates). RtlGetVersion is not subject to that,
// so its numbers replace the ones from GetVersionEx whenever ntdll offers it.
void ApplyTrueVersion(SystemIdentity& identity) {
    const auto rtlGetVersion = LookUp<RtlGetVersionFunction>("ntdll.dll", "RtlGetVersion");
    if (rtlGetVersion == nullptr) {
        return;
    }
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (rtlGetVersion(&version) != 0) {
        return;
    }
    identity.majorVersion = version.dwMajorVersion;
    identity.minorVersion = version.dwMinorVersion;
    identity.buildNumber = version.dwBuildNumber;
    identity.platformId = version.dwPlatformId;
    char servicePack[kServicePackTextSize] = {};
    if (WideCharToMultiByte(CP_ACP, 0, version.szCSDVersion, -1, servicePack,
                            sizeof(servicePack) - 1, nullptr, nullptr) > 0) {
        StoreServicePack(identity, servicePack);
    }
    // The extended record was asked for, so these fields are valid.
    identity.extended = true;
    identity.servicePackMajor = version.wServicePackMajor;
    identity.servicePackMinor = version.wServicePackMinor;
    identity.suiteMask = version.wSuiteMask;
    identity.productType = version.wProductType;
}

} // namespace

void IdentifyLocalSystem() {
    SystemIdentity identity = {};

    OSVERSIONINFOEXA extended = {};
    extended.dwOSVersionInfoSize = sizeof(extended);
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
        identity.extended = true;
        identity.majorVersion = extended.dwMajorVersion;
        identity.minorVersion = extended.dwMinorVersion;
        identity.buildNumber = extended.dwBuildNumber;
        identity.platformId = extended.dwPlatformId;
        StoreServicePack(identity, extended.szCSDVersion);
        identity.servicePackMajor = extended.wServicePackMajor;
        identity.servicePackMinor = extended.wServicePackMinor;
        identity.suiteMask = extended.wSuiteMask;
        identity.productType = extended.wProductType;
    } else {
        OSVERSIONINFOA plain = {};
        plain.dwOSVersionInfoSize = sizeof(plain);
        if (GetVersionExA(&plain)) {
            identity.majorVersion = plain.dwMajorVersion;
            identity.minorVersion = plain.dwMinorVersion;
            identity.buildNumber = plain.dwBuildNumber;
            identity.platformId = plain.dwPlatformId;
            StoreServicePack(identity, plain.szCSDVersion);
        }
    }
    if (identity.platformId == kPlatformNT) {
        ApplyTrueVersion(identity);
    }

    const bool nt = identity.platformId == kPlatformNT;
    const ArchCode arch = nt ? TargetArchitecture() : kArchUnknown;
    const bool wow64 = nt && IsWow64();
    ClassifySystem(identity, arch, wow64);
    SetLocalSystemIdentity(identity);
}

bool IsWow64() {
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, BOOL*);
    const auto isWow64Process = LookUp<IsWow64ProcessFunction>("kernel32", "IsWow64Process");
    if (isWow64Process == nullptr) {
        return false;
    }
    BOOL wow64 = FALSE;
    return isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

ArchCode TargetArchitecture() {
    // A 64-byte field: the layer reads texts of up to 61 characters into it.
    char text[64];
    if (!ReadString("\\\\System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", text,
                    sizeof(text) - 1, nullptr) ||
        text[0] == '\0') {
        const DWORD error = GetLastError();
        // Windows 9x has no product options at all.
        return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? kArchX86Win9x
                                                                                : kArchUnknown;
    }
    if (!ReadString("\\\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                    "PROCESSOR_ARCHITECTURE", text, sizeof(text) - 1, nullptr)) {
        return kArchUnknown;
    }
    const ArchCode arch = ArchFromProcessorText(text);
    SetLastError(0);
    return arch;
}
