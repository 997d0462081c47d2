// A device that answers settings 120 ms late, while the next query is being
// sent, and queries at once: the answers to settings must never be shown as a
// query's value.
#pragma once

#include "tests/support/pty_harness.h"

#include <optional>

namespace e2e {

// The transcript of `late_device_input` against `late_device`, after each
// command prompt.
inline constexpr const char* late_device_input = "s 4 r a a 7 c d i x\n";

inline std::optional<Answer> late_device(const Bytes& request) {
    switch (request[0]) {
    case 'I':
        return Answer{frame({'I', 4, 'T', 'L', 'V', '1'})};
    case 'C':
        return Answer{frame({'C', 1, 12})};
    case 'R':
        return Answer{frame({'R', 1, 3})};
    default: // a setting: echoed back, its value where it has one
        return Answer{frame({request[0], 1, request.size() > 3 ? request[2] : std::uint8_t{0}}),
                      120};
    }
}

inline std::string late_device_transcript(const std::string& prompt) {
    return prompt + "Enter Full Scale range (1-8): " + prompt +
           "Enter V, S, M, D, K, or A: Average Interval = 3 minutes\n" + prompt +
           "Enter average interval (1-7): " + prompt + "Code revision level = 12\n" + prompt +
           prompt + "Product ID = TLV1\n" + prompt;
}

} // namespace e2e
