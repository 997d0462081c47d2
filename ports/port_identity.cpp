#include "ports/port_identity.h"

#include "system/text_escape.h"

#include <cstdio>
#include <cstring>

namespace {

struct Words {
    char* text;
    int capacity;
    int length;
};

void add(Words& words, const char* key, const char* value) {
    const int room = words.capacity - words.length;
    const int n = std::snprintf(words.text + words.length, static_cast<std::size_t>(room),
                                "%s%s%s%s", words.length > 0 ? " " : "", key,
                                value != nullptr ? "=" : "", value != nullptr ? value : "");
    words.length += n < 0 ? 0 : (n < room ? n : room - 1);
}

// key="value", for text the port's device or driver chose.
void add_quoted(Words& words, const char* key, const char* value) {
    if (value[0] == '\0') {
        return;
    }
    char text[300];
    text[0] = '"';
    const int n = 1 + escape_bytes(text + 1, static_cast<int>(sizeof text) - 2, value,
                                   static_cast<int>(std::strlen(value)), "\"\\");
    text[n] = '"';
    text[n + 1] = '\0';
    add(words, key, text);
}

void add_plain(Words& words, const char* key, const char* value) {
    if (value[0] != '\0') {
        add(words, key, value);
    }
}

struct Listing {
    int count;
};

void print_port(const PortRecord& port, void* context) {
    ++static_cast<Listing*>(context)->count;
    char identity[1600];
    port_identity_text(port, identity, sizeof identity);
    if (identity[0] == '\0') {
        std::printf("%s\n", port.name);
    } else {
        std::printf("%s  %s\n", port.name, identity);
    }
}

} // namespace

void port_identity_text(const PortRecord& port, char* out, int capacity) {
    Words words{out, capacity, 0};
    out[0] = '\0';
    add_quoted(words, "name", port.description);
    add_plain(words, "driver", port.driver);
    if (port.usb) {
        char pair[16];
        std::snprintf(pair, sizeof pair, "%04x:%04x", static_cast<unsigned>(port.vendor),
                      static_cast<unsigned>(port.product));
        add(words, "usb", pair);
    }
    add_quoted(words, "manufacturer", port.manufacturer);
    add_quoted(words, "product", port.product_name);
    add_quoted(words, "serial", port.serial);
    add_plain(words, "by-id", port.by_id);
    add_plain(words, "device", port.device);
    if (port.console) {
        add(words, "console", nullptr);
    }
}

void list_ports(const char* root) {
    Listing listing{0};
    list_serial_ports(root, print_port, &listing);
    if (listing.count == 0) {
        std::fputs("no serial ports found\n", stdout);
    }
}
