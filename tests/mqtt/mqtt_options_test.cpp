// The MQTT options as the command line takes them, and the names of meters
// in topics.
#include "mqtt/mqtt_options.h"

#include "tests/support/harness.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

struct OptionCase {
    const char* name;
    const char* words;       // NAME=VALUE or NAME; FILE is a password file
    const char* environment; // the password variable's value
    const char* expected;    // "=tls host port user password prefix" taken, else part of why not
};

class MqttOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(MqttOptionsTest, TakesOrRefuses) {
    const OptionCase& c = GetParam();
    harness::TempDir dir;
    std::ofstream(dir.path() + "/FILE") << "s3cret\nsecond line\n";
    MqttOptions o{};
    const char* why = nullptr;
    std::istringstream words(c.words);
    for (std::string word; why == nullptr && words >> word;) {
        const std::size_t equals = word.find('=');
        const std::string value =
            word.substr(equals + 1) == "FILE" ? dir.path() + "/FILE" : word.substr(equals + 1);
        why = mqtt_take_option(o, word.substr(0, equals).c_str(),
                               equals == std::string::npos ? nullptr : value.c_str());
    }
    why = why != nullptr ? why : mqtt_finish_options(o, c.environment);
    char taken[800];
    std::snprintf(taken, sizeof taken, "=%d %s %u %s %s %s", o.tls, o.host, o.port,
                  o.user[0] != '\0' ? o.user : "-", o.has_password ? o.password : "-",
                  o.discovery ? o.discovery_prefix : "-");
    EXPECT_NE(std::string(why != nullptr ? why : taken).find(c.expected), std::string::npos)
        << (why != nullptr ? why : taken);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MqttOptionsTest,
    ::testing::Values(
        OptionCase{"plain", "--mqtt=mqtt://broker.lan", nullptr, "=0 broker.lan 1883 - - -"},
        OptionCase{"tls", "--mqtt=mqtts://meter%40home@10.0.0.2:8884/", "pw",
                   "=1 10.0.0.2 8884 meter@home pw -"},
        OptionCase{"ipv6", "--mqtt=mqtts://[::1]", nullptr, "=1 ::1 8883 - - -"},
        OptionCase{"file_first", "--mqtt=mqtt://u@h --mqtt-password-file=FILE", "env",
                   "=0 h 1883 u s3cret -"},
        OptionCase{"no_user_no_password", "--mqtt=mqtt://h", "env", "=0 h 1883 - - -"},
        OptionCase{"discovery", "--mqtt=mqtt://h --mqtt-discovery", nullptr, " homeassistant"},
        OptionCase{"prefix", "--mqtt=mqtt://h --mqtt-discovery=ha/x", nullptr, "- - ha/x"},
        OptionCase{"password_in_url", "--mqtt=mqtt://u:pw@h", nullptr, "no password in the URL"},
        OptionCase{"scheme", "--mqtt=http://h", nullptr, "mqtt://[USER@]HOST"},
        OptionCase{"port_0", "--mqtt=mqtt://h:0", nullptr, "1 to 65535"},
        OptionCase{"port_65536", "--mqtt=mqtt://h:65536", nullptr, "1 to 65535"},
        OptionCase{"path", "--mqtt=mqtt://h/x", nullptr, "HOST[:PORT]"},
        OptionCase{"empty_user", "--mqtt=mqtt://@h", nullptr, "user is empty"},
        OptionCase{"no_url", "--mqtt", nullptr, "needs a URL"},
        OptionCase{"no_file", "--mqtt=mqtt://u@h --mqtt-password-file=/no/pw", nullptr,
                   "cannot read /no/pw"},
        OptionCase{"file_no_user", "--mqtt=mqtt://h --mqtt-password-file=FILE", nullptr,
                   "needs a user"},
        OptionCase{"ca_no_tls", "--mqtt=mqtt://h --mqtt-ca=ca.pem", nullptr, "mqtts://"},
        OptionCase{"wildcard", "--mqtt=mqtt://h --mqtt-discovery=ha/#", nullptr, "+ or #"},
        OptionCase{"no_mqtt", "--mqtt-discovery", nullptr, "go with --mqtt URL"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MqttSafeName, FromSerialsAndPortNames) {
    const std::string long_name(70, 'X');
    const std::pair<const char*, std::string> rows[] = {
        {"A50285BI", "a50285bi"},
        {"/dev/ttyUSB0", "ttyusb0"},
        {"\\\\.\\COM12", "com12"},
        {"usb:0403:6001/FT x", "usb_0403_6001_ft_x"},
        {"", "meter"},
        {long_name.c_str(), std::string(64, 'x')}};
    for (const auto& [name, safe] : rows) {
        char out[mqtt_name_capacity];
        mqtt_safe_name(out, name);
        EXPECT_EQ(out, safe) << name;
    }
}

} // namespace
