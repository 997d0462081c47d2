#include "system/text_escape.h"

#include <cstdint>
#include <cstring>

namespace {

bool is_plain(std::uint8_t byte, const char* also) {
    return byte >= 0x20 && byte <= 0x7E && std::strchr(also, byte) == nullptr;
}

} // namespace

int escape_bytes(char* out, int capacity, const void* bytes, int count, const char* also) {
    if (capacity <= 0) {
        return 0;
    }
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (is_plain(in[i], also)) {
            if (n + 1 >= capacity) {
                break;
            }
            out[n++] = static_cast<char>(in[i]);
        } else {
            if (n + 4 >= capacity) {
                break;
            }
            std::snprintf(out + n, 5, "\\x%02X", static_cast<unsigned>(in[i]));
            n += 4;
        }
    }
    out[n] = '\0';
    return n;
}

void print_escaped(std::FILE* stream, const void* bytes, int count) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    for (int i = 0; i < count; ++i) {
        if (is_plain(in[i], "")) {
            std::fputc(in[i], stream);
        } else {
            std::fprintf(stream, "\\x%02X", static_cast<unsigned>(in[i]));
        }
    }
}
