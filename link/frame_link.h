// Frames on the serial line: opcode, length L, L payload bytes, and a checksum
// that makes the XOR of all L + 3 bytes zero. No markers, no escaping: frames
// are told apart only by timing.
#pragma once

#include "link/wire_trace.h"
#include "port/serial_port.h"
#include "system/system.h"

#include <cstdint>

// The device needs this pause after every byte it receives, counted from the
// moment the byte has left the port.
constexpr unsigned byte_gap_ms = 50;

// What an exchange came to. frame_port_failed: the port failed (the link
// keeps why, see FrameLink). frame_signalled: a held SIGINT or SIGTERM came
// by the end of a frame (or before its first byte, which then was not sent);
// it stays held, so that the caller closes the link before the program ends
// by it.
enum FrameResult { frame_good = 0, frame_fault = 1, frame_port_failed, frame_signalled };

// The status a run returns when the held signal is to end the program, once
// the link is closed; only the program's entry ends it.
constexpr int status_signalled = -1;

// One serial port and the frames over it. One thread drives it; nothing in
// the link touches any other state but through it (and its trace).
struct FrameLink {
    // The port, while open.
    SerialPort port;

    // The request being sent; the caller fills opcode, L and payload. Never
    // cleared: bytes past the current frame are what longer frames left there.
    std::uint8_t tx_buffer[frame_buffer_size];
    // The bytes of the last read, from offset 0; never cleared.
    std::uint8_t rx_buffer[frame_buffer_size];
    // How many bytes the last read delivered.
    std::uint32_t bytes_read;

    // The port's name as the messages give it, once link_open was asked.
    char name[256];
    bool open;
    // The fast exchange (see use_fast_exchange).
    bool fast;
    // A held signal is left to the caller (--watch, which ends with its
    // summary) rather than ending the exchange.
    bool signals_to_caller;
    // The device's gap after the last byte sent, while it is owed.
    bool gap_owed;
    std::uint64_t last_byte_us;

    // A read, and for a reply that filled the buffer one byte more: a frame of
    // length 29 followed by anything else is more than one frame, not a reply.
    std::uint8_t read_bytes[frame_buffer_size + 1];
    // What a reply read has gathered so far (await_reply).
    int gathered;
    // The verdict of the last read and what was read in the trace's words.
    ReadVerdict verdict = ReadVerdict::good;
    const char* words = "good";
    VerdictWords verdict_words;

    // The trace of the line, or nullptr.
    WireTrace* trace;

    // Why the link could not go on (an open that failed, frame_port_failed):
    // the fixed message, its line end included ("" for none), what the
    // program itself can name ("" for nothing), and the port's own reason.
    const char* fault_message;
    const char* fault_cause;
    char failure[512];
};

// Opens the port by its name (already resolved: never usb:...) and sets the
// link up for a session: nothing owed, the console's slow exchange. On
// failure the link keeps the reason (fault_message, link_failure_text).
PortOpenResult link_open(FrameLink& link, const char* name);
// Pays the owed gap, then closes. Safe to call when not open.
void link_close(FrameLink& link);
// The port's reason for the last failure ("" when it gave none).
const char* link_failure_text(const FrameLink& link);

// Off (the console): every query waits the full settle time, then reads once.
// On (the option-led modes): the pause after a frame's last byte is not slept
// at once but owed, and the next frame's first byte, or the close of the port,
// waits out what is left of it; a query ends as soon as exactly one whole
// frame has come and the line stayed quiet after it. Faults then print
// nothing: the link's verdict says what went wrong.
void use_fast_exchange(FrameLink& link, bool on);

// A byte has just left the port: the device's gap after it is owed from now
// on. pay_byte_gap waits out what is left of it (nothing when none is owed),
// and so does link_close.
void owe_byte_gap(FrameLink& link);
void pay_byte_gap(FrameLink& link);

// Writes the checksum after the L payload bytes and sends the frame one byte
// at a time, pausing after each. A length whose frame would not fit the buffer
// sends nothing. A frame once begun is finished: SIGINT and SIGTERM are held
// while it goes out, and one that came is seen before its first byte or after
// its last (frame_signalled, unless signals are left to the caller).
FrameResult send_frame(FrameLink& link, std::uint8_t length);

// As send_frame, for a query: input waiting in the port is thrown away just
// before the last byte goes out. The device cannot answer before it has the
// whole request, so nothing thrown away can be the answer, and an answer to an
// earlier setting that arrived while the request was being sent is gone.
FrameResult send_query_frame(FrameLink& link, std::uint8_t length);

// Reads once, without waiting, whatever has arrived. Nothing at all is no
// fault (the start-up read, when the device had nothing to say); otherwise the
// frame at offset 0 must have arrived whole and have a zero XOR. On a fault
// prints "Packet checksum fault", and on standard error what was read.
FrameResult receive_frame(FrameLink& link);

// The read of a query's reply: as receive_frame, but the read must hold exactly
// one whole frame, with at least `payload_needed` payload bytes for the value
// asked for; nothing, anything more, or a shorter frame is a fault.
FrameResult receive_reply(FrameLink& link, std::uint8_t payload_needed);

// Judges the `count` bytes at `bytes` that one read delivered: as a reply
// (`is_reply`, see receive_reply) or as what was waiting at start-up.
ReadVerdict judge_read(const std::uint8_t* bytes, int count, bool is_reply, int payload_needed);

// Throws away whatever input is waiting in the port. While the trace is on,
// the bytes are read first so that it shows them, with `why` ("after ...").
void discard_input(FrameLink& link, const char* why);

// The read of a reply in the fast exchange: waits, for readiness, until one
// whole frame has come (or can never come whole), then `quiet_ms` more to
// catch bytes behind it; never longer than `limit_ms` in all. Judged as
// receive_reply judges its read, but prints nothing (last_read_verdict and
// last_read_words say why it failed).
FrameResult await_reply(FrameLink& link, std::uint8_t payload_needed, unsigned limit_ms,
                        unsigned quiet_ms);

// The verdict of the last read of either kind, and what was read in the
// words of the trace (see read_verdict_text); the words live until the next
// read.
ReadVerdict last_read_verdict(const FrameLink& link);
const char* last_read_words(const FrameLink& link);

// Prints the first eight bytes of tx_buffer (selector 0) or rx_buffer (any
// other selector) as signed decimals.
void dump_buffer(const FrameLink& link, std::uint8_t selector);
