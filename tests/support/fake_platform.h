// A scripted stand-in for link/platform.h: a virtual clock that only the
// program's own pauses move, a record of every byte written with its time, and
// a device that answers complete request frames from a script.
#pragma once

#include "tests/support/frame_bytes.h"

#include "link/platform.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake {

using Bytes = std::vector<std::uint8_t>;

struct WireByte {
    std::uint8_t value;
    unsigned long at_ms;
};

struct Reply {
    Bytes bytes;
    unsigned long delay_ms = 20; // after the request's last byte
};

struct Platform {
    PortOpenResult open_result = PortOpenResult::ok;
    std::string failure_text; // what platform_failure_text() says
    std::string opened_name;
    bool is_open = false;
    int closes = 0;
    unsigned long now_ms = 0;
    std::vector<WireByte> written;
    std::vector<unsigned> pauses;
    int discards = 0;
    bool read_fails = false;
    bool write_fails = false;
    // Bytes on their way in, each with the virtual time it arrives.
    std::deque<std::pair<unsigned long, std::uint8_t>> incoming;
    // Answers for the request frames to come, in order; an empty Reply means
    // the device stays silent for that request.
    std::deque<Reply> replies;
    Bytes partial_request;
    // Ctrl-C comes at this virtual time.
    unsigned long interrupt_at_ms = ~0ul;
    bool interrupt_caught = false;
    bool stdout_terminal = false;
};

Platform& platform();
void reset();

// Makes `bytes` arrive at virtual time `at_ms`.
void arrive(unsigned long at_ms, const Bytes& bytes);

// The bytes written so far, without their times.
Bytes wire();

using support::frame;

} // namespace fake
