#include "timesrc/ntp_source.h"

#include "timesrc/time_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(ProtocolDisplayName, names_every_family_code_and_groups_the_rest) {
    const char* const named[] = {
        "Quorvex II UDP",        "NTP/SNTP (RFC 1769)",    "Quorvex I",
        "Lan Manager (NetBIOS)", "TIME/ITP (RFC 868) UDP", "TIME/ITP (RFC 868) TCP",
        "Quorvex over HTTP",     "Quorvex II TCP",         "Daytime (RFC 867) UDP",
        "Daytime (RFC 867) TCP", "Quorvex II Client",      "ICMP Timestamp",
    };
    for (int code = 0; code < 12; ++code) {
        EXPECT_STREQ(ProtocolDisplayName(static_cast<TimeProtocol>(code)), named[code]) << code;
    }
    EXPECT_STREQ(ProtocolDisplayName(kTimeProtocolNtp), "NTP/SNTP (RFC 1769)");
    EXPECT_STREQ(ProtocolDisplayName(12), "specified protocol");
    EXPECT_STREQ(ProtocolDisplayName(253), "specified protocol");
    EXPECT_STREQ(ProtocolDisplayName(254), "N/A");
    EXPECT_STREQ(ProtocolDisplayName(255), "selected protocol");
}

TEST(SourceText, a_host_alone_names_no_port) {
    char host[kSourceHostSize];
    uint16_t port = 99;
    ASSERT_EQ(ParseSourceText("time.example.org", host, &port), SourceTextStatus::kOk);
    EXPECT_STREQ(host, "time.example.org");
    EXPECT_EQ(port, 0);
}

TEST(SourceText, a_port_after_the_colon_is_taken) {
    char host[kSourceHostSize];
    uint16_t port = 0;
    ASSERT_EQ(ParseSourceText("127.0.0.2:12300", host, &port), SourceTextStatus::kOk);
    EXPECT_STREQ(host, "127.0.0.2");
    EXPECT_EQ(port, 12300);
    ASSERT_EQ(ParseSourceText("h:1", host, &port), SourceTextStatus::kOk);
    EXPECT_EQ(port, 1);
    ASSERT_EQ(ParseSourceText("h:65535", host, &port), SourceTextStatus::kOk);
    EXPECT_EQ(port, 65535);
}

TEST(SourceText, rejects_texts_that_name_no_host_or_no_valid_port) {
    char host[kSourceHostSize];
    uint16_t port = 0;
    EXPECT_EQ(ParseSourceText(nullptr, host, &port), SourceTextStatus::kEmpty);
    EXPECT_EQ(ParseSourceText("", host, &port), SourceTextStatus::kEmpty);
    EXPECT_EQ(ParseSourceText(":123", host, &port), SourceTextStatus::kEmpty);
    for (const char* text : {"h:", "h:0", "h:65536", "h:99999", "h:1234567890123", "h:12a", "h:-1",
                             "h: 123", "h:1:2", "h:+5"}) {
        EXPECT_EQ(ParseSourceText(text, host, &port), SourceTextStatus::kBadPort) << text;
        EXPECT_STREQ(host, "") << text;
    }
}

TEST(SourceText, a_host_longer_than_its_field_is_refused_not_cut) {
    char host[kSourceHostSize];
    uint16_t port = 0;
    const std::string longest(kSourceHostSize - 1, 'a');
    ASSERT_EQ(ParseSourceText((longest + ":123").c_str(), host, &port), SourceTextStatus::kOk);
    EXPECT_EQ(std::strlen(host), kSourceHostSize - 1);
    EXPECT_EQ(ParseSourceText((longest + "a").c_str(), host, &port), SourceTextStatus::kTooLong);
}

TEST(DottedAddress, reads_four_numbers_into_network_byte_order) {
    uint32_t address = 0;
    ASSERT_TRUE(ParseDottedAddress("127.0.0.2", &address));
    const uint8_t bytes[] = {127, 0, 0, 2};
    EXPECT_EQ(std::memcmp(&address, bytes, 4), 0);
    ASSERT_TRUE(ParseDottedAddress("255.255.255.255", &address));
    EXPECT_EQ(address, 0xFFFFFFFFu);

    // The text FormatAddress writes reads back to the same address.
    char text[kAddressTextSize];
    for (const char* dotted : {"10.20.30.40", "192.168.0.1", "1.2.3.4"}) {
        ASSERT_TRUE(ParseDottedAddress(dotted, &address)) << dotted;
        EXPECT_STREQ(FormatAddress(address, text), dotted);
    }
}

TEST(DottedAddress, anything_else_is_left_to_the_name_lookup) {
    uint32_t address = 0x5A5A5A5A;
    for (const char* text :
         {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.1000", "01.2.3.4", "1.2.3.4 ", " 1.2.3.4",
          "1..2.3", "1.2.3.", ".1.2.3", "a.b.c.d", "localhost", "1.2.3.4:123", "0x7f.0.0.1"}) {
        EXPECT_FALSE(ParseDottedAddress(text, &address)) << text;
    }
    EXPECT_FALSE(ParseDottedAddress(nullptr, &address));
    EXPECT_EQ(address, 0x5A5A5A5Au);
}
