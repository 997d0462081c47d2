#include "sim/frame.h"

namespace tolvaner::sim {

std::uint8_t xor_of(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum ^= b;
    }
    return sum;
}

Bytes make_frame(std::uint8_t opcode, std::span<const std::uint8_t> payload) {
    Bytes frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(opcode);
    frame.push_back(static_cast<std::uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(xor_of(frame));
    return frame;
}

} // namespace tolvaner::sim
