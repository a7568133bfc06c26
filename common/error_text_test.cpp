#include "common/error_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(SocketErrorText, prefixes_the_code_to_its_text_and_names_unlisted_codes) {
    EXPECT_STREQ(SocketErrorText(0), "Error 0: operation successful");
    EXPECT_STREQ(SocketErrorText(10048), "Error 10048: address already in use");
    // A second bind of the same socket is where the agent meets WSAEINVAL.
    EXPECT_STREQ(SocketErrorText(10022), "Error 10022: the port is already in use");
    EXPECT_STREQ(SocketErrorText(11004),
                 "Error 11004: valid name but no data record of requested type");
    EXPECT_STREQ(SocketErrorText(-2), "Error -2: incorrect protocol response");
    EXPECT_STREQ(SocketErrorText(-1), "Error -1: invalid data or unknown request");
    EXPECT_STREQ(SocketErrorText(10059), "Error 10059: undetermined internal error");
    EXPECT_STREQ(SocketErrorText(-3), "Error -3: undetermined internal error");
    EXPECT_STREQ(SocketErrorText(INT32_MIN), "Error -2147483648: undetermined internal error");
}

TEST(ShortSocketErrorText, gives_the_label_or_the_error_number) {
    EXPECT_STREQ(ShortSocketErrorText(10004), "Op cancelled");
    EXPECT_STREQ(ShortSocketErrorText(10060), "Timed out");
    EXPECT_STREQ(ShortSocketErrorText(10091), "Winsock down");
    EXPECT_STREQ(ShortSocketErrorText(10093), "Winsock down");
    EXPECT_STREQ(ShortSocketErrorText(-2), "Protocol error");
    // Listed codes without a label of their own, and unlisted ones.
    EXPECT_STREQ(ShortSocketErrorText(0), "Error 0");
    EXPECT_STREQ(ShortSocketErrorText(1901), "Error 1901");
    EXPECT_STREQ(ShortSocketErrorText(12345), "Error 12345");
    EXPECT_STREQ(ShortSocketErrorText(INT32_MIN), "Error -2147483648");
}

TEST(CleanSystemMessage, joins_lines_and_leaves_single_spaces) {
    char twoLines[] = "The service did not respond.\r\nTry again later.\r\n";
    EXPECT_EQ(CleanSystemMessage(twoLines), twoLines);
    EXPECT_STREQ(twoLines, "The service did not respond. Try again later. ");

    char spaced[] = "  Access  is   denied.\n\n";
    EXPECT_STREQ(CleanSystemMessage(spaced), " Access is denied. ");

    char plain[] = "Success.";
    EXPECT_STREQ(CleanSystemMessage(plain), "Success.");
    char empty[] = "";
    EXPECT_STREQ(CleanSystemMessage(empty), "");
    EXPECT_EQ(CleanSystemMessage(nullptr), nullptr);
}

TEST(FormatUndescribedError, prints_the_code_signed_and_stays_in_the_buffer) {
    char text[kSystemErrorTextSize];
    EXPECT_STREQ(FormatUndescribedError(1234, text, sizeof(text)),
                 "Error 1234 (no description available)");
    EXPECT_STREQ(FormatUndescribedError(0xFFFFFFFF, text, sizeof(text)),
                 "Error -1 (no description available)");

    char small[12];
    EXPECT_STREQ(FormatUndescribedError(1234, small, sizeof(small)), "Error 1234 ");
}
