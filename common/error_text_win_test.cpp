#include "common/error_text_win.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

void ExpectOneLine(const std::string& text) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.find("  "), std::string::npos) << text;
}

} // namespace

TEST(SystemErrorText, code_zero_describes_the_last_error_and_leaves_it_in_place) {
    const std::string direct = SystemErrorText(ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::string described = SystemErrorText(0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(described, direct);
    EXPECT_EQ(described.find("no description"), std::string::npos) << described;
}

TEST(SystemErrorText, message_ending_in_cr_lf_comes_back_as_one_line_with_a_trailing_space) {
    // The system's texts end in CR LF (Wine's are all one line; joined lines are covered by the
    // portable clean-up test).
    char raw[512] = {};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), raw,
                             sizeof(raw), nullptr),
              2u);
    const std::string rawText = raw;
    ASSERT_EQ(rawText.substr(rawText.size() - 2), "\r\n");

    const std::string text = SystemErrorText(ERROR_ACCESS_DENIED);
    ExpectOneLine(text);
    EXPECT_EQ(text, rawText.substr(0, rawText.size() - 2) + " ");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(SystemErrorText, code_without_a_message_gets_the_no_description_text_and_becomes_last_error) {
    EXPECT_STREQ(SystemErrorText(0x20000123), "Error 536871203 (no description available)");
    EXPECT_EQ(GetLastError(), 0x20000123u);
    EXPECT_STREQ(SystemErrorText(0xE0000001), "Error -536870911 (no description available)");
    EXPECT_EQ(GetLastError(), 0xE0000001u);
}

TEST(LastSocketErrorText, describes_the_threads_socket_error) {
    WSASetLastError(WSAETIMEDOUT);
    EXPECT_STREQ(LastSocketErrorText(), "Error 10060: timed out");
    WSASetLastError(WSANOTINITIALISED);
    EXPECT_STREQ(LastSocketErrorText(), "Error 10093: winsock subsystem not initialized");
}
