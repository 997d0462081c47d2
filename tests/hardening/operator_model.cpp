#include "tests/hardening/operator_model.h"

#include "tests/support/frame_bytes.h"

#include <cstring>
#include <optional>
#include <string>

namespace hardening {

namespace {

bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

class Words {
  public:
    Words(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::optional<std::string> next() {
        while (pos_ < size_ && is_blank(data_[pos_])) {
            ++pos_;
        }
        if (pos_ == size_) {
            return std::nullopt;
        }
        std::string word;
        while (pos_ < size_ && !is_blank(data_[pos_])) {
            word += static_cast<char>(data_[pos_++]);
        }
        return word;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The value of a plain decimal integer (optional sign, then digits only) if it
// lies in [low, high], however many digits it was typed with.
std::optional<long> in_range(const std::string& word, long low, long high) {
    std::size_t i = word.size() > 0 && (word[0] == '+' || word[0] == '-') ? 1 : 0;
    bool negative = i == 1 && word[0] == '-';
    if (i == word.size()) {
        return std::nullopt;
    }
    for (std::size_t k = i; k < word.size(); ++k) {
        if (word[k] < '0' || word[k] > '9') {
            return std::nullopt;
        }
    }
    while (i + 1 < word.size() && word[i] == '0') {
        ++i;
    }
    if (word.size() - i > 9) {
        return std::nullopt;
    }
    long value = std::stol(word.substr(i));
    if (negative) {
        value = -value;
    }
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

using support::frame;

} // namespace

Bytes expected_requests(const std::uint8_t* data, std::size_t size) {
    Words words(data, size);
    Bytes wire;
    auto add = [&wire](const Bytes& f) { wire.insert(wire.end(), f.begin(), f.end()); };
    auto setting = [&](std::uint8_t opcode, long low, long high) {
        std::optional<std::string> word = words.next();
        if (!word) {
            return false;
        }
        if (std::optional<long> v = in_range(*word, low, high)) {
            if (opcode == 'V') {
                add(frame({opcode, 2, static_cast<std::uint8_t>(*v & 0xFF),
                           static_cast<std::uint8_t>(*v >> 8)}));
            } else {
                add(frame({opcode, 1, static_cast<std::uint8_t>(*v)}));
            }
        }
        return true;
    };
    while (std::optional<std::string> word = words.next()) {
        switch ((*word)[0]) {
        case 'b':
            if (!words.next()) {
                return wire;
            }
            break;
        case 'V':
        case 'v':
            if (!setting('V', 1, 65535)) {
                return wire;
            }
            break;
        case 'S':
        case 's':
            if (!setting('S', 1, 8)) {
                return wire;
            }
            break;
        case 'M':
        case 'm':
            if (!setting('M', 1, 2)) {
                return wire;
            }
            break;
        case 'A':
        case 'a':
            if (!setting('A', 1, 7)) {
                return wire;
            }
            break;
        case 'D':
        case 'd':
            add({0x44, 0x00, 0x44});
            break;
        case 'T':
        case 't':
            add({0x54, 0x00, 0x54});
            break;
        case 'I':
        case 'i':
            add({0x49, 0x00, 0x49});
            break;
        case 'C':
        case 'c':
            add({0x43, 0x00, 0x43});
            break;
        case 'R':
        case 'r': {
            std::optional<std::string> item = words.next();
            if (!item) {
                return wire;
            }
            char c = (*item)[0];
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
            if (std::strchr("VSMDKA", c) != nullptr && c != 0) {
                add(frame({'R', 1, static_cast<std::uint8_t>(c)}));
            }
            break;
        }
        case 'X':
        case 'x':
            return wire;
        default:
            break;
        }
    }
    return wire;
}

const char* catalogue_fault(const Bytes& wire) {
    std::size_t at = 0;
    while (at < wire.size()) {
        if (wire.size() - at < 3 || wire.size() - at < wire[at + 1] + 3u) {
            return "a request was cut short";
        }
        const std::uint8_t* f = &wire[at];
        std::uint8_t length = f[1];
        std::uint8_t sum = 0;
        for (int i = 0; i < length + 3; ++i) {
            sum ^= f[i];
        }
        if (sum != 0) {
            return "a request has a bad checksum";
        }
        std::uint8_t v = length > 0 ? f[2] : 0;
        bool ok = false;
        switch (f[0]) {
        case 'V':
            ok = length == 2 && (f[2] | f[3]) != 0;
            break;
        case 'S':
            ok = length == 1 && v >= 1 && v <= 8;
            break;
        case 'M':
            ok = length == 1 && v >= 1 && v <= 2;
            break;
        case 'A':
            ok = length == 1 && v >= 1 && v <= 7;
            break;
        case 'D':
        case 'T':
        case 'I':
        case 'C':
            ok = length == 0;
            break;
        case 'R':
            ok = length == 1 && v != 0 && std::strchr("VSMDKA", v) != nullptr;
            break;
        default:
            break;
        }
        if (!ok) {
            return "a request is not in the catalogue or its value is out of range";
        }
        at += length + 3u;
    }
    return nullptr;
}

} // namespace hardening
