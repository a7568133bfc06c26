// Helpers shared by the agent's tests under Wine: the agent key's texts and polling waits.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

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

// Polls every 50 ms until the condition holds or the time is up; the condition's last answer.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) {
            return true;
        }
        Sleep(50);
    }
    return condition();
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
