// The MQTT options of the command line: the broker's URL, its CA, the
// password and Home Assistant discovery; and the safe names that meters and
// the program go by in topics. Nothing here talks to a broker.
#pragma once

#include <cstdint>

// The environment variable a password may come from. It is never taken from
// the command line, where other users read it in the process list.
constexpr const char* mqtt_password_variable = "TOLVANER_MQTT_PASSWORD";
constexpr const char* mqtt_default_discovery_prefix = "homeassistant";

struct MqttOptions {
    bool enabled; // --mqtt was given
    bool tls;     // mqtts://
    char host[256];
    std::uint16_t port;
    char user[128]; // "" for none
    char password[256];
    bool has_password;
    const char* ca_file;       // --mqtt-ca; nullptr: the system's trust store
    const char* password_file; // --mqtt-password-file; nullptr: none
    bool discovery;            // --mqtt-discovery
    char discovery_prefix[128];
    char why[400]; // why the last option was refused
};

// How an option takes its value: as the next argument or after '='
// (required), or only after '=' (optional: --mqtt-discovery=PREFIX).
enum class MqttValue : std::uint8_t { required, optional };

struct MqttOptionName {
    const char* name;
    MqttValue value;
};

constexpr int mqtt_option_count = 4;
// --mqtt URL, --mqtt-ca FILE, --mqtt-discovery[=PREFIX], --mqtt-password-file FILE.
extern const MqttOptionName mqtt_option_names[mqtt_option_count];

// Takes option `name` (one of mqtt_option_names, without "=VALUE") with its
// `value` (nullptr for none). Returns nullptr when taken, else why not, in
// words that name the option (the text lives in options.why). A password
// file is read here, so that a wrong one is said before anything starts.
const char* mqtt_take_option(MqttOptions& options, const char* name, const char* value);

// After the last option: checks that the options go together and takes the
// password from `environment_password` (the value of
// mqtt_password_variable, or nullptr) when no file gave one and the URL
// names a user. Returns nullptr when they do, else why not.
const char* mqtt_finish_options(MqttOptions& options, const char* environment_password);

// The safe form of a name in a topic, a client ID and a Home Assistant ID:
// a leading "/dev/" or "\\.\" is dropped, letters are made lower case, and
// every byte that is not a-z, 0-9, '_' or '-' becomes '_'; at most 64
// characters; "meter" for an empty name. Writes it NUL-ended into `out`,
// which holds mqtt_name_capacity bytes.
constexpr int mqtt_name_capacity = 65;
void mqtt_safe_name(char* out, const char* name);
