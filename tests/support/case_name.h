// Names for the rows of a parameterized table, made from the text that sets
// each row apart ("v 65535" in row 3 is "v_65535_3"): short enough for one
// line of a test list, and unique by the row's index.
#pragma once

#include <cctype>
#include <string>
#include <vector>

namespace support {

inline std::string case_name(std::size_t index, const std::string& text) {
    std::string name;
    for (std::size_t i = 0; i < text.size() && name.size() < 16; ++i) {
        const bool plain = std::isalnum(static_cast<unsigned char>(text[i])) != 0;
        if (plain || (!name.empty() && name.back() != '_')) {
            name += plain ? text[i] : '_';
        }
    }
    return name + (name.empty() || name.back() == '_' ? "" : "_") + std::to_string(index);
}

inline std::string case_name(std::size_t index, const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) {
        text += w + " ";
    }
    return case_name(index, text);
}

} // namespace support

// The name generator of a table whose rows carry `field`.
#define CASE_NAME(field)                                                                           \
    [](const auto& info) { return support::case_name(info.index, info.param.field); }
