// Frames as the device sees them: opcode, length L, L payload bytes and a
// checksum that makes the XOR of all L + 3 bytes zero.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tolvaner::sim {

using Bytes = std::vector<std::uint8_t>;

// The device's frame buffer holds 32 bytes, so no reply it builds is longer.
constexpr std::size_t max_payload = 29;

std::uint8_t xor_of(std::span<const std::uint8_t> bytes);

// A whole frame for `payload`, checksum included.
Bytes make_frame(std::uint8_t opcode, std::span<const std::uint8_t> payload);

} // namespace tolvaner::sim
