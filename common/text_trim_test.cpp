#include "common/text_trim.h"

#include <gtest/gtest.h>

TEST(TrimWhitespace, removes_blanks_and_line_ends_at_both_ends_and_moves_text_to_start) {
    char text[] = " \t\r\nNTP server 1\t \r\n";
    EXPECT_EQ(TrimWhitespace(text), text);
    EXPECT_STREQ(text, "NTP server 1");
}

TEST(TrimWhitespace, text_of_only_blanks_becomes_empty) {
    char text[] = " \t\r\n \n";
    EXPECT_STREQ(TrimWhitespace(text), "");
    char empty[] = "";
    EXPECT_STREQ(TrimWhitespace(empty), "");
    EXPECT_EQ(TrimWhitespace(nullptr), nullptr);
}
