#include "common/message_box_win.h"

#include <cstdio>

#include "resources/version.h"

int ShowProductMessageV(HWND owner, bool quiet, UINT style, const char* format, va_list arguments) {
    char text[510];
    std::vsnprintf(text, sizeof(text), format, arguments);
    if (quiet) {
        return 1;
    }
    return MessageBoxA(owner, text, HOROLOGIX_PRODUCT_NAME,
                       style == 0 ? kMessageStyleDefault : style);
}

int ShowProductMessage(HWND owner, bool quiet, UINT style, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int answer = ShowProductMessageV(owner, quiet, style, format, arguments);
    va_end(arguments);
    return answer;
}
