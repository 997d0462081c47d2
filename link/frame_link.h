// Frames on the serial line: opcode, length L, L payload bytes, and a checksum
// that makes the XOR of all L + 3 bytes zero. No markers, no escaping: frames
// are told apart only by timing.
#pragma once

#include "link/serial_port.h"
#include "link/wire_trace.h"

#include <cstdint>

constexpr int frame_buffer_size = 32;
// The longest payload whose frame (L + 3 bytes) fits a frame buffer.
constexpr int max_payload_length = frame_buffer_size - 3;

enum FrameResult { frame_good = 0, frame_fault = 1 };

// The request being sent; the caller fills opcode, L and payload. Never
// cleared: bytes past the current frame are what longer frames left there.
extern std::uint8_t tx_buffer[frame_buffer_size];
// The bytes of the last read, from offset 0; never cleared.
extern std::uint8_t rx_buffer[frame_buffer_size];
// How many bytes the last read delivered.
extern std::uint32_t bytes_read;

// Writes the checksum after the L payload bytes and sends the frame one byte
// at a time, pausing after each. A length whose frame would not fit the buffer
// sends nothing. Ends the program on a write failure. A frame once begun is
// finished: SIGINT and SIGTERM are held while it goes out, and one that came
// acts before its first byte or after its last (end_if_signalled).
void send_frame(std::uint8_t length);

// As send_frame, for a query: input waiting in the port is thrown away just
// before the last byte goes out. The device cannot answer before it has the
// whole request, so nothing thrown away can be the answer, and an answer to an
// earlier setting that arrived while the request was being sent is gone.
void send_query_frame(std::uint8_t length);

// Reads once, without waiting, whatever has arrived. Nothing at all is no
// fault (the start-up read, when the device had nothing to say); otherwise the
// frame at offset 0 must have arrived whole and have a zero XOR. On a fault
// prints "Packet checksum fault", and on standard error what was read. Ends
// the program on a read failure.
FrameResult receive_frame();

// The read of a query's reply: as receive_frame, but the read must hold exactly
// one whole frame, with at least `payload_needed` payload bytes for the value
// asked for; nothing, anything more, or a shorter frame is a fault.
FrameResult receive_reply(std::uint8_t payload_needed);

// Judges the `count` bytes at `bytes` that one read delivered: as a reply
// (`is_reply`, see receive_reply) or as what was waiting at start-up.
ReadVerdict judge_read(const std::uint8_t* bytes, int count, bool is_reply, int payload_needed);

// Throws away whatever input is waiting in the port. While the trace is on,
// the bytes are read first so that it shows them, with `why` ("after ...").
void discard_input(const char* why);

// For the option-led modes: the pause after a frame's last byte is not slept
// at once but owed (owe_byte_gap), and the next frame's first byte, or the
// close of the port, waits out what is left of it. The device gets its gap
// after every byte all the same, and the wait for a reply runs inside it.
void owe_last_gap(bool on);

// The read of a reply in the option-led modes: waits, for readiness, until
// one whole frame has come (or can never come whole), then `quiet_ms` more to
// catch bytes behind it; never longer than `limit_ms` in all. Judged as
// receive_reply judges its read, but prints nothing (last_read_verdict and
// last_read_words say why it failed). Ends the program on a read failure.
FrameResult await_reply(std::uint8_t payload_needed, unsigned limit_ms, unsigned quiet_ms);

// The verdict of the last read of either kind, and what was read in the
// words of the trace (see read_verdict_text); the words live until the next
// read.
ReadVerdict last_read_verdict();
const char* last_read_words();

// Prints the first eight bytes of tx_buffer (selector 0) or rx_buffer (any
// other selector) as signed decimals.
void dump_buffer(std::uint8_t selector);
