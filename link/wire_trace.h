// A log of the line for diagnosis (tolvaner --trace FILE): every frame sent,
// with the gaps between its bytes, and every read, with its byte count and
// verdict, each on one line stamped with the wall-clock time (UTC).
#pragma once

#include <cstdint>

// How a read was judged; every kind but `good` is a fault.
enum class ReadVerdict {
    good,
    nothing_arrived,
    shorter_than_header, // not even opcode, length and checksum
    length_over_buffer,  // the length byte announces more than a frame buffer holds
    shorter_than_length, // the frame the length byte announces did not arrive whole
    longer_than_frame,   // bytes past the one frame
    bad_checksum,
    too_short_for_value, // a whole frame, but its payload is shorter than the value asked for
};

// What a verdict means for the `count` bytes at `bytes` that it judged, in the
// words both the trace and the fault line on standard error use: "good", or
// the fault ("4 bytes where a frame of length 2 needs 5"). `payload_needed`
// is the value's size in bytes, for too_short_for_value. The text lives in one
// buffer until the next call.
const char* read_verdict_text(ReadVerdict verdict, const std::uint8_t* bytes, int count,
                              int payload_needed);

// Opens `path` for appending ("-": standard error) and notes the start of a
// session on `port`. False when it cannot be opened or is no place for a
// trace (see system_open_trace), with why in `why` (`why_capacity` bytes);
// the trace is then off. A trace that cannot be written later is said once on
// standard error.
bool wire_trace_open(const char* path, const char* port, char* why, int why_capacity);

// False when any line of the trace could not be written: the log is
// incomplete.
bool wire_trace_close();

bool wire_trace_on();

// The hooks of the frame link; they do nothing while the trace is off.
// Called just before byte `index` of a frame is written.
void wire_trace_byte(int index);
// The first `count` bytes of a frame went out; `failure` says why the next
// one did not, nullptr when the frame went out whole.
void wire_trace_sent(const std::uint8_t* frame, int count, const char* failure);
void wire_trace_read(const std::uint8_t* bytes, int count, ReadVerdict verdict,
                     const char* verdict_text);
void wire_trace_read_failed(const char* failure);
// Bytes read only to be thrown away, and why they were.
void wire_trace_dropped(const std::uint8_t* bytes, int count, const char* why);
