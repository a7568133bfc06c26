// Text of the stand-in's log and record files, and the field syntax of its command line.
//
// A record is one line: fields joined by TAB and ended by CR LF. Inside a field a backslash is
// written "\\", TAB "\t", CR "\r", LF "\n" and any other byte below 0x20 "\xHH", so a line never
// holds a raw control byte and a reader can check exactly how a message ended.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

using Record = std::vector<std::string>;

std::string EscapeField(std::string_view field);
// The record's line, CR LF included.
std::string FormatRecord(const Record& fields);
// Splits one line (without its line end) into unescaped fields; false on a malformed escape.
bool ParseRecord(std::string_view line, Record* fields);
// Every complete line of text, in order. A last line without its LF (a write in progress) and
// malformed lines are left out.
std::vector<Record> ParseRecords(std::string_view text);

// "A.B.C.D" with four decimal parts 0..255, into the value whose bytes in memory are A, B, C, D
// (an IPv4 address in network byte order, as W32Time gives a network partner's reference id).
bool ParseDottedQuad(std::string_view text, uint32_t* value);
// The reverse of ParseDottedQuad.
std::string FormatDottedQuad(uint32_t value);
// A decimal number with optional sign, or hexadecimal after "0x", within [low, high].
bool ParseInteger(std::string_view text, int64_t low, int64_t high, int64_t* value);

} // namespace standin
