#include "config/policy_settings_win.h"

#include <cstdio>

#include "config/registry.h"

namespace {
// Longest policy text taken, in bytes as stored (UTF-16): a longer one is marked cut.
constexpr uint32_t kPolicyTextBytes = 16384;
} // namespace

void ReadPolicyValues(PolicyValues* policy) {
    *policy = PolicyValues{};
    size_t count = 0;
    const PolicyValueInfo* table = PolicyValueTable(&count);
    for (size_t i = 0; i < count && i < PolicyValues::kMaxValues; ++i) {
        char path[kResolvedPathSize];
        const int written =
            std::snprintf(path, sizeof(path), "%s\\%s", kPolicyKeyPath, table[i].subkey);
        if (written < 0 || static_cast<size_t>(written) >= sizeof(path)) {
            continue;
        }
        PolicyStoredValue& value = policy->values[i];
        if (!QueryValueForm(path, table[i].name, &value.type, &value.size)) {
            continue;
        }
        value.present = true;
        if (value.type == kRegNumber && value.size == 4) {
            value.number = ReadNumber(path, table[i].name, 0);
        } else if (value.type == kRegString || value.type == kRegExpandString) {
            if (value.size > kPolicyTextBytes) {
                value.textCut = true;
                continue;
            }
            char* text = ReadStringCopy(path, table[i].name, nullptr);
            if (text != nullptr) {
                value.text = text;
                FreeStringCopy(text);
            } else {
                value.textCut = true;
            }
        }
    }
}
