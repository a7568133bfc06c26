// Texts for Windows, socket and program error codes, for messages and status columns.
#pragma once

#include <cstddef>
#include <cstdint>

// The program's own codes, reported where socket errors are.
constexpr int32_t kErrorBadResponse = -2; // the reply was not the protocol's answer
constexpr int32_t kErrorInvalidData = -1; // the reply's data were invalid or the request unknown

// Size of the text a system message is cut to, terminator included (at most 319 characters).
constexpr size_t kSystemErrorTextSize = 320;

// "Error %d: " and the long text of a socket or program code ("Error 10060: timed out"), or
// "undetermined internal error" for an unlisted code. The text lives in a static buffer that the
// next call overwrites.
const char* SocketErrorText(int32_t code);

// A short label for status columns ("Timed out"), or "Error %d" for a code without one (0 and
// 1901 included) in a static buffer that the next such call overwrites.
const char* ShortSocketErrorText(int32_t code);

// Makes a system message one line: every CR and LF becomes a space, then runs of spaces shrink
// to one. A message that ended in CR LF thus ends in one space. Works in place; returns text.
char* CleanSystemMessage(char* text);

// The text for a code that has no system message, "Error %d (no description available)" with
// the code as a signed number, into buffer (size bytes, always terminated). Returns buffer.
char* FormatUndescribedError(uint32_t code, char* buffer, size_t size);
