#include "ports/port_selector.h"

#include "ports/port_identity.h"

#include <cstdio>
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

struct Match {
    const UsbSelector* wanted;
    int count;
    char* name;
    int capacity;
    std::FILE* print_to;
};

void match_port(const PortRecord& port, void* context) {
    Match& match = *static_cast<Match*>(context);
    if (!usb_port_matches(port, *match.wanted)) {
        return;
    }
    if (++match.count == 1) {
        std::snprintf(match.name, static_cast<std::size_t>(match.capacity), "%s", port.name);
    }
    if (match.print_to != nullptr) {
        char identity[1600];
        port_identity_text(port, identity, sizeof identity);
        std::fprintf(match.print_to, "%s  %s\n", port.name, identity);
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

bool usb_port_matches(const PortRecord& port, const UsbSelector& selector) {
    return port.usb && port.vendor == selector.vendor && port.product == selector.product &&
           (selector.serial[0] == '\0' || same_ignoring_case(port.serial, selector.serial));
}

SelectorResult resolve_usb_selector(const char* root, const char* selector, char* name,
                                    int capacity, std::FILE* several_to) {
    UsbSelector wanted{};
    if (!parse_usb_selector(selector, wanted)) {
        return SelectorResult::malformed;
    }
    Match match{&wanted, 0, name, capacity, nullptr};
    list_serial_ports(root, match_port, &match);
    if (match.count == 0) {
        return SelectorResult::none;
    }
    if (match.count > 1) {
        if (several_to != nullptr) {
            Match again{&wanted, 0, name, capacity, several_to};
            list_serial_ports(root, match_port, &again);
        }
        return SelectorResult::several;
    }
    return SelectorResult::found;
}
