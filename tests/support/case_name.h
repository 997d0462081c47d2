// Names for the rows of a parameterized table, made from the text that sets
// each row apart ("v 65535" in row 3 is "v_65535_3"): short enough for one
// line of a test list, and unique by the row's index.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace support {

inline std::string case_name(std::size_t index, std::string_view text) {
    std::string name;
    for (char c : text) {
        if (name.size() >= 16) {
            break;
        }
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain || (!name.empty() && name.back() != '_')) {
            name += plain ? c : '_';
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

// A row's name for a gtest table whose rows carry `field`.
#define CASE_NAME(field)                                                                           \
    [](const auto& info) { return support::case_name(info.index, info.param.field); }

} // namespace support
