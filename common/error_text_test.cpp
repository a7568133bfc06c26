#include "common/error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SocketErrorRow {
    int32_t code;
    const char* longText;
    const char* shortText; // null: no label of its own
};

// The texts operators read in messages and status columns.
const SocketErrorRow kRows[] = {
    {0, "operation successful", nullptr},
    {1901, "clock not set on server", nullptr},
    {10004, "operation canceled", "Op cancelled"},
    {10013, "permission denied", "Denied"},
    {10014, "invalid pointer or buffer too small", "Buffer err"},
    {10022, "the port is already in use", "Port in use"},
    {10024, "Too many open sockets", "No sockets"},
    {10035, "operation would block", "Op would block"},
    {10036, "blocking operation in progress", "Blking err"},
    {10037, "operation already in progress", "Op in progress"},
    {10038, "invalid socket descriptor", "Invld sckt"},
    {10040, "UDP packet too large", "Pkt too big"},
    {10042, "unsupported protocol", "Unsupp proto"},
    {10048, "address already in use", "Addr in use"},
    {10049, "address not available", "Addr unavail"},
    {10050, "network is down", "Net down"},
    {10051, "target network unreachable", "Unreachable"},
    {10052, "keep-alive failed", "KpAlive reset"},
    {10053, "connection aborted", "Aborted"},
    {10054, "connection reset by peer", "Conn reset"},
    {10055, "no system buffer space available", "Insuff buff"},
    {10056, "socket already connected", "Alrdy conn"},
    {10057, "not connected", "Not conn"},
    {10058, "socket has been shut down", "Sock shutdown"},
    {10060, "timed out", "Timed out"},
    {10061, "connection refused by peer", "Refused"},
    {10064, "destination host down", "Dest down"},
    {10065, "no route to host", "No route"},
    {10091, "network subsystem not available", "Winsock down"},
    {10093, "winsock subsystem not initialized", "Winsock down"},
    {10101, "shutdown in progress", "Shutting down"},
    {11001, "target host not found", "Not found"},
    {11002, "non-authoritative host not found", "Need retry"},
    {11003, "unrecoverable lookup error", "Lookup failed"},
    {11004, "valid name but no data record of requested type", "Invalid name"},
    {-2, "incorrect protocol response", "Protocol error"},
    {-1, "invalid data or unknown request", "Invalid data"},
};

} // namespace

TEST(SocketErrorText, prefixes_every_listed_code_to_its_long_text) {
    for (const SocketErrorRow& row : kRows) {
        const std::string expected = "Error " + std::to_string(row.code) + ": " + row.longText;
        EXPECT_EQ(SocketErrorText(row.code), expected);
    }
}

TEST(SocketErrorText, names_unlisted_codes_an_undetermined_internal_error) {
    EXPECT_STREQ(SocketErrorText(10059), "Error 10059: undetermined internal error");
    EXPECT_STREQ(SocketErrorText(-3), "Error -3: undetermined internal error");
    EXPECT_STREQ(SocketErrorText(INT32_MIN), "Error -2147483648: undetermined internal error");
}

TEST(ShortSocketErrorText, gives_every_label_and_error_number_for_codes_without_one) {
    for (const SocketErrorRow& row : kRows) {
        const std::string expected =
            row.shortText != nullptr ? row.shortText : "Error " + std::to_string(row.code);
        EXPECT_EQ(ShortSocketErrorText(row.code), expected) << row.code;
    }
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
