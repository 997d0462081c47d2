// The MQTT options as the command line takes them, and the safe names of
// meters in topics.
#include "service/mqtt_options.h"

#include "tests/support/harness.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

struct OptionCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> options; // name, value
    const char* environment_password;
    const char* refusal; // part of why it is refused; nullptr: taken
    const char* taken;   // what was taken: "tls host port user password prefix"
};

std::string taken_of(const MqttOptions& o) {
    char text[800];
    std::snprintf(text, sizeof text, "%d %s %u %s %s %s", o.tls ? 1 : 0, o.host,
                  static_cast<unsigned>(o.port), o.user[0] != '\0' ? o.user : "-",
                  o.has_password ? o.password : "-", o.discovery ? o.discovery_prefix : "-");
    return text;
}

class MqttOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(MqttOptionsTest, TakesOrRefuses) {
    const OptionCase& c = GetParam();
    harness::TempDir dir;
    const std::string password_file = dir.path() + "/password";
    std::FILE* f = std::fopen(password_file.c_str(), "w");
    std::fputs("s3cret\nsecond line\n", f);
    std::fclose(f);
    MqttOptions options{};
    const char* why = nullptr;
    for (const auto& [name, value] : c.options) {
        const std::string v = value != nullptr && std::string(value) == "FILE" ? password_file
                              : value != nullptr                               ? value
                                                                               : "";
        why = mqtt_take_option(options, name, value != nullptr ? v.c_str() : nullptr);
        if (why != nullptr) {
            break;
        }
    }
    if (why == nullptr) {
        why = mqtt_finish_options(options, c.environment_password);
    }
    if (c.refusal != nullptr) {
        ASSERT_NE(why, nullptr);
        EXPECT_NE(std::string(why).find(c.refusal), std::string::npos) << why;
    } else {
        ASSERT_EQ(why, nullptr) << why;
        EXPECT_EQ(taken_of(options), c.taken);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MqttOptionsTest,
    ::testing::Values(
        OptionCase{"plain",
                   {{"--mqtt", "mqtt://broker.lan"}},
                   nullptr,
                   nullptr,
                   "0 broker.lan 1883 - - -"},
        OptionCase{"tls_port_user_env",
                   {{"--mqtt", "mqtts://meter%40home@10.0.0.2:8884/"}},
                   "pw",
                   nullptr,
                   "1 10.0.0.2 8884 meter@home pw -"},
        OptionCase{"ipv6_default_tls_port",
                   {{"--mqtt", "mqtts://[::1]"}},
                   nullptr,
                   nullptr,
                   "1 ::1 8883 - - -"},
        OptionCase{"file_wins_over_environment",
                   {{"--mqtt", "mqtt://u@h"}, {"--mqtt-password-file", "FILE"}},
                   "env",
                   nullptr,
                   "0 h 1883 u s3cret -"},
        OptionCase{"no_user_no_environment_password",
                   {{"--mqtt", "mqtt://h"}},
                   "env",
                   nullptr,
                   "0 h 1883 - - -"},
        OptionCase{"discovery_default",
                   {{"--mqtt", "mqtt://h"}, {"--mqtt-discovery", nullptr}},
                   nullptr,
                   nullptr,
                   "0 h 1883 - - homeassistant"},
        OptionCase{"discovery_prefix",
                   {{"--mqtt", "mqtt://h"}, {"--mqtt-discovery", "ha/test"}},
                   nullptr,
                   nullptr,
                   "0 h 1883 - - ha/test"},
        OptionCase{"password_in_url", {{"--mqtt", "mqtt://u:pw@h"}}, nullptr, "no password", ""},
        OptionCase{"other_scheme", {{"--mqtt", "http://h"}}, nullptr, "mqtt://[USER@]HOST", ""},
        OptionCase{"port_zero", {{"--mqtt", "mqtt://h:0"}}, nullptr, "1 to 65535", ""},
        OptionCase{"port_too_big", {{"--mqtt", "mqtt://h:65536"}}, nullptr, "1 to 65535", ""},
        OptionCase{"path", {{"--mqtt", "mqtt://h/x"}}, nullptr, "HOST[:PORT]", ""},
        OptionCase{"empty_user", {{"--mqtt", "mqtt://@h"}}, nullptr, "user", ""},
        OptionCase{"no_url", {{"--mqtt", nullptr}}, nullptr, "needs a URL", ""},
        OptionCase{"missing_password_file",
                   {{"--mqtt", "mqtt://u@h"}, {"--mqtt-password-file", "/nonexistent/pw"}},
                   nullptr,
                   "cannot read /nonexistent/pw",
                   ""},
        OptionCase{"password_file_without_user",
                   {{"--mqtt", "mqtt://h"}, {"--mqtt-password-file", "FILE"}},
                   nullptr,
                   "needs a user",
                   ""},
        OptionCase{"ca_without_tls",
                   {{"--mqtt", "mqtt://h"}, {"--mqtt-ca", "ca.pem"}},
                   nullptr,
                   "mqtts://",
                   ""},
        OptionCase{"wildcard_prefix",
                   {{"--mqtt", "mqtt://h"}, {"--mqtt-discovery", "ha/#"}},
                   nullptr,
                   "without + or #",
                   ""},
        OptionCase{"option_without_mqtt",
                   {{"--mqtt-discovery", nullptr}},
                   nullptr,
                   "go with --mqtt URL",
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MqttSafeName, FromSerialsAndPortNames) {
    const std::string long_name(70, 'X');
    const std::pair<const char*, const char*> rows[] = {
        {"A50285BI", "a50285bi"},
        {"/dev/ttyUSB0", "ttyusb0"},
        {"\\\\.\\COM12", "com12"},
        {"usb:0403:6001/FT x", "usb_0403_6001_ft_x"},
        {"", "meter"},
        {"/dev/serial/by-id/a", "serial_by-id_a"},
        {long_name.c_str(), ""}}; // cut to 64
    for (const auto& [name, safe] : rows) {
        char out[mqtt_name_capacity];
        mqtt_safe_name(out, name);
        EXPECT_EQ(out, safe[0] != '\0' ? std::string(safe) : std::string(64, 'x')) << name;
    }
}

} // namespace
