#include "web/serve_config.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool parse_port(const char* text, int length, std::int32_t& port) {
    if (length < 1 || length > 5) {
        return false;
    }
    std::int32_t value = 0;
    for (int i = 0; i < length; ++i) {
        if (!is_digit(text[i])) {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    if (value > 65535) {
        return false;
    }
    port = value;
    return true;
}

// Four decimal numbers from 0 to 255, dot-separated.
bool is_ipv4(const char* text, int length) {
    int parts = 0;
    int digits = 0;
    int value = 0;
    for (int i = 0; i <= length; ++i) {
        if (i == length || text[i] == '.') {
            if (digits == 0 || value > 255) {
                return false;
            }
            ++parts;
            digits = 0;
            value = 0;
        } else if (is_digit(text[i]) && digits < 3) {
            value = value * 10 + (text[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4;
}

// Hex groups, colons and an embedded IPv4 address, with at most one "::"
// and an optional zone (%eth0); the system has the last word when binding.
bool is_ipv6(const char* text, int length) {
    int end = length;
    for (int i = 0; i < length; ++i) {
        if (text[i] == '%') {
            end = i;
            if (i + 1 == length) {
                return false;
            }
            for (int j = i + 1; j < length; ++j) {
                if (!is_letter(text[j]) && !is_digit(text[j]) &&
                    std::strchr("._-", text[j]) == nullptr) {
                    return false;
                }
            }
            break;
        }
    }
    int colons = 0;
    int double_colons = 0;
    for (int i = 0; i < end; ++i) {
        if (text[i] == ':') {
            ++colons;
            if (i + 1 < end && text[i + 1] == ':') {
                ++double_colons;
            }
        } else if (!is_hex(text[i]) && text[i] != '.') {
            return false;
        }
    }
    return colons >= 2 && colons <= 7 && double_colons <= 1;
}

// Labels of letters, digits and hyphens, dot-separated, none beginning or
// ending with a hyphen.
bool is_host_name(const char* text, int length) {
    if (length > 253) {
        return false;
    }
    int label = 0;
    for (int i = 0; i <= length; ++i) {
        if (i == length || text[i] == '.') {
            if (label == 0 || label > 63 || text[i - 1] == '-') {
                return false;
            }
            label = 0;
        } else if (is_letter(text[i]) || is_digit(text[i]) || (text[i] == '-' && label > 0)) {
            ++label;
        } else {
            return false;
        }
    }
    return true;
}

bool refuse(char* why, int capacity, const char* text, const char* what) {
    std::snprintf(why, static_cast<std::size_t>(capacity), "'%.80s': %s", text, what);
    return false;
}

} // namespace

bool serve_address_parse(const char* text, ServeConfig& config, char* why, int why_capacity) {
    if (text == nullptr || text[0] == '\0') {
        return refuse(why, why_capacity, "", "no port number ([ADDR:]PORTNUMBER, as in 9101)");
    }
    const int length = static_cast<int>(std::strlen(text));
    const char* host = nullptr;
    int host_length = 0;
    bool ipv6 = false;
    const char* port = text;
    if (text[0] == '[') {
        const char* close = std::strchr(text, ']');
        if (close == nullptr) {
            return refuse(why, why_capacity, text, "no ']' after the IPv6 address");
        }
        host = text + 1;
        host_length = static_cast<int>(close - host);
        ipv6 = true;
        if (close[1] != ':') {
            return refuse(why, why_capacity, text,
                          "no ':' and port number after the IPv6 address, as in [::1]:9101");
        }
        port = close + 2;
    } else if (const char* colon = std::strrchr(text, ':'); colon != nullptr) {
        if (std::strchr(text, ':') != colon) {
            return refuse(why, why_capacity, text,
                          "an IPv6 address goes in brackets, as in [::1]:9101");
        }
        host = text;
        host_length = static_cast<int>(colon - text);
        port = colon + 1;
    }
    std::int32_t port_number = 0;
    if (!parse_port(port, static_cast<int>(text + length - port), port_number)) {
        return refuse(why, why_capacity, text,
                      "the port number must be a whole number from 0 to 65535");
    }
    if (host != nullptr) {
        bool ok = false;
        const char* what = "";
        if (host_length == 0) {
            what = "no address before the port number";
        } else if (ipv6) {
            ok = is_ipv6(host, host_length);
            what = "no IPv6 address in the brackets";
        } else {
            bool numeric = true;
            for (int i = 0; i < host_length; ++i) {
                numeric = numeric && (is_digit(host[i]) || host[i] == '.');
            }
            ok = numeric ? is_ipv4(host, host_length) : is_host_name(host, host_length);
            what = numeric ? "no IPv4 address before the port number"
                           : "no host name before the port number (letters, digits, '-' and '.')";
        }
        if (!ok || host_length >= static_cast<int>(sizeof config.host)) {
            return refuse(why, why_capacity, text, what);
        }
        std::memcpy(config.host, host, static_cast<std::size_t>(host_length));
        config.host[host_length] = '\0';
        config.host_is_ipv6 = ipv6;
    }
    config.port = port_number;
    return true;
}

int serve_address_text(const ServeConfig& config, std::int32_t port, char* out, int capacity) {
    const int n = std::snprintf(out, static_cast<std::size_t>(capacity),
                                config.host_is_ipv6 ? "[%s]:%d" : "%s:%d", config.host,
                                static_cast<int>(port));
    return n < 0 ? 0 : n >= capacity ? capacity - 1 : n;
}
