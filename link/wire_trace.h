// A log of the line for diagnosis (tolvaner --trace FILE): every frame sent,
// with the gaps between its bytes, and every read, with its byte count and
// verdict, each on one line stamped with the wall-clock time (UTC).
#pragma once

#include "system/system.h"

#include <cstdint>
#include <cstdio>

// Frames on the serial line: opcode, length L, L payload bytes, and a checksum
// that makes the XOR of all L + 3 bytes zero.
constexpr int frame_buffer_size = 32;
// The longest payload whose frame (L + 3 bytes) fits a frame buffer.
constexpr int max_payload_length = frame_buffer_size - 3;

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

// Room for what a verdict means in words (read_verdict_text).
struct VerdictWords {
    char text[128];
};

// What a verdict means for the `count` bytes at `bytes` that it judged, in the
// words both the trace and the fault line on standard error use: "good", or
// the fault ("4 bytes where a frame of length 2 needs 5"). `payload_needed`
// is the value's size in bytes, for too_short_for_value. The text is a fixed
// one or lives in `words`.
const char* read_verdict_text(VerdictWords& words, ReadVerdict verdict, const std::uint8_t* bytes,
                              int count, int payload_needed);

// One trace file and what its lines are built from.
struct WireTrace {
    std::FILE* file;  // nullptr: the trace is off
    const char* path; // as messages name it
    // Set once a line could not be written; said once on standard error.
    bool lost;
    // Why the last open failed.
    char why[256];
    // The trace is written from the command loop, which allocates nothing:
    // stdio gets its buffer here instead of from the heap on the first write.
    char buffer[4096];
    WallTime frame_start;
    std::uint64_t byte_at_us[frame_buffer_size];
};

// Opens `path` for appending ("-": standard error) and notes the start of a
// session on `port`. False when it cannot be opened or is no place for a
// trace (see system_open_trace), with trace.why saying why; the trace is
// then off. A trace that cannot be written later is said once on standard
// error.
bool wire_trace_open(WireTrace& trace, const char* path, const char* port);

// False when any line of the trace could not be written: the log is
// incomplete.
bool wire_trace_close(WireTrace& trace);

// The hooks of the frame link; they do nothing while the trace is off (or
// `trace` is nullptr).
bool wire_trace_on(const WireTrace* trace);
// Called just before byte `index` of a frame is written.
void wire_trace_byte(WireTrace* trace, int index);
// The first `count` bytes of a frame went out; `failure` says why the next
// one did not, nullptr when the frame went out whole.
void wire_trace_sent(WireTrace* trace, const std::uint8_t* frame, int count, const char* failure);
void wire_trace_read(WireTrace* trace, const std::uint8_t* bytes, int count, ReadVerdict verdict,
                     const char* verdict_text);
void wire_trace_read_failed(WireTrace* trace, const char* failure);
// Bytes read only to be thrown away, and why they were.
void wire_trace_dropped(WireTrace* trace, const std::uint8_t* bytes, int count, const char* why);
