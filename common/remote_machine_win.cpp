#include "common/remote_machine_win.h"

#include <lm.h>

#include <cstdio>
#include <cwchar>

namespace {

DWORD SystemReadServerInfo(const wchar_t* server, ServerInfo101* info) {
    SERVER_INFO_101* found = nullptr;
    const NET_API_STATUS status =
        NetServerGetInfo(const_cast<wchar_t*>(server), 101, reinterpret_cast<BYTE**>(&found));
    if (status != NERR_Success || found == nullptr) {
        if (found != nullptr) {
            NetApiBufferFree(found);
        }
        return status != NERR_Success ? status : ERROR_INVALID_DATA;
    }
    info->platformId = found->sv101_platform_id;
    info->versionMajor = found->sv101_version_major;
    info->versionMinor = found->sv101_version_minor;
    info->type = found->sv101_type;
    NetApiBufferFree(found);
    return ERROR_SUCCESS;
}

SC_HANDLE SystemOpenServiceManager(const char* machine, DWORD access) {
    char name[272];
    if (machine == nullptr || machine[0] == '\0') {
        return OpenSCManagerA(nullptr, nullptr, access);
    }
    const int length = std::snprintf(name, sizeof(name), "\\\\%s", machine);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(name)) {
        SetLastError(ERROR_INVALID_COMPUTERNAME);
        return nullptr;
    }
    return OpenSCManagerA(name, nullptr, access);
}

bool SystemSystemFolder(const char* machine, char* folder, size_t size) {
    const int length = std::snprintf(folder, size, "\\\\%s\\admin$\\system32\\", machine);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool SystemDrivePath(const char* machine, const char* path, char* out, size_t size) {
    // "C:\dir" becomes "\\NAME\C$\dir"; a path without a drive letter is taken as a share path.
    int length;
    if (path[0] != '\0' && path[1] == ':') {
        length = std::snprintf(out, size, "\\\\%s\\%c$%s", machine, path[0], path + 2);
    } else {
        length = std::snprintf(out, size, "\\\\%s\\%s", machine, path);
    }
    if (length < 0 || static_cast<size_t>(length) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// Wine's remote time-of-day call ends the calling process instead of failing, so under Wine
// the machine is taken as not answering.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool SystemRemoteTimeOfDay(const char* machine, int64_t* offset) {
    if (RunningUnderWine()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    wchar_t server[520];
    std::swprintf(server, sizeof(server) / sizeof(server[0]), L"\\\\%hs", machine);
    TIME_OF_DAY_INFO* tod = nullptr;
    const NET_API_STATUS status = NetRemoteTOD(server, reinterpret_cast<BYTE**>(&tod));
    if (status != NERR_Success || tod == nullptr) {
        if (tod != nullptr) {
            NetApiBufferFree(tod);
        }
        SetLastError(status != NERR_Success ? status : ERROR_INVALID_DATA);
        return false;
    }
    SYSTEMTIME remote{};
    remote.wYear = static_cast<WORD>(tod->tod_year);
    remote.wMonth = static_cast<WORD>(tod->tod_month);
    remote.wDay = static_cast<WORD>(tod->tod_day);
    remote.wHour = static_cast<WORD>(tod->tod_hours);
    remote.wMinute = static_cast<WORD>(tod->tod_mins);
    remote.wSecond = static_cast<WORD>(tod->tod_secs);
    remote.wMilliseconds = static_cast<WORD>(tod->tod_hunds * 10);
    NetApiBufferFree(tod);
    FILETIME remoteTime;
    FILETIME localTime;
    GetSystemTimeAsFileTime(&localTime);
    if (!SystemTimeToFileTime(&remote, &remoteTime)) {
        return false;
    }
    const auto value = [](const FILETIME& time) {
        return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                    time.dwLowDateTime);
    };
    *offset = value(remoteTime) - value(localTime);
    SetLastError(ERROR_SUCCESS);
    return true;
}

const RemoteMachineAccess* g_access = nullptr;

bool IsLocal(const char* machine) {
    return machine == nullptr || machine[0] == '\0';
}

} // namespace

const RemoteMachineAccess* SetRemoteMachineAccess(const RemoteMachineAccess* access) {
    const RemoteMachineAccess* previous = g_access;
    g_access = access;
    return previous;
}

DWORD ReadServerInfo(const char* machine, ServerInfo101* info) {
    auto read = g_access != nullptr && g_access->readServerInfo != nullptr
                    ? g_access->readServerInfo
                    : SystemReadServerInfo;
    DWORD status;
    if (IsLocal(machine)) {
        status = SystemReadServerInfo(nullptr, info); // this machine is never a stand-in
    } else {
        wchar_t server[513];
        const int length =
            std::swprintf(server, sizeof(server) / sizeof(server[0]), L"\\\\%hs", machine);
        status = length < 0 ? ERROR_INVALID_COMPUTERNAME : read(server, info);
    }
    SetLastError(status);
    return status;
}

SC_HANDLE OpenMachineServiceManager(const char* machine, DWORD access) {
    auto open = g_access != nullptr && g_access->openServiceManager != nullptr
                    ? g_access->openServiceManager
                    : SystemOpenServiceManager;
    // The local manager is never a stand-in's business.
    return IsLocal(machine) ? SystemOpenServiceManager(nullptr, access) : open(machine, access);
}

bool MachineSystemFolder(const char* machine, char* folder, size_t size) {
    if (IsLocal(machine)) {
        const UINT length = GetSystemDirectoryA(folder, static_cast<UINT>(size));
        if (length == 0) {
            return false;
        }
        if (length + 2 > size) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        folder[length] = '\\';
        folder[length + 1] = '\0';
        return true;
    }
    auto resolve = g_access != nullptr && g_access->systemFolder != nullptr ? g_access->systemFolder
                                                                            : SystemSystemFolder;
    return resolve(machine, folder, size);
}

bool MachineDrivePath(const char* machine, const char* path, char* out, size_t size) {
    if (IsLocal(machine)) {
        const int length = std::snprintf(out, size, "%s", path);
        if (length < 0 || static_cast<size_t>(length) >= size) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        return true;
    }
    auto resolve = g_access != nullptr && g_access->drivePath != nullptr ? g_access->drivePath
                                                                         : SystemDrivePath;
    return resolve(machine, path, out, size);
}

bool RemoteTimeOfDay(const char* machine, int64_t* offset) {
    auto ask = g_access != nullptr && g_access->remoteTimeOfDay != nullptr
                   ? g_access->remoteTimeOfDay
                   : SystemRemoteTimeOfDay;
    return ask(machine, offset);
}
