// The requests the device understands and the replies it gives.
#pragma once

#include "link/frame_link.h"

#include <cstdint>

enum class Opcode : std::uint8_t {
    pulse_value = 'V',
    full_scale = 'S',
    output_mode = 'M',
    average_interval = 'A',
    set_defaults = 'D',
    test_mode = 'T',
    product_id = 'I',
    code_revision = 'C',
    readback = 'R',
};

enum class ReadbackItem : std::uint8_t {
    none = 0,
    pulse_value = 'V',
    full_scale = 'S',
    output_mode = 'M',
    dac_value = 'D',
    kwh_value = 'K',
    average_interval = 'A',
};

// After a query's last byte and its gap the device has this long to get its
// whole reply into the port's input.
constexpr unsigned reply_settle_ms = 400;

// In the fast exchange, how long the line must stay quiet after a whole reply
// frame before the reply counts as the only frame. The device sends a reply
// in one piece, well under a millisecond at 57600 baud.
constexpr unsigned reply_quiet_ms = 20;

// Setting requests over `link`. The console has checked the ranges; no reply
// is read. Each returns what the send came to (see send_frame).
FrameResult set_pulse_value(FrameLink& link, std::uint16_t watt_hours);
FrameResult set_full_scale(FrameLink& link, std::uint8_t range);
FrameResult set_output_mode(FrameLink& link, std::uint8_t mode);
FrameResult set_average_interval(FrameLink& link, std::uint8_t interval);
FrameResult set_defaults(FrameLink& link);
FrameResult enter_test_mode(FrameLink& link);

// Sends 'I', 'C' or 'R' (with `item`), waits the settle time and reads the
// reply once (or, in the fast exchange, until one whole frame has come; see
// use_fast_exchange). Input that arrived before the request's last byte is
// discarded, so only this request's answer can be judged, and the reply must
// carry the whole value asked for: at least `payload_needed` bytes of
// payload. On frame_good the reply is in rx_buffer; on frame_fault the fault
// has been printed (unless fast).
FrameResult query(FrameLink& link, Opcode opcode, ReadbackItem item, std::uint8_t payload_needed);

// Reply decoders; valid after query() returned frame_good.
std::uint8_t reply_payload_length(const FrameLink& link);
std::uint16_t reply_u16(const FrameLink& link);
std::uint8_t reply_u8(const FrameLink& link);
std::int8_t reply_s8(const FrameLink& link);
// The product ID: up to four characters from the payload, ending early at a
// zero byte. Returns the count of characters at reply_text().
int reply_text_length(const FrameLink& link);
const char* reply_text(const FrameLink& link);

// Prints bytes the device sent (a product ID, an output mode) on standard
// output. One that is not printable ASCII (a control character, an escape
// sequence, 0x80 and up) could hide text or drive the terminal, so it is
// shown as \xNN.
void print_device_bytes(const char* bytes, int count);
