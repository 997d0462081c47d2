#include "mqtt/mqtt_options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

const MqttOptionName mqtt_option_names[mqtt_option_count] = {
    {"--mqtt", MqttValue::required},
    {"--mqtt-ca", MqttValue::required},
    {"--mqtt-discovery", MqttValue::optional},
    {"--mqtt-password-file", MqttValue::required},
};

namespace {

const char* refuse(MqttOptions& options, const char* what, const char* detail = "") {
    std::snprintf(options.why, sizeof options.why, "%s%s", what, detail);
    return options.why;
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// The user of the URL, %XX decoded. False for a password (':') or a user
// that does not fit.
bool take_user(MqttOptions& options, const char* from, const char* to) {
    std::size_t n = 0;
    for (const char* p = from; p < to; ++p) {
        char c = *p;
        if (c == ':' || n + 1 >= sizeof options.user) {
            return false;
        }
        if (c == '%' && to - p >= 3 && is_hex(p[1]) && is_hex(p[2])) {
            c = static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        }
        options.user[n++] = c;
    }
    options.user[n] = '\0';
    return n > 0;
}

bool is_host_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// HOST[:PORT] up to `to`: a name, an IPv4 address or [an IPv6 address].
bool take_host_port(MqttOptions& options, const char* from, const char* to) {
    const char* host_end = from;
    if (*from == '[') {
        host_end = static_cast<const char*>(std::memchr(from, ']', static_cast<size_t>(to - from)));
        if (host_end == nullptr) {
            return false;
        }
        for (const char* p = from + 1; p < host_end; ++p) {
            if (!is_hex(*p) && *p != ':' && *p != '.') {
                return false;
            }
        }
        ++from;
    } else {
        while (host_end < to && is_host_byte(*host_end)) {
            ++host_end;
        }
    }
    const auto length = static_cast<std::size_t>(host_end - from);
    if (length == 0 || length >= sizeof options.host) {
        return false;
    }
    std::memcpy(options.host, from, length);
    options.host[length] = '\0';
    const char* p = *host_end == ']' ? host_end + 1 : host_end;
    if (p == to) {
        return true;
    }
    if (*p != ':' || p + 1 == to) {
        return false;
    }
    std::uint32_t port = 0;
    for (++p; p < to; ++p) {
        if (*p < '0' || *p > '9' || port > 65535) {
            return false;
        }
        port = port * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    options.port = static_cast<std::uint16_t>(port);
    return port >= 1 && port <= 65535;
}

const char* take_url(MqttOptions& options, const char* url) {
    const char* rest = nullptr;
    if (std::strncmp(url, "mqtt://", 7) == 0) {
        rest = url + 7;
        options.tls = false;
        options.port = 1883;
    } else if (std::strncmp(url, "mqtts://", 8) == 0) {
        rest = url + 8;
        options.tls = true;
        options.port = 8883;
    } else {
        return refuse(options, "--mqtt needs mqtt://[USER@]HOST[:PORT] or mqtts://...: ", url);
    }
    const char* end = rest + std::strlen(rest);
    if (end > rest && end[-1] == '/') {
        --end;
    }
    const char* at = nullptr;
    for (const char* p = rest; p < end; ++p) {
        if (*p == '@') {
            at = p;
        }
    }
    options.user[0] = '\0';
    if (at != nullptr) {
        if (std::memchr(rest, ':', static_cast<size_t>(at - rest)) != nullptr) {
            return refuse(options,
                          "--mqtt: no password in the URL, where others can read it; use "
                          "--mqtt-password-file FILE or ",
                          mqtt_password_variable);
        }
        if (!take_user(options, rest, at)) {
            return refuse(options, "--mqtt: the user is empty or too long: ", url);
        }
        rest = at + 1;
    }
    if (!take_host_port(options, rest, end)) {
        return refuse(options, "--mqtt: not HOST[:PORT] with a port from 1 to 65535: ", url);
    }
    options.enabled = true;
    return nullptr;
}

// The first line of the file, without its line end.
const char* take_password_file(MqttOptions& options, const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::snprintf(options.why, sizeof options.why, "--mqtt-password-file: cannot read %s (%s)",
                      path, std::strerror(errno));
        return options.why;
    }
    const std::size_t n = std::fread(options.password, 1, sizeof options.password, file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    std::size_t length = 0;
    while (length < n && options.password[length] != '\n' && options.password[length] != '\r') {
        ++length;
    }
    if (failed || length == sizeof options.password) {
        options.password[0] = '\0';
        return refuse(options, "--mqtt-password-file: not a password of at most 255 bytes: ", path);
    }
    options.password[length] = '\0';
    options.has_password = true;
    options.password_file = path;
    return nullptr;
}

// A topic level of its own: no wildcard, no '/' inside, not empty.
bool is_prefix(const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (length == 0 || length >= sizeof MqttOptions{}.discovery_prefix || prefix[0] == '/' ||
        prefix[length - 1] == '/') {
        return false;
    }
    return std::strpbrk(prefix, "+#") == nullptr;
}

} // namespace

const char* mqtt_take_option(MqttOptions& options, const char* name, const char* value) {
    if (std::strcmp(name, "--mqtt-discovery") == 0) {
        const char* prefix = value != nullptr ? value : mqtt_default_discovery_prefix;
        if (!is_prefix(prefix)) {
            return refuse(options,
                          "--mqtt-discovery=PREFIX: a topic prefix without + or # and "
                          "without a leading or trailing /: ",
                          prefix);
        }
        std::snprintf(options.discovery_prefix, sizeof options.discovery_prefix, "%s", prefix);
        options.discovery = true;
        return nullptr;
    }
    if (value == nullptr || value[0] == '\0') {
        return refuse(options, name,
                      std::strcmp(name, "--mqtt") == 0 ? " needs a URL" : " needs FILE");
    }
    if (std::strcmp(name, "--mqtt") == 0) {
        return take_url(options, value);
    }
    if (std::strcmp(name, "--mqtt-ca") == 0) {
        options.ca_file = value;
        return nullptr;
    }
    if (std::strcmp(name, "--mqtt-password-file") == 0) {
        return take_password_file(options, value);
    }
    return refuse(options, "not an MQTT option: ", name);
}

const char* mqtt_finish_options(MqttOptions& options, const char* environment_password) {
    if (!options.enabled) {
        if (options.ca_file != nullptr || options.password_file != nullptr || options.discovery) {
            return refuse(options, "--mqtt-ca, --mqtt-discovery and --mqtt-password-file go with "
                                   "--mqtt URL");
        }
        return nullptr;
    }
    if (options.ca_file != nullptr && !options.tls) {
        return refuse(options, "--mqtt-ca goes with an mqtts:// URL");
    }
    if (options.password_file != nullptr && options.user[0] == '\0') {
        return refuse(options, "--mqtt-password-file needs a user in the URL: mqtt://USER@HOST");
    }
    if (!options.has_password && options.user[0] != '\0' && environment_password != nullptr) {
        if (std::strlen(environment_password) >= sizeof options.password) {
            return refuse(options, mqtt_password_variable, ": longer than 255 bytes");
        }
        std::snprintf(options.password, sizeof options.password, "%s", environment_password);
        options.has_password = true;
    }
    return nullptr;
}

void mqtt_safe_name(char* out, const char* name) {
    if (std::strncmp(name, "/dev/", 5) == 0) {
        name += 5;
    } else if (std::strncmp(name, "\\\\.\\", 4) == 0) {
        name += 4;
    }
    int n = 0;
    for (; name[n] != '\0' && n < mqtt_name_capacity - 1; ++n) {
        char c = name[n];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        const bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        out[n] = safe ? c : '_';
    }
    out[n] = '\0';
    if (n == 0) {
        std::snprintf(out, mqtt_name_capacity, "meter");
    }
}
