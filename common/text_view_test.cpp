#include "common/text_view.h"

#include <gtest/gtest.h>

TEST(LeadingNumber, reads_leading_digits_and_counts_other_names_as_zero) {
    EXPECT_EQ(LeadingNumber("1"), 1u);
    EXPECT_EQ(LeadingNumber("7"), 7u);
    EXPECT_EQ(LeadingNumber("12abc"), 12u);
    EXPECT_EQ(LeadingNumber("007"), 7u);
    EXPECT_EQ(LeadingNumber("x"), 0u);
    EXPECT_EQ(LeadingNumber(" 5"), 0u);
    EXPECT_EQ(LeadingNumber(""), 0u);
    EXPECT_EQ(LeadingNumber(nullptr), 0u);
    EXPECT_EQ(LeadingNumber("4294967295"), 4294967295u);
    EXPECT_EQ(LeadingNumber("99999999999999999999999"), 4294967295u);
}

TEST(NextViewName, is_one_above_the_largest_number_in_use) {
    char name[16];
    NextViewName(0, name);
    EXPECT_STREQ(name, "1");
    NextViewName(7, name);
    EXPECT_STREQ(name, "8");
    // The largest count still gets a name of its own rather than wrapping to "0".
    NextViewName(4294967295u, name);
    EXPECT_STREQ(name, "4294967296");
}
