#include "common/text_trim.h"

#include <cstring>

namespace {
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
} // namespace

char* TrimWhitespace(char* text) {
    if (text == nullptr) {
        return text;
    }
    const char* start = text;
    while (IsBlank(*start)) {
        ++start;
    }
    size_t length = std::strlen(start);
    while (length > 0 && IsBlank(start[length - 1])) {
        --length;
    }
    std::memmove(text, start, length);
    text[length] = '\0';
    return text;
}
