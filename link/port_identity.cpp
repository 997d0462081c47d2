#include "link/port_identity.h"

#include <cstdio>

namespace {

constexpr int identity_capacity = 1024;
char identity[identity_capacity];
int identity_length;

} // namespace

void identity_clear() {
    identity_length = 0;
    identity[0] = '\0';
}

void identity_add(const char* key, const char* value) {
    if (identity_length >= identity_capacity - 1) {
        return;
    }
    int n = std::snprintf(identity + identity_length,
                          static_cast<size_t>(identity_capacity - identity_length), "%s%s%s%s",
                          identity_length > 0 ? " " : "", key, value != nullptr ? "=" : "",
                          value != nullptr ? value : "");
    if (n > 0) {
        identity_length += n;
    }
    if (identity_length > identity_capacity - 1) {
        identity_length = identity_capacity - 1;
    }
}

void identity_add_quoted(const char* key, const char* value) {
    char text[256];
    int n = 0;
    text[n++] = '"';
    for (const char* p = value; *p != '\0' && n < static_cast<int>(sizeof text) - 6; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "\\x%02X", c);
        } else {
            text[n++] = static_cast<char>(c);
        }
    }
    text[n++] = '"';
    text[n] = '\0';
    identity_add(key, text);
}

const char* identity_text() { return identity; }
