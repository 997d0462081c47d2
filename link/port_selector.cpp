#include "link/port_selector.h"

#include "link/platform.h"
#include "link/serial_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The numeric value of one hex digit, or -1.
int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One to four hex digits at `text`; moves `text` past them.
bool read_hex16(const char*& text, std::uint16_t& value) {
    std::uint32_t number = 0;
    int digits = 0;
    for (; hex_digit(*text) >= 0 && digits <= 4; ++text, ++digits) {
        number = number * 16 + static_cast<std::uint32_t>(hex_digit(*text));
    }
    value = static_cast<std::uint16_t>(number);
    return digits >= 1 && digits <= 4;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && lower(*a) == lower(*b); ++a, ++b) {
    }
    return *a == '\0' && *b == '\0';
}

// The value of `key` in an identity text, unquoted and with its \xNN escapes
// undone; false when the key is not there or the value does not fit.
bool identity_value(const char* identity, const char* key, char* value, int capacity) {
    const std::size_t key_length = std::strlen(key);
    const char* p = identity;
    while (*p != '\0') {
        const char* equals = std::strchr(p, '=');
        if (equals == nullptr) {
            return false;
        }
        bool wanted = static_cast<std::size_t>(equals - p) == key_length &&
                      std::strncmp(p, key, key_length) == 0;
        // A quoted value ends at the next quote: quotes inside were escaped.
        bool quoted = equals[1] == '"';
        const char* start = equals + (quoted ? 2 : 1);
        const char* end = std::strchr(start, quoted ? '"' : ' ');
        if (end == nullptr) {
            end = start + std::strlen(start);
        }
        if (wanted) {
            int n = 0;
            for (const char* c = start; c < end; ++c) {
                if (n >= capacity - 1) {
                    return false;
                }
                if (quoted && c[0] == '\\' && c[1] == 'x' && end - c >= 4 && hex_digit(c[2]) >= 0 &&
                    hex_digit(c[3]) >= 0) {
                    value[n++] = static_cast<char>(hex_digit(c[2]) * 16 + hex_digit(c[3]));
                    c += 3;
                } else {
                    value[n++] = *c;
                }
            }
            value[n] = '\0';
            return true;
        }
        p = end + (*end == '"' ? 1 : 0);
        p += std::strspn(p, " ");
    }
    return false;
}

const char* list_root = "/";
UsbSelector wanted;
int matches;
constexpr int name_capacity = 300;
char match_name[name_capacity];
bool print_matches;

void match_port(const char* name, const char* identity) {
    if (!usb_identity_matches(identity, wanted)) {
        return;
    }
    if (++matches == 1) {
        std::snprintf(match_name, sizeof match_name, "%s", name);
    }
    if (print_matches) {
        std::fprintf(stderr, "%s  %s\n", name, identity);
    }
}

} // namespace

bool is_usb_selector(const char* name) {
    return lower(name[0]) == 'u' && lower(name[1]) == 's' && lower(name[2]) == 'b' &&
           name[3] == ':';
}

bool parse_usb_selector(const char* text, UsbSelector& selector) {
    if (!is_usb_selector(text)) {
        return false;
    }
    const char* p = text + 4;
    if (!read_hex16(p, selector.vendor) || *p++ != ':' || !read_hex16(p, selector.product) ||
        (*p != '\0' && *p++ != ':')) {
        return false;
    }
    const std::size_t length = std::strlen(p);
    if ((p[-1] == ':' && length == 0) || length >= sizeof selector.serial) {
        return false;
    }
    std::memcpy(selector.serial, p, length + 1);
    return true;
}

bool usb_identity_matches(const char* identity, const UsbSelector& selector) {
    char pair[16];
    const char* p = pair;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    if (!identity_value(identity, "usb", pair, sizeof pair) || !read_hex16(p, vendor) ||
        *p++ != ':' || !read_hex16(p, product) || *p != '\0' || vendor != selector.vendor ||
        product != selector.product) {
        return false;
    }
    char serial[sizeof selector.serial];
    return selector.serial[0] == '\0' ||
           (identity_value(identity, "serial", serial, sizeof serial) &&
            same_ignoring_case(serial, selector.serial));
}

const char* usb_selector_port(const char* selector) {
    if (!parse_usb_selector(selector, wanted)) {
        fail_because("serial port does not exist\n",
                     "not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, "
                     "VID and PID in hex");
    }
    matches = 0;
    print_matches = false;
    platform_list_ports(list_root, match_port);
    if (matches == 0) {
        fail_because("serial port does not exist\n",
                     "no serial port has this USB identity (tolvaner --list shows each port's)");
    }
    if (matches > 1) {
        std::fflush(stdout);
        matches = 0;
        print_matches = true;
        platform_list_ports(list_root, match_port);
        fail_because("", "these ports all have this USB identity: add the serial number "
                         "(usb:VID:PID:SERIAL) or give the port's name");
    }
    return match_name;
}

void usb_selector_set_root(const char* root) { list_root = root; }
