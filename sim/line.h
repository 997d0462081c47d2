// The device's end of the serial line: it gathers received bytes into
// requests by their length byte and by timing, hands whole requests to the
// device, and schedules the answers, spoiled as the chosen fault says. Time is
// passed in, so that all of it can be tested without a terminal or a sleep.
#pragma once

#include "sim/device.h"

#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvaner::sim {

enum class Fault {
    none,     // answers as it should
    silent,   // never answers
    corrupt,  // flips the lowest bit of each answer's checksum
    truncate, // sends only the first 3 bytes of each answer
    late,     // answers late_delay after the request, past the console's settle time
    noise,    // sends stray_byte just before each answer
};

// A pause longer than this in the middle of a request makes the device drop
// what it has of it: it takes the pause for the end of a broken frame.
constexpr Micros request_pause_limit{100'000};
constexpr Micros late_delay{700'000};
constexpr std::uint8_t stray_byte = 0x00;

struct TraceEvent {
    enum class Direction { rx, tx };
    Direction direction;
    Micros at;
    Bytes bytes;
    std::vector<Micros> gaps; // between successive received bytes
    std::string note;         // what became of a request, or how an answer was spoiled
};

class Line {
  public:
    Line(DeviceConfig config, Fault fault, Micros start);

    // `bytes` arrived at `now`.
    void receive(std::span<const std::uint8_t> bytes, Micros now);
    // Drops a partial request once the pause after its last byte is too long.
    void tick(Micros now);
    // When something is next due: a partial request to drop or an answer to send.
    std::optional<Micros> next_deadline() const;
    // The bytes to send at `now`, in order.
    Bytes take_due(Micros now);
    // What happened since the last call, for the trace.
    std::vector<TraceEvent> take_trace();

    Device& device() { return device_; }

  private:
    struct Transmission {
        Micros at;
        Bytes bytes;
        std::string note;
    };

    void finish_request();
    void drop_partial(Micros now);
    void schedule(Micros at, Bytes bytes, std::string note);

    Device device_;
    Fault fault_;
    Bytes partial_;
    std::vector<Micros> arrivals_;
    std::deque<Transmission> pending_;
    std::vector<TraceEvent> trace_;
};

} // namespace tolvaner::sim
