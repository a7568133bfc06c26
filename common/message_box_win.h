// The product's message box, shared by the applet and the installer.
#pragma once
#include <windows.h>

#include <cstdarg>

// Default message style: information icon, task-modal, topmost.
constexpr UINT kMessageStyleDefault = 0x42040;

// Text formatted into at most 509 characters, caption the product's name, style 0 meaning
// kMessageStyleDefault. With quiet nothing is shown and the answer is 1; otherwise the box's.
int ShowProductMessageV(HWND owner, bool quiet, UINT style, const char* format, va_list arguments);
int ShowProductMessage(HWND owner, bool quiet, UINT style, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
