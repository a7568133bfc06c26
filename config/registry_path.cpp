#include "config/registry.h"

#include <cstdio>

namespace {
// The product's keys below HKEY_LOCAL_MACHINE, with the product name.
constexpr const char* kProductRootFormat = "Software\\Tessaric\\%s";
constexpr const char* kParametersFormat = "Software\\Tessaric\\%s\\Parameters";
constexpr const char* kParameterSubkeyFormat = "Software\\Tessaric\\%s\\Parameters\\%s";
// The "\X" form appends the text, backslash included, directly to the product's root key.
constexpr const char* kProductRootTextFormat = "Software\\Tessaric\\%s%s";

bool IsBackslash(char c) {
    return c == '\\';
}
} // namespace

char* ResolveKeyPath(const char* path, char* out) {
    if (out == nullptr) {
        return nullptr;
    }
    int written;
    if (path == nullptr || path[0] == '\0') {
        written = std::snprintf(out, kResolvedPathSize, kParametersFormat, kProductName);
    } else if (!IsBackslash(path[0])) {
        written = std::snprintf(out, kResolvedPathSize, kParameterSubkeyFormat, kProductName, path);
    } else if (path[1] == '\0') {
        written = std::snprintf(out, kResolvedPathSize, kProductRootFormat, kProductName);
    } else if (!IsBackslash(path[1])) {
        written = std::snprintf(out, kResolvedPathSize, kProductRootTextFormat, kProductName, path);
    } else {
        written = std::snprintf(out, kResolvedPathSize, "%s", path + 2);
    }
    if (written < 0 || static_cast<size_t>(written) >= kResolvedPathSize) {
        out[0] = '\0';
        return nullptr;
    }
    return out;
}

char* FormNetworkName(const char* machine, char* out) {
    if (out == nullptr) {
        return nullptr;
    }
    const int chars = static_cast<int>(kMachineNameChars);
    if (machine == nullptr) {
        out[0] = '\0';
    } else if (IsBackslash(machine[0]) && IsBackslash(machine[1])) {
        std::snprintf(out, kNetworkNameSize, "%.*s", chars, machine);
    } else {
        std::snprintf(out, kNetworkNameSize, "\\\\%.*s", chars, machine);
    }
    return out;
}

BooleanJudgement JudgeBooleanNumber(uint32_t number) {
    switch (number) {
    case 0:
    case '0':
    case 'F':
    case 'N':
    case 'f':
    case 'n':
        return BooleanJudgement::False;
    case kBooleanUnread:
        return BooleanJudgement::ReadAsText;
    default:
        return BooleanJudgement::True;
    }
}

bool JudgeBooleanText(const char* text) {
    if (text == nullptr) {
        return false;
    }
    switch (text[0]) {
    case 't':
    case 'T':
    case '1':
    case 'y':
    case 'Y':
        return true;
    default:
        return false;
    }
}
