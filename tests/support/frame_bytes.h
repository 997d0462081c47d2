// Frames as tests write them: opcode, length and payload, with the XOR
// checksum appended.
#pragma once

#include <cstdint>
#include <vector>

namespace support {

using Bytes = std::vector<std::uint8_t>;

inline Bytes frame(Bytes body) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : body) {
        sum ^= b;
    }
    body.push_back(sum);
    return body;
}

} // namespace support
