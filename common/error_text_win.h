// Texts of Windows error codes and of the thread's socket error, for messages ending in "; %s".
#pragma once

#include "common/error_text.h"

#include <cstdint>

// The system's one-line text for a Windows error code (0: the thread's last error), at most 319
// characters, or "Error %d (no description available)". Afterwards the thread's last error is
// the code described, so the caller can still report it. The text lives in a static buffer that
// the next call overwrites.
const char* SystemErrorText(uint32_t code);

// SocketErrorText of the thread's last socket error.
const char* LastSocketErrorText();
