// What typing a stream of words must put on the wire: the requests, in order,
// by the console's input rules (words separated by blanks; a command is the
// first character of its word; a setting takes the next word only when it is a
// plain decimal integer in range, however it is padded). Used by the operator
// input fuzz target and the random-input property against the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hardening {

using Bytes = std::vector<std::uint8_t>;

// The frames that typing `size` bytes at `data` must send, back to back.
Bytes expected_requests(const std::uint8_t* data, std::size_t size);

// Independent of the model: nullptr when `wire` holds nothing but whole
// catalogue requests with good checksums and values in range, else what is
// wrong.
const char* catalogue_fault(const Bytes& wire);

} // namespace hardening
