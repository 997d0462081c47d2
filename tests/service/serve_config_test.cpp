// --serve [ADDR:]PORTNUMBER: what is taken, and what is refused with which words.
#include "web/serve_config.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct AddressRow {
    const char* text;
    const char* host; // nullptr: refused
    int port;         // or the refusal's words, after the quoted text
    const char* why;
    const char* url; // serve_address_text of what was taken
};

class ServeAddress : public testing::TestWithParam<AddressRow> {};

TEST_P(ServeAddress, ParsesOrSaysWhy) {
    const AddressRow& row = GetParam();
    ServeConfig config;
    config.port = 7;
    char why[200] = "";
    const bool ok = serve_address_parse(row.text, config, why, sizeof why);
    if (row.host == nullptr) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(std::string(why), std::string("'") + row.text + "': " + row.why);
        EXPECT_STREQ(config.host, "127.0.0.1"); // unchanged
        EXPECT_EQ(config.port, 7);
        return;
    }
    ASSERT_TRUE(ok) << why;
    EXPECT_STREQ(config.host, row.host);
    EXPECT_EQ(config.port, row.port);
    char url[300];
    serve_address_text(config, config.port, url, sizeof url);
    EXPECT_STREQ(url, row.url);
}

const char* const bad_port = "the port number must be a whole number from 0 to 65535";

INSTANTIATE_TEST_SUITE_P(
    Serve, ServeAddress,
    testing::Values(
        AddressRow{"9101", "127.0.0.1", 9101, "", "127.0.0.1:9101"},
        AddressRow{"0", "127.0.0.1", 0, "", "127.0.0.1:0"},
        AddressRow{"65535", "127.0.0.1", 65535, "", "127.0.0.1:65535"},
        AddressRow{"0.0.0.0:9101", "0.0.0.0", 9101, "", "0.0.0.0:9101"},
        AddressRow{"192.168.1.20:80", "192.168.1.20", 80, "", "192.168.1.20:80"},
        AddressRow{"[::1]:9101", "::1", 9101, "", "[::1]:9101"},
        AddressRow{"[::]:9101", "::", 9101, "", "[::]:9101"},
        AddressRow{"[fe80::1%eth0]:9101", "fe80::1%eth0", 9101, "", "[fe80::1%eth0]:9101"},
        AddressRow{"[::ffff:10.0.0.1]:1", "::ffff:10.0.0.1", 1, "", "[::ffff:10.0.0.1]:1"},
        AddressRow{"localhost:9101", "localhost", 9101, "", "localhost:9101"},
        AddressRow{"meter-box.lan:9101", "meter-box.lan", 9101, "", "meter-box.lan:9101"},
        AddressRow{"", nullptr, 0, "no port number ([ADDR:]PORTNUMBER, as in 9101)", ""},
        AddressRow{"65536", nullptr, 0, bad_port, ""},
        AddressRow{"123456", nullptr, 0, bad_port, ""}, AddressRow{"-1", nullptr, 0, bad_port, ""},
        AddressRow{"91o1", nullptr, 0, bad_port, ""},
        AddressRow{"localhost:", nullptr, 0, bad_port, ""},
        AddressRow{":9101", nullptr, 0, "no address before the port number", ""},
        AddressRow{"::1:9101", nullptr, 0, "an IPv6 address goes in brackets, as in [::1]:9101",
                   ""},
        AddressRow{"[::1]9101", nullptr, 0,
                   "no ':' and port number after the IPv6 address, as in [::1]:9101", ""},
        AddressRow{"[::1:9101", nullptr, 0, "no ']' after the IPv6 address", ""},
        AddressRow{"[1.2.3.4]:9101", nullptr, 0, "no IPv6 address in the brackets", ""},
        AddressRow{"[::g]:9101", nullptr, 0, "no IPv6 address in the brackets", ""},
        AddressRow{"256.0.0.1:9101", nullptr, 0, "no IPv4 address before the port number", ""},
        AddressRow{"10.0.1:9101", nullptr, 0, "no IPv4 address before the port number", ""},
        AddressRow{"my_host:9101", nullptr, 0,
                   "no host name before the port number (letters, digits, '-' and '.')", ""},
        AddressRow{"-host:9101", nullptr, 0,
                   "no host name before the port number (letters, digits, '-' and '.')", ""},
        AddressRow{"host..lan:9101", nullptr, 0,
                   "no host name before the port number (letters, digits, '-' and '.')", ""}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

} // namespace
