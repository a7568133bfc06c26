// Fuzz target: the texts the settings read back from the registry: the Windows Time "Type" and
// the lenient booleans, as numbers and as texts.
#include <strings.h>

#include <cstring>
#include <vector>

#include "common/fuzz_support.h"
#include "config/registry.h"
#include "config/settings.h"

namespace {

void CheckSyncType(const char* text) {
    // The first of the names whose first three letters the text starts with, in any case.
    static const struct {
        const char* prefix;
        uint32_t code;
    } kOrder[] = {{"not", kSyncNotTouched}, {"dis", kSyncDisabled}, {"nos", kSyncNoSync},
                  {"nt5", kSyncNt5ds},      {"all", kSyncAllSync},  {"ntp", kSyncNtp}};
    uint32_t expected = kSyncUnknown;
    for (const auto& entry : kOrder) {
        if (std::strlen(text) >= 3 && strncasecmp(text, entry.prefix, 3) == 0) {
            expected = entry.code;
            break;
        }
    }
    const uint32_t code = ParseSyncType(text);
    FUZZ_CHECK(code == expected);
    // Every code has a name that reads back as itself; codes without one are saved as NTP.
    const char* name = SyncTypeName(code);
    FUZZ_CHECK(name != nullptr);
    FUZZ_CHECK(ParseSyncType(name) == (code <= kSyncDisabled ? code : kSyncNtp));
}

void CheckBooleans(const char* text, uint32_t number) {
    const bool judged = JudgeBooleanText(text);
    FUZZ_CHECK(judged == (std::strchr("tT1yY", text[0]) != nullptr && text[0] != '\0'));
    const BooleanJudgement byNumber = JudgeBooleanNumber(number);
    const bool falseCode = number == 0 || number == '0' || number == 'F' || number == 'N' ||
                           number == 'f' || number == 'n';
    FUZZ_CHECK((byNumber == BooleanJudgement::False) == falseCode);
    FUZZ_CHECK((byNumber == BooleanJudgement::ReadAsText) == (number == kBooleanUnread));
    // A one-character text stored as a string reads as its code: the number and the text
    // must agree for the characters a boolean is written with.
    const char one[2] = {text[0], '\0'};
    const uint32_t code = static_cast<unsigned char>(text[0]);
    if (code != 0 && std::strchr("tT1yY0fFnN", static_cast<char>(code)) != nullptr) {
        FUZZ_CHECK((JudgeBooleanNumber(code) == BooleanJudgement::True) == JudgeBooleanText(one));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint32_t number = input.U32();
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    CheckSyncType(text.data());
    CheckBooleans(text.data(), number);
    return 0;
}
