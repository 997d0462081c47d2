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
};

// The verdict in words, as the trace shows it: "good", or "fault: " and why.
const char* read_verdict_text(ReadVerdict verdict);

// Opens `path` for appending and notes the start of a session on `port`.
// False when it cannot be opened; the trace is then off.
bool wire_trace_open(const char* path, const char* port);

void wire_trace_close();

// The hooks of the frame link; they do nothing while the trace is off.
// Called just before byte `index` of a frame is written.
void wire_trace_byte(int index);
void wire_trace_sent(const std::uint8_t* frame, int count);
void wire_trace_read(const std::uint8_t* bytes, int count, ReadVerdict verdict);
