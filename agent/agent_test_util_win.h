// Helpers shared by the Windows tests under Wine: the agent key's texts, bounded waits, and
// registry keys put back as a test found them.
#pragma once

#include <windows.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bench/remote_registry/registry_snapshot_win.h"
#include "bench/test_waits_win.h"
#include "config/registry.h"

inline constexpr char kAgentTestKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";

// A string value of the agent key, or "<missing>".
inline std::string AgentText(const char* name) {
    char buffer[600];
    if (!ReadString(kAgentTestKey, name, buffer, sizeof(buffer) - 1, nullptr)) {
        return "<missing>";
    }
    return buffer;
}

// The system folder's drift.qx, which the agent's checks write.
inline std::string TestDriftFilePath() {
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH - 10);
    return length > 0 && length < MAX_PATH - 10 ? std::string(path) + "\\drift.qx" : "";
}

// Tests remove the agent's history afterwards.
inline void DeleteTestDriftFile() {
    DeleteFileA(TestDriftFilePath().c_str());
}

// Size of the agent's history in bytes; 0 when there is none.
inline unsigned long TestDriftFileSize() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(TestDriftFilePath().c_str(), GetFileExInfoStandard, &data)
               ? data.nFileSizeLow
               : 0;
}

// Keys below HKEY_LOCAL_MACHINE that the tests change (paths without leading backslashes).
inline constexpr char kW32TimeParametersKey[] =
    "System\\CurrentControlSet\\Services\\W32Time\\Parameters";
inline constexpr char kNtpClientProviderKey[] =
    "System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
inline constexpr char kNtpServerProviderKey[] =
    "System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpServer";
inline constexpr char kAgentProviderKey[] =
    "System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";
inline constexpr char kW32TimeConfigKey[] = "System\\CurrentControlSet\\Services\\W32Time\\Config";
inline constexpr char kUninstallEntryKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Horologix Control Panel Applet";
inline constexpr char kControlPanelCategoryKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended "
    "Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2";
// The product's own Parameters key (not the whole product key: the temporary views' list lives
// beside it, see common/text_view.h).
inline constexpr char kProductParametersKey[] = "Software\\Tessaric\\Horologix\\Parameters";
inline constexpr char kFamilyClientKey[] = "Software\\Tessaric\\Quorvex Client";
inline constexpr char kFamilyServerKey[] = "Software\\Tessaric\\Quorvex Server";
inline constexpr char kInstallationIdRegistryKey[] = "Software\\Classes\\Mirel\\QX2\\Info";
// The W32Time stand-in's scripted state (bench/w32time_standin).
inline constexpr char kStandinStateKey[] = "Software\\HorologixBench\\W32TimeStandin";

// Keys below HKEY_LOCAL_MACHINE kept with their values and subkeys as they were when this was
// made, and put back so when this goes (see RegistrySnapshot): what the test wrote is gone again,
// what it deleted is back, a key that was missing is missing again. A fixture holds one naming
// the keys its tests change; its members are made before SetUp and go after TearDown. Name the
// narrowest keys: a key put back is also put back over whatever a test beside this one wrote
// into it meanwhile.
class SavedRegistryKeys {
public:
    SavedRegistryKeys(std::initializer_list<const char*> paths) {
        for (const char* path : paths) {
            snapshot_.Save(("\\\\" + std::string(path)).c_str());
        }
    }

private:
    RegistrySnapshot snapshot_;
};

// Makes the bench's w32time.dll refuse every demand synchronization with this error (0: no
// longer), whether or not the W32Time stand-in runs: an agent's demand sync then fails the same
// way beside any other test. Keep kStandinStateKey in SavedRegistryKeys around it.
inline bool ScriptDemandSyncRefusal(DWORD error) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStandinStateKey, 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool set =
        RegSetValueExA(key, "SyncNowRefuse", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&error),
                       sizeof(error)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}
