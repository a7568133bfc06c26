// What the settings model asks of the system: identification, names and the file system.
#pragma once

#include <cstdint>

// Identifies the local system (release, architecture) the first time a role starts in the
// process; later calls keep the record, and with it a release a caller has set since.
void IdentifyLocalSystemOnce();
// Whether a file of that name exists (local path or a share's UNC path).
bool FileExistsAt(const char* path);
// Fills the system folder (with a trailing backslash) and the local computer name, each at most
// 128 characters, unless they are already set.
void ReadLocalNames(char* systemFolder, char* computerName);
