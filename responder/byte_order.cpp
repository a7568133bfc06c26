#include "responder/byte_order.h"

#include <cstring>

void StoreTextField(uint8_t* field, size_t size, const char* text) {
    if (size == 0) {
        return;
    }
    std::memset(field, 0, size);
    if (text == nullptr) {
        return;
    }
    size_t length = 0;
    while (length + 1 < size && text[length] != '\0') {
        ++length;
    }
    std::memcpy(field, text, length);
}

void LoadTextField(const uint8_t* field, size_t size, char* out) {
    size_t length = 0;
    while (length < size && field[length] != 0) {
        ++length;
    }
    std::memcpy(out, field, length);
    out[length] = '\0';
}
