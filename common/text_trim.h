// Trimming of texts typed into dialogs.
#pragma once

// Removes leading and trailing spaces, tabs, CR and LF in place; the rest moves to the start of
// the buffer. Returns text (a null text is returned as is).
char* TrimWhitespace(char* text);
