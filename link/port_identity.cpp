#include "link/port_identity.h"

#include "link/text_escape.h"

#include <cstdio>
#include <cstring>

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
    text[0] = '"';
    const int n = 1 + escape_bytes(text + 1, static_cast<int>(sizeof text) - 2, value,
                                   static_cast<int>(std::strlen(value)), "\"\\");
    text[n] = '"';
    text[n + 1] = '\0';
    identity_add(key, text);
}

const char* identity_text() { return identity; }
