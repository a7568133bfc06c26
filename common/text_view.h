// The list of temporary files shown in Notepad: how the next entry is named.
#pragma once

#include <cstdint>

// The key, in the registry layer's notation, whose string values name the temporary files to
// delete when the applet closes; each value's name is a decimal number.
constexpr const char* kTemporaryViewKey = "\\NotepadTemp";

// The number a value name starts with: its leading decimal digits, 0 when it has none; values
// above 4294967295 count as 4294967295.
uint32_t LeadingNumber(const char* name);

// The name the next temporary file is listed under: the largest number in use plus 1 ("1" for
// an empty list). text has room for 16 bytes.
void NextViewName(uint32_t largestInUse, char* text);
