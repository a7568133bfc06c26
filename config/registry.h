// Registry layer: one process-wide machine focus, a short path notation, typed reads that fall
// back to a default and writes that report success. Every operation leaves the registry call's
// Windows error code as the thread's last error (0 on success).
//
// Path notation (resolved below HKEY_LOCAL_MACHINE of the focused machine):
//   "" or null     -> Software\Tessaric\Horologix\Parameters
//   "X"            -> Software\Tessaric\Horologix\Parameters\X
//   "\"            -> Software\Tessaric\Horologix
//   "\X"           -> Software\Tessaric\Horologix\X  (the text, backslash included, follows
//                     the product's key: "\NotepadTemp" is Software\Tessaric\Horologix\NotepadTemp)
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
// Returns out, or null (out holding "") when the resolved path would not fit: a cut path would
// name a different key.
char* ResolveKeyPath(const char* path, char* out);

// Longest machine name the focus keeps; longer names are cut.
constexpr size_t kMachineNameChars = 127;
// Room for a network name "\\NAME" formed from a name of up to kMachineNameChars characters.
constexpr size_t kNetworkNameSize = kMachineNameChars + 3;

// Forms the network name of a machine: the name itself when it already begins with two
// backslashes, otherwise two backslashes and the name; the name counts at most
// kMachineNameChars characters. out has kNetworkNameSize bytes; returns out.
char* FormNetworkName(const char* machine, char* out);

// How a stored boolean reads when its data is taken as a number (a one-character string reads
// as its character code, data that does not fit four bytes as kBooleanUnread).
enum class BooleanJudgement { False, True, ReadAsText };
constexpr uint32_t kBooleanUnread = 0xFEDCBA98;
// 0 and the codes of "0", "F", "N", "f" and "n" are false; kBooleanUnread asks for the text;
// every other number is true.
BooleanJudgement JudgeBooleanNumber(uint32_t number);
// True when the text begins with t, T, 1, y or Y.
bool JudgeBooleanText(const char* text);

// Moves the focus to a machine (null or "" for the local one). False, with the connection's
// error, leaves the focus on the local machine.
bool SetRegistryFocus(const char* machine);
// The focused machine's name as given (at most kMachineNameChars characters), "" while the
// focus is local, also after a name that turned out to be this computer's own.
const char* RegistryFocusMachine();

// True when the key can be opened for reading; last error is the open's result.
bool KeyExists(const char* path);
// Deletes that one key; the registry refuses a key that still has subkeys.
bool DeleteKey(const char* path);
// Gives the key and all its subkeys the standard access list (Everyone read; Administrators,
// LocalSystem, LOCAL SERVICE and NETWORK SERVICE full control; all inherited by subkeys),
// creating the key if missing. Last error: 0, or the first failing call's code.
void SecureKeyTree(const char* path);

// Sets a value of the given type (kReg*), creating the key and missing parents; without data or
// with size 0 the value is deleted instead.
bool WriteValue(const char* path, const char* name, uint32_t type, const void* data, uint32_t size);
// Stores text with its terminating zero; a null text deletes the value, "" stores an empty one.
bool WriteString(const char* path, const char* name, const char* text);
// Formats like printf (the text is cut at 32767 characters) and stores it as WriteString.
bool WriteFormatted(const char* path, const char* name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Stores a 32-bit number.
bool WriteNumber(const char* path, const char* name, uint32_t value);
// Stores size bytes as binary data (size 0 deletes the value).
bool WriteBinary(const char* path, const char* name, const void* bytes, uint32_t size);
// Stores "True" or "False".
bool WriteBoolean(const char* path, const char* name, bool flag);
// Deletes one value; the key is not created.
bool DeleteValue(const char* path, const char* name);

// The value as a 32-bit number when its stored data fits four bytes (an empty string reads 0,
// a one-character string its character code), otherwise defaultValue.
uint32_t ReadNumber(const char* path, const char* name, uint32_t defaultValue);
// 0 or 1, or defaultValue when the value is missing. Accepts "True"/"False" and the lenient
// forms: numbers, and texts judged by their first character.
uint32_t ReadBoolean(const char* path, const char* name, uint32_t defaultValue);
// buffer has room for limit + 1 bytes; it first receives defaultText (or zeros), then a stored
// text of at most limit - 2 characters. False, with the default kept, for a longer or missing
// value. The buffer is always terminated.
bool ReadString(const char* path, const char* name, char* buffer, size_t limit,
                const char* defaultText);
// A new zero-filled buffer holding the value (free with FreeStringCopy), or defaultPointer on any
// failure.
char* ReadStringCopy(const char* path, const char* name, char* defaultPointer);
void FreeStringCopy(char* copy);
// Zero-fills buffer, then reads a value of at most size bytes into it; false (buffer zero) when
// the value is missing or longer.
bool ReadBinary(const char* path, const char* name, void* buffer, uint32_t size);
// Reads the value at index: name has room for nameSize + 1 bytes, data (may be null) for
// dataSize + 1; type may be null. Names and texts (types 1, 2, 7) come back terminated. False
// with last error 259 past the last value: callers count index up from 0 until false.
bool EnumerateValue(const char* path, char* name, size_t nameSize, void* data, size_t dataSize,
                    uint32_t* type, uint32_t index);

// The stored type (kReg*) and size in bytes of a value, as stored (strings in UTF-16); false when
// the key or the value is missing.
bool QueryValueForm(const char* path, const char* name, uint32_t* type, uint32_t* size);

// Enables or disables one privilege of the process token; false when the token does not hold
// it (last error 1300) or the name is unknown (1313).
bool SetPrivilege(const char* privilege, bool enable);
// True when the process could enable the privilege; leaves it disabled.
bool CanEnablePrivilege(const char* privilege);
