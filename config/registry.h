// Registry layer: one process-wide machine focus, a short path notation, typed reads that fall
// back to a default and writes that report success. Every operation leaves the registry call's
// Windows error code as the thread's last error (0 on success).
//
// Path notation (resolved below HKEY_LOCAL_MACHINE of the focused machine):
//   "" or null     -> Software\Tessaric\Horologix\Parameters
//   "X"            -> Software\Tessaric\Horologix\Parameters\X
//   "\"            -> Software\Tessaric\Horologix
//   "\X"           -> Software\Tessaric\HorologixX   (the text follows the root key directly)
//   "\\A\B"        -> A\B
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* kProductName = "Horologix";
constexpr size_t kResolvedPathSize = 260;

constexpr uint32_t kRegString = 1;
constexpr uint32_t kRegExpandString = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegNumber = 4;
constexpr uint32_t kRegMultiString = 7;

// Resolves a path of the notation above into out (kResolvedPathSize bytes, always terminated).
char* ResolveKeyPath(const char* path, char* out);

// Moves the focus to a machine (null or "" for the local one). False, with the connection's
// error, leaves the focus on the local machine.
bool SetRegistryFocus(const char* machine);
// The focused machine's name as given, "" while local.
const char* RegistryFocusMachine();

bool KeyExists(const char* path);
bool DeleteKey(const char* path);
// Gives the key and all its subkeys the standard access list (Everyone read; Administrators,
// LocalSystem, LOCAL SERVICE and NETWORK SERVICE full control), creating the key if missing.
void SecureKeyTree(const char* path);

bool WriteValue(const char* path, const char* name, uint32_t type, const void* data, uint32_t size);
bool WriteString(const char* path, const char* name, const char* text);
bool WriteFormatted(const char* path, const char* name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool WriteNumber(const char* path, const char* name, uint32_t value);
bool WriteBinary(const char* path, const char* name, const void* bytes, uint32_t size);
bool WriteBoolean(const char* path, const char* name, bool flag);
bool DeleteValue(const char* path, const char* name);

uint32_t ReadNumber(const char* path, const char* name, uint32_t defaultValue);
// 0 or 1, or defaultValue when the value is missing.
uint32_t ReadBoolean(const char* path, const char* name, uint32_t defaultValue);
// buffer has room for limit + 1 bytes; reads a text of at most limit - 2 characters.
bool ReadString(const char* path, const char* name, char* buffer, size_t limit,
                const char* defaultText);
// A new buffer (free with FreeStringCopy) or defaultPointer on any failure.
char* ReadStringCopy(const char* path, const char* name, char* defaultPointer);
void FreeStringCopy(char* copy);
bool ReadBinary(const char* path, const char* name, void* buffer, uint32_t size);
// name has room for nameSize + 1 bytes, data (may be null) for dataSize + 1; type may be null.
// False with last error 259 past the last value.
bool EnumerateValue(const char* path, char* name, size_t nameSize, void* data, size_t dataSize,
                    uint32_t* type, uint32_t index);

bool SetPrivilege(const char* privilege, bool enable);
bool CanEnablePrivilege(const char* privilege);
