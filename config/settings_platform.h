// What the settings model asks of the system: the local release and the file system.
#pragma once

#include <cstdint>

// Identifies the local system once (release, architecture) for every role of the process.
void IdentifyLocalSystemOnce();
// The local machine's release (an OsFamily bit) from the process-wide system identity.
uint32_t LocalOsFamily();
// Whether a file of that name exists (local path or a share's UNC path).
bool FileExistsAt(const char* path);
// Fills the system folder (with a trailing backslash) and the local computer name, each at most
// 128 characters, unless they are already set.
void ReadLocalNames(char* systemFolder, char* computerName);
