#include "common/text_view.h"

#include <cinttypes>
#include <cstdio>

uint32_t LeadingNumber(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    uint64_t value = 0;
    for (const char* c = name; *c >= '0' && *c <= '9'; ++c) {
        value = value * 10 + static_cast<uint64_t>(*c - '0');
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return static_cast<uint32_t>(value);
}

void NextViewName(uint32_t largestInUse, char* text) {
    if (text == nullptr) {
        return;
    }
    std::snprintf(text, 16, "%" PRIu64, static_cast<uint64_t>(largestInUse) + 1);
}
