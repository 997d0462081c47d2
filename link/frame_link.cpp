#include "link/frame_link.h"

#include "link/serial_port.h"
#include "link/wire_trace.h"
#include "port/serial_port.h"
#include "system/system.h"

#include <cstdio>
#include <cstring>

std::uint8_t tx_buffer[frame_buffer_size];
std::uint8_t rx_buffer[frame_buffer_size];
std::uint32_t bytes_read;

namespace {

bool gap_owed_mode;
ReadVerdict last_verdict = ReadVerdict::good;
const char* last_words = "good";

void send_bytes(std::uint8_t length, bool discard_before_last) {
    if (length > max_payload_length) {
        return;
    }
    pay_byte_gap();
    // Half a frame on the line would be merged with the next request the
    // device gets, this program's or the next one's: from its first byte to
    // its last, SIGINT and SIGTERM wait.
    system_hold_signals();
    end_if_signalled();
    const int count = length + 3;
    std::uint8_t checksum = 0;
    for (int i = 0; i < count; ++i) {
        if (i == count - 1) {
            tx_buffer[i] = checksum;
            if (discard_before_last) {
                discard_input("before the request's last byte");
            }
        } else {
            checksum ^= tx_buffer[i];
        }
        wire_trace_byte(i);
        if (!port_write_byte(current_port(), tx_buffer[i])) {
            wire_trace_sent(tx_buffer, i, current_port().failure);
            fail("error occurred during write operation\n");
        }
        owe_byte_gap();
        if (!gap_owed_mode || i < count - 1) {
            pay_byte_gap();
        }
    }
    wire_trace_sent(tx_buffer, count, nullptr);
    end_if_signalled();
    system_release_signals();
}

} // namespace

void send_frame(std::uint8_t length) { send_bytes(length, false); }

void send_query_frame(std::uint8_t length) { send_bytes(length, true); }

void discard_input(const char* why) {
    if (wire_trace_on()) {
        // A chattering device could keep this going: a few buffers' worth
        // shows what it says, and the discard below takes the rest.
        std::uint8_t dropped[frame_buffer_size];
        for (int round = 0; round < 8; ++round) {
            const int got = port_read(current_port(), dropped, frame_buffer_size);
            if (got <= 0) {
                break;
            }
            wire_trace_dropped(dropped, got, why);
        }
    }
    port_discard_input(current_port());
}

// Judges only what this read delivered: whatever earlier reads left in the
// buffer must never complete or pass a frame. A reply must be exactly one
// frame: with more in the read, the answer cannot be told from whatever else
// arrived (a late answer to a setting, noise).
ReadVerdict judge_read(const std::uint8_t* bytes, int count, bool is_reply, int payload_needed) {
    if (count == 0) {
        return is_reply ? ReadVerdict::nothing_arrived : ReadVerdict::good;
    }
    if (count < 3) {
        return ReadVerdict::shorter_than_header;
    }
    if (bytes[1] > max_payload_length) {
        return ReadVerdict::length_over_buffer;
    }
    const int length = bytes[1] + 3;
    if (count < length) {
        return ReadVerdict::shorter_than_length;
    }
    if (is_reply && count > length) {
        return ReadVerdict::longer_than_frame;
    }
    std::uint8_t sum = 0;
    for (int i = 0; i < length; ++i) {
        sum ^= bytes[i];
    }
    if (sum != 0) {
        return ReadVerdict::bad_checksum;
    }
    // A good frame too short for the value would show bytes the device never
    // sent as that value (its checksum byte above all).
    return is_reply && bytes[1] < payload_needed ? ReadVerdict::too_short_for_value
                                                 : ReadVerdict::good;
}

namespace {

// A read, and for a reply that filled the buffer one byte more: a frame of
// length 29 followed by anything else is more than one frame, not a reply.
std::uint8_t read_bytes[frame_buffer_size + 1];

// Keeps the `count` bytes of a read in rx_buffer (as many as it holds),
// judges them, and traces them with the verdict.
FrameResult keep_and_judge(int count, bool is_reply, int payload_needed) {
    bytes_read = static_cast<std::uint32_t>(count < frame_buffer_size ? count : frame_buffer_size);
    std::memcpy(rx_buffer, read_bytes, bytes_read);
    last_verdict = judge_read(read_bytes, count, is_reply, payload_needed);
    last_words = read_verdict_text(last_verdict, read_bytes, count, payload_needed);
    wire_trace_read(read_bytes, count, last_verdict, last_words);
    return last_verdict == ReadVerdict::good ? frame_good : frame_fault;
}

FrameResult read_and_judge(bool is_reply, int payload_needed) {
    int got = port_read(current_port(), read_bytes, frame_buffer_size);
    if (got == frame_buffer_size && is_reply &&
        port_read(current_port(), read_bytes + got, 1) == 1) {
        ++got;
    }
    if (got < 0) {
        wire_trace_read_failed(current_port().failure);
        fail("error occurred during read operation\n");
    }
    if (keep_and_judge(got, is_reply, payload_needed) != frame_good) {
        std::fputs("Packet checksum fault\n", stdout);
        if (is_reply) {
            tell_cause("reply to %c: %s", tx_buffer[0], last_words);
        } else {
            tell_cause("waiting at start: %s", last_words);
        }
        return frame_fault;
    }
    return frame_good;
}

} // namespace

FrameResult receive_frame() { return read_and_judge(false, 0); }

FrameResult receive_reply(std::uint8_t payload_needed) {
    return read_and_judge(true, payload_needed);
}

void owe_last_gap(bool on) { gap_owed_mode = on; }

namespace {

// What a reply read has gathered so far, with room for one byte more than a
// frame buffer: a frame of length 29 followed by anything is more than one
// frame, not a reply.
int gathered;

// Whether what has come so far is one whole frame, or can never become one.
bool reply_complete() {
    return gathered >= 3 && (read_bytes[1] > max_payload_length || gathered >= read_bytes[1] + 3);
}

void read_more(unsigned timeout_ms) {
    int got = port_read_within(current_port(), read_bytes + gathered,
                               frame_buffer_size + 1 - gathered, timeout_ms);
    if (got < 0) {
        wire_trace_read_failed(current_port().failure);
        fail("error occurred during read operation\n");
    }
    gathered += got;
}

unsigned ms_until(std::uint64_t deadline_us) {
    const std::uint64_t now = system_monotonic_us();
    return now >= deadline_us ? 0u : static_cast<unsigned>((deadline_us - now + 999u) / 1000u);
}

} // namespace

FrameResult await_reply(std::uint8_t payload_needed, unsigned limit_ms, unsigned quiet_ms) {
    const std::uint64_t start = system_monotonic_us();
    const std::uint64_t limit = start + limit_ms * std::uint64_t{1000};
    gathered = 0;
    read_more(0);
    while (!reply_complete() && gathered <= frame_buffer_size) {
        const unsigned left = ms_until(limit);
        if (left == 0) {
            break;
        }
        read_more(left);
    }
    if (reply_complete() && gathered <= frame_buffer_size) {
        // Anything right behind the frame would make the read more than one
        // frame: wait a little for it, never past the limit.
        const std::uint64_t quiet_end = system_monotonic_us() + quiet_ms * std::uint64_t{1000};
        const unsigned quiet = ms_until(quiet_end < limit ? quiet_end : limit);
        if (quiet > 0) {
            read_more(quiet);
        }
    }
    return keep_and_judge(gathered, true, payload_needed);
}

ReadVerdict last_read_verdict() { return last_verdict; }

const char* last_read_words() { return last_words; }

void dump_buffer(std::uint8_t selector) {
    const std::uint8_t* b = selector != 0 ? rx_buffer : tx_buffer;
    std::printf("%d %d %d %d %d %d %d %d\n", static_cast<std::int8_t>(b[0]),
                static_cast<std::int8_t>(b[1]), static_cast<std::int8_t>(b[2]),
                static_cast<std::int8_t>(b[3]), static_cast<std::int8_t>(b[4]),
                static_cast<std::int8_t>(b[5]), static_cast<std::int8_t>(b[6]),
                static_cast<std::int8_t>(b[7]));
}
