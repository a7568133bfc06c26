// Fuzz target: any text as a key path of the registry notation, and as a machine name for the
// network name the registry layer connects to.
#include <cstring>
#include <string>
#include <vector>

#include "common/fuzz_support.h"
#include "config/registry.h"

namespace {

// The notation, written out once more from its rules.
std::string Resolved(const std::string& path) {
    const std::string root = std::string("Software\\Tessaric\\") + kProductName;
    if (path.empty()) {
        return root + "\\Parameters";
    }
    if (path[0] != '\\') {
        return root + "\\Parameters\\" + path;
    }
    if (path.size() == 1) {
        return root;
    }
    if (path[1] != '\\') {
        return root + path;
    }
    return path.substr(2);
}

void CheckPath(const char* text) {
    char out[kResolvedPathSize + 8];
    std::memset(out, 0x7E, sizeof(out));
    const char* result = ResolveKeyPath(text, out);
    FUZZ_CHECK(std::memchr(out, '\0', kResolvedPathSize) != nullptr);
    for (size_t i = kResolvedPathSize; i < sizeof(out); ++i) {
        FUZZ_CHECK(out[i] == 0x7E);
    }
    const std::string expected = Resolved(text);
    if (expected.size() < kResolvedPathSize) {
        FUZZ_CHECK(result == out && expected == out);
    } else {
        // A cut path would name another key: nothing is resolved.
        FUZZ_CHECK(result == nullptr && out[0] == '\0');
    }
}

void CheckNetworkName(const char* machine) {
    char out[kNetworkNameSize + 8];
    std::memset(out, 0x7E, sizeof(out));
    FUZZ_CHECK(FormNetworkName(machine, out) == out);
    FUZZ_CHECK(std::memchr(out, '\0', kNetworkNameSize) != nullptr);
    for (size_t i = kNetworkNameSize; i < sizeof(out); ++i) {
        FUZZ_CHECK(out[i] == 0x7E);
    }
    const std::string name = std::string(machine).substr(0, kMachineNameChars);
    const bool network = machine[0] == '\\' && machine[1] == '\\';
    FUZZ_CHECK((network ? name : "\\\\" + name) == out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    CheckPath(text.data());
    CheckNetworkName(text.data());
    return 0;
}
