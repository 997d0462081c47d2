// A scripted stand-in for the system and the port (system/system.h,
// port/serial_port.h): a virtual clock that only the program's own pauses
// move, a record of every byte written with its time, and one port with a
// device that answers complete request frames from a script.
#pragma once

#include "tests/support/frame_bytes.h"

#include "port/serial_port.h"
#include "system/system.h"

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
    std::string failure_text; // the port's failure text after a call fails
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
    // `signal_number` (SIGINT, SIGTERM) comes at this virtual time. The fake
    // only keeps it, as a held signal is kept: the program must act on it.
    unsigned long signal_at_ms = ~0ul;
    int signal_number = 0;
    int hold_depth = 0; // system_hold_signals less system_release_signals
    // When the port was last closed; with `say_close`, the close also says on
    // standard error how much of the device's gap after the last byte was
    // left unpaid (for a run that ends the process).
    unsigned long closed_at_ms = 0;
    bool say_close = false;
    bool stdout_terminal = false;
};

Platform& platform();
void reset();

// Makes `bytes` arrive at virtual time `at_ms`.
void arrive(unsigned long at_ms, const Bytes& bytes);

// The bytes written so far, without their times.
Bytes wire();

// How much of the device's gap after the last byte written was still to
// come when the port was closed: 0 when it was paid.
unsigned long gap_unpaid_at_close();

using support::frame;

} // namespace fake
