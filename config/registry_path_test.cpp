#include "config/registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {
std::string Resolve(const char* path) {
    char out[kResolvedPathSize];
    const char* result = ResolveKeyPath(path, out);
    EXPECT_TRUE(result == out || result == nullptr);
    return result != nullptr ? std::string(result) : std::string("<null>");
}

std::string NetworkName(const char* machine) {
    char out[kNetworkNameSize];
    EXPECT_EQ(FormNetworkName(machine, out), out);
    return out;
}
} // namespace

TEST(ResolveKeyPath, each_form_of_the_notation_names_its_key_below_the_machine_root) {
    EXPECT_EQ(Resolve(nullptr), "Software\\Tessaric\\Horologix\\Parameters");
    EXPECT_EQ(Resolve(""), "Software\\Tessaric\\Horologix\\Parameters");
    EXPECT_EQ(Resolve("X"), "Software\\Tessaric\\Horologix\\Parameters\\X");
    EXPECT_EQ(Resolve("A\\B"), "Software\\Tessaric\\Horologix\\Parameters\\A\\B");
    EXPECT_EQ(Resolve("\\"), "Software\\Tessaric\\Horologix");
    // The text after one backslash follows the product's key directly, backslash included.
    EXPECT_EQ(Resolve("\\NotepadTemp"), "Software\\Tessaric\\Horologix\\NotepadTemp");
    EXPECT_EQ(Resolve("\\\\System\\CurrentControlSet\\Services\\W32Time"),
              "System\\CurrentControlSet\\Services\\W32Time");
    EXPECT_EQ(Resolve("\\\\"), "");
    EXPECT_EQ(Resolve("\\\\\\X"), "\\X");
}

TEST(ResolveKeyPath, path_that_does_not_fit_gives_null_and_empty_text_instead_of_a_cut_key) {
    const std::string fits(kResolvedPathSize - 1, 'k');
    EXPECT_EQ(Resolve(("\\\\" + fits).c_str()), fits);

    char out[kResolvedPathSize];
    out[0] = 'x';
    EXPECT_EQ(ResolveKeyPath(("\\\\" + fits + "k").c_str(), out), nullptr);
    EXPECT_STREQ(out, "");

    // A plain name follows "Software\Tessaric\Horologix\Parameters\" (39 characters).
    const std::string name(kResolvedPathSize - 1 - 39, 'n');
    EXPECT_EQ(Resolve(name.c_str()).size(), kResolvedPathSize - 1);
    EXPECT_EQ(Resolve((name + "n").c_str()), "<null>");
    EXPECT_EQ(ResolveKeyPath("X", nullptr), nullptr);
}

TEST(FormNetworkName, adds_two_backslashes_unless_present_and_cuts_at_127_characters) {
    EXPECT_EQ(NetworkName("REMOTE1"), "\\\\REMOTE1");
    EXPECT_EQ(NetworkName("\\\\REMOTE1"), "\\\\REMOTE1");
    EXPECT_EQ(NetworkName("\\REMOTE1"), "\\\\\\REMOTE1");
    EXPECT_EQ(NetworkName(nullptr), "");

    const std::string longName(200, 'm');
    EXPECT_EQ(NetworkName(longName.c_str()), "\\\\" + std::string(kMachineNameChars, 'm'));
    const std::string longNetworkName = "\\\\" + longName;
    EXPECT_EQ(NetworkName(longNetworkName.c_str()),
              "\\\\" + std::string(kMachineNameChars - 2, 'm'));
}

TEST(JudgeBooleanNumber, zero_and_codes_of_false_letters_are_false_marker_asks_for_text) {
    for (uint32_t number : {0u, 48u, 70u, 78u, 102u, 110u}) {
        EXPECT_EQ(JudgeBooleanNumber(number), BooleanJudgement::False) << number;
    }
    for (uint32_t number : {1u, 5u, 49u, 84u, 89u, 116u, 121u, 120u, 0xFFFFFFFFu, 0xFEDCBA97u}) {
        EXPECT_EQ(JudgeBooleanNumber(number), BooleanJudgement::True) << number;
    }
    EXPECT_EQ(JudgeBooleanNumber(kBooleanUnread), BooleanJudgement::ReadAsText);
}

TEST(JudgeBooleanText, only_the_first_character_counts) {
    for (const char* text : {"True", "true", "T", "1", "yes", "Y", "12", "tomorrow"}) {
        EXPECT_TRUE(JudgeBooleanText(text)) << text;
    }
    for (const char* text : {"False", "0", "no", "N", "", " True", "x", "On"}) {
        EXPECT_FALSE(JudgeBooleanText(text)) << text;
    }
    EXPECT_FALSE(JudgeBooleanText(nullptr));
}
