// What the stand-in's command-line tool and the tests use to drive it: the service through the
// service control manager, its log, and the files it places in the system folders.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/w32time_standin/standin_text.h"

namespace standin {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);
// A path on the Unix side as Wine shows it (drive Z: is the root file system).
std::wstring WindowsPath(const std::string& unixPath);

std::wstring SystemFolder(); // C:\windows\system32 for a 64-bit caller
std::wstring Wow64Folder();  // C:\windows\syswow64; empty where there is none
std::wstring LogPath();      // C:\windows\temp\w32time-standin.log

struct ServiceInfo {
    DWORD state = 0; // SERVICE_STOPPED, SERVICE_RUNNING, ...
    DWORD pid = 0;
    DWORD startType = 0;
    std::wstring binaryPath;
};

// Each returns a Windows error code, 0 on success (1060 while the service is not installed).
DWORD QueryStandin(ServiceInfo* info);
// Starts the service and waits until it runs; a running service is success.
DWORD StartStandin(DWORD timeoutMs, DWORD* elapsedMs = nullptr);
// Stops the service and waits until it is stopped and its process has ended (so the DLLs it
// loaded can be replaced); a stopped service is success.
DWORD StopStandin(DWORD timeoutMs, DWORD* elapsedMs = nullptr);
// Sends a control code to the running service.
DWORD ControlStandin(DWORD code);

// The log's size in bytes (0 when it does not exist): tests read what follows it.
uint64_t LogSize();
std::vector<Record> ReadLog(uint64_t fromOffset = 0);
// The bytes of a file from an offset; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path, uint64_t fromOffset = 0);
DWORD ClearLog();

// Copies source over target. A target that a running process has loaded cannot be overwritten
// or deleted, but it can be renamed: it is moved aside ("<name>.old-<n>") and the copy goes in.
DWORD PlaceFile(const std::wstring& source, const std::wstring& target);
// Deletes target (moving it aside when it is loaded) and any leftovers moved aside earlier.
// A missing file is success.
DWORD RemoveFile(const std::wstring& target);

// Windows error text without the line end, for messages.
std::string ErrorText(DWORD error);

} // namespace standin
