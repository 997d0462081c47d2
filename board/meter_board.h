// The latest reading of every meter a long-running tolvaner samples. Each
// meter's sampling loop writes its own meter; the front ends that serve the
// readings (HTTP, MQTT) take copies. This is the one place where state is
// shared between threads: every access holds the board's lock, and nothing
// waits on a port, a client or a broker while holding it.
#pragma once

#include <cstdint>
#include <mutex>

// One per item of the device, in the order --read shows them
// (protocol/device_items.h): product_id, code_revision, pulse_value,
// full_scale, output_mode, average_interval, dac_value, kwh_value.
constexpr int board_item_count = 8;
constexpr int board_max_meters = 16;
// A chart of the last hour at one sample a second; a faster period keeps
// a shorter span.
constexpr int board_history_capacity = 3600;

struct ItemValue {
    bool good;           // read, with a good reply, since the port was last (re)opened
    std::int32_t number; // a numeric item's value; a character item's byte
    char text[5];        // the product ID or output mode as the device sent it, NUL-ended
    std::int32_t text_length;
};

enum class MeterStatus : std::uint8_t {
    starting,  // not polled yet
    up,        // answered its last poll
    no_reply,  // the port is open, but the last poll had no good reply
    port_lost, // the port failed or went away; looked for again
    port_held, // another program holds the port; waited for
};

struct MeterState {
    char given[256];  // as named on the command line: a port name or usb:...
    char port[256];   // the port it was last opened by ("" before it was found)
    char serial[128]; // its USB serial number; "" when it has none
    char label[256];  // what names the meter in every front end: serial, else port
    MeterStatus status;
    char cause[160];        // why the last poll failed; "" when it did not
    std::int64_t polled_ms; // wall clock, Unix milliseconds, of the last poll; 0: none yet
    std::int64_t good_ms;   // of the last good reading of the live values; 0: none yet
    // Front ends show a value only while `status` is up: a meter that did
    // not answer its last poll has no current value, whatever it said before.
    ItemValue items[board_item_count];
    std::uint64_t reads_total;       // polls
    std::uint64_t read_errors_total; // polls without a good reply
    std::uint64_t reconnects_total;  // times the port came back after it was lost
    std::uint64_t version;           // grows with every publish
};

struct HistoryPoint {
    std::int64_t ms; // wall clock, Unix milliseconds
    bool good;       // false: the poll failed, the values mean nothing
    std::int32_t dac_value;
    std::int32_t kwh_value;
};

struct MeterHistory {
    HistoryPoint points[board_history_capacity]; // a ring
    std::int32_t first;
    std::int32_t count;
};

struct MeterBoard {
    std::mutex lock;
    std::int32_t meter_count;
    MeterState meters[board_max_meters];
    MeterHistory history[board_max_meters];
};

// Empties the board for `meter_count` meters (at most board_max_meters).
void board_init(MeterBoard& board, int meter_count);

// Replaces meter `meter`'s state with `state`, and bumps its version. When
// `point` is not nullptr it is appended to the meter's history, dropping the
// oldest point once the ring is full or points older than an hour.
void board_publish(MeterBoard& board, int meter, const MeterState& state,
                   const HistoryPoint* point);

// Copies meter `meter`'s state.
void board_copy(MeterBoard& board, int meter, MeterState& out);

// Copies up to `capacity` history points of meter `meter` taken at or after
// `since_ms`, oldest first. Returns how many.
int board_copy_history(MeterBoard& board, int meter, std::int64_t since_ms, HistoryPoint* out,
                       int capacity);

// Copies the state of every meter at once, so that they are all of one
// moment, into `out`, which holds `capacity`. Returns how many.
int board_copy_all(MeterBoard& board, MeterState* out, int capacity);
