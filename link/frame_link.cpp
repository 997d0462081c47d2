#include "link/frame_link.h"

#include "link/tell_cause.h"
#include "link/wire_trace.h"
#include "system/system.h"

#include <cstdio>
#include <cstring>

namespace {

// The link stops: the port failed, with `message` for the front ends.
FrameResult port_failed(FrameLink& link, const char* message) {
    link.fault_message = message;
    link.fault_cause = "";
    std::snprintf(link.failure, sizeof link.failure, "%s", link.port.failure);
    return frame_port_failed;
}

// A held signal ends the exchange here, unless signals are left to the caller.
bool signalled(const FrameLink& link) {
    return !link.signals_to_caller && system_held_signal() != 0;
}

// Lets go of the frame's hold on signals, but for one that came and is to end
// the program: that one stays held until the caller has closed the link.
FrameResult let_go(const FrameLink& link, FrameResult result) {
    if (signalled(link)) {
        return result == frame_good ? frame_signalled : result;
    }
    system_release_signals();
    return result;
}

FrameResult send_bytes(FrameLink& link, std::uint8_t length, bool discard_before_last) {
    if (length > max_payload_length) {
        return frame_good;
    }
    pay_byte_gap(link);
    // Half a frame on the line would be merged with the next request the
    // device gets, this program's or the next one's: from its first byte to
    // its last, SIGINT and SIGTERM wait.
    system_hold_signals();
    if (signalled(link)) {
        return frame_signalled;
    }
    std::uint8_t* const tx = link.tx_buffer;
    const int count = length + 3;
    std::uint8_t checksum = 0;
    for (int i = 0; i < count; ++i) {
        if (i == count - 1) {
            tx[i] = checksum;
            if (discard_before_last) {
                discard_input(link, "before the request's last byte");
            }
        } else {
            checksum ^= tx[i];
        }
        wire_trace_byte(link.trace, i);
        if (!port_write_byte(link.port, tx[i])) {
            wire_trace_sent(link.trace, tx, i, link.port.failure);
            return let_go(link, port_failed(link, "error occurred during write operation\n"));
        }
        owe_byte_gap(link);
        if (!link.fast || i < count - 1) {
            pay_byte_gap(link);
        }
    }
    wire_trace_sent(link.trace, tx, count, nullptr);
    return let_go(link, frame_good);
}

} // namespace

PortOpenResult link_open(FrameLink& link, const char* name) {
    if (name != link.name) {
        std::snprintf(link.name, sizeof link.name, "%s", name);
    }
    link.fast = false;
    link.signals_to_caller = false;
    link.gap_owed = false;
    link.fault_message = "";
    link.fault_cause = "";
    link.failure[0] = '\0';
    const PortOpenResult result = port_open(link.port, link.name);
    link.open = result == PortOpenResult::ok;
    switch (result) {
    case PortOpenResult::ok:
        return result;
    case PortOpenResult::not_found:
        link.fault_message = "serial port does not exist\n";
        link.fault_cause = "no such port (tolvaner --list shows the ports)";
        break;
    case PortOpenResult::open_failed:
        link.fault_message = "error occurred while opening comm port\n";
        break;
    case PortOpenResult::get_state_failed:
        link.fault_message = "error getting comm state\n";
        link.fault_cause = "not a serial port";
        break;
    case PortOpenResult::set_state_failed:
        link.fault_message = "error setting serial port state\n";
        link.fault_cause = "the driver refused 57600 baud 8N1 or the modem lines";
        break;
    case PortOpenResult::timeouts_failed:
        link.fault_message = "error occureed setting timeout values\n";
        break;
    }
    std::snprintf(link.failure, sizeof link.failure, "%s", link.port.failure);
    return result;
}

void link_close(FrameLink& link) {
    if (!link.open) {
        return;
    }
    // Let go of the port only once the device has had its gap after the last
    // byte, so that the next program may send at once.
    pay_byte_gap(link);
    port_close(link.port);
    link.open = false;
}

const char* link_failure_text(const FrameLink& link) { return link.failure; }

void use_fast_exchange(FrameLink& link, bool on) { link.fast = on; }

void owe_byte_gap(FrameLink& link) {
    link.gap_owed = true;
    link.last_byte_us = system_monotonic_us();
}

void pay_byte_gap(FrameLink& link) {
    if (!link.gap_owed) {
        return;
    }
    link.gap_owed = false;
    const std::uint64_t since = system_monotonic_us() - link.last_byte_us;
    if (since < byte_gap_ms * 1000u) {
        system_pause_ms(static_cast<unsigned>((byte_gap_ms * 1000u - since + 999u) / 1000u));
    }
}

FrameResult send_frame(FrameLink& link, std::uint8_t length) {
    return send_bytes(link, length, false);
}

FrameResult send_query_frame(FrameLink& link, std::uint8_t length) {
    return send_bytes(link, length, true);
}

void discard_input(FrameLink& link, const char* why) {
    if (wire_trace_on(link.trace)) {
        // A chattering device could keep this going: a few buffers' worth
        // shows what it says, and the discard below takes the rest.
        std::uint8_t dropped[frame_buffer_size];
        for (int round = 0; round < 8; ++round) {
            const int got = port_read(link.port, dropped, frame_buffer_size);
            if (got <= 0) {
                break;
            }
            wire_trace_dropped(link.trace, dropped, got, why);
        }
    }
    port_discard_input(link.port);
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

// Keeps the `count` bytes of a read in rx_buffer (as many as it holds),
// judges them, and traces them with the verdict.
FrameResult keep_and_judge(FrameLink& link, int count, bool is_reply, int payload_needed) {
    link.bytes_read =
        static_cast<std::uint32_t>(count < frame_buffer_size ? count : frame_buffer_size);
    std::memcpy(link.rx_buffer, link.read_bytes, link.bytes_read);
    link.verdict = judge_read(link.read_bytes, count, is_reply, payload_needed);
    link.words =
        read_verdict_text(link.verdict_words, link.verdict, link.read_bytes, count, payload_needed);
    wire_trace_read(link.trace, link.read_bytes, count, link.verdict, link.words);
    return link.verdict == ReadVerdict::good ? frame_good : frame_fault;
}

FrameResult read_failed(FrameLink& link) {
    wire_trace_read_failed(link.trace, link.port.failure);
    return port_failed(link, "error occurred during read operation\n");
}

FrameResult read_and_judge(FrameLink& link, bool is_reply, int payload_needed) {
    int got = port_read(link.port, link.read_bytes, frame_buffer_size);
    if (got == frame_buffer_size && is_reply &&
        port_read(link.port, link.read_bytes + got, 1) == 1) {
        ++got;
    }
    if (got < 0) {
        return read_failed(link);
    }
    if (keep_and_judge(link, got, is_reply, payload_needed) != frame_good) {
        std::fputs("Packet checksum fault\n", stdout);
        if (is_reply) {
            tell_cause(link.name, "reply to %c: %s", link.tx_buffer[0], link.words);
        } else {
            tell_cause(link.name, "waiting at start: %s", link.words);
        }
        return frame_fault;
    }
    return frame_good;
}

} // namespace

FrameResult receive_frame(FrameLink& link) { return read_and_judge(link, false, 0); }

FrameResult receive_reply(FrameLink& link, std::uint8_t payload_needed) {
    return read_and_judge(link, true, payload_needed);
}

namespace {

// Whether what has come so far is one whole frame, or can never become one.
bool reply_complete(const FrameLink& link) {
    const int gathered = link.gathered;
    return gathered >= 3 &&
           (link.read_bytes[1] > max_payload_length || gathered >= link.read_bytes[1] + 3);
}

bool read_more(FrameLink& link, unsigned timeout_ms) {
    const int got = port_read_within(link.port, link.read_bytes + link.gathered,
                                     frame_buffer_size + 1 - link.gathered, timeout_ms);
    if (got < 0) {
        return false;
    }
    link.gathered += got;
    return true;
}

unsigned ms_until(std::uint64_t deadline_us) {
    const std::uint64_t now = system_monotonic_us();
    return now >= deadline_us ? 0u : static_cast<unsigned>((deadline_us - now + 999u) / 1000u);
}

} // namespace

FrameResult await_reply(FrameLink& link, std::uint8_t payload_needed, unsigned limit_ms,
                        unsigned quiet_ms) {
    const std::uint64_t start = system_monotonic_us();
    const std::uint64_t limit = start + limit_ms * std::uint64_t{1000};
    link.gathered = 0;
    if (!read_more(link, 0)) {
        return read_failed(link);
    }
    while (!reply_complete(link) && link.gathered <= frame_buffer_size) {
        const unsigned left = ms_until(limit);
        if (left == 0) {
            break;
        }
        if (!read_more(link, left)) {
            return read_failed(link);
        }
    }
    if (reply_complete(link) && link.gathered <= frame_buffer_size) {
        // Anything right behind the frame would make the read more than one
        // frame: wait a little for it, never past the limit.
        const std::uint64_t quiet_end = system_monotonic_us() + quiet_ms * std::uint64_t{1000};
        const unsigned quiet = ms_until(quiet_end < limit ? quiet_end : limit);
        if (quiet > 0 && !read_more(link, quiet)) {
            return read_failed(link);
        }
    }
    return keep_and_judge(link, link.gathered, true, payload_needed);
}

ReadVerdict last_read_verdict(const FrameLink& link) { return link.verdict; }

const char* last_read_words(const FrameLink& link) { return link.words; }

void dump_buffer(const FrameLink& link, std::uint8_t selector) {
    const std::uint8_t* b = selector != 0 ? link.rx_buffer : link.tx_buffer;
    std::printf("%d %d %d %d %d %d %d %d\n", static_cast<std::int8_t>(b[0]),
                static_cast<std::int8_t>(b[1]), static_cast<std::int8_t>(b[2]),
                static_cast<std::int8_t>(b[3]), static_cast<std::int8_t>(b[4]),
                static_cast<std::int8_t>(b[5]), static_cast<std::int8_t>(b[6]),
                static_cast<std::int8_t>(b[7]));
}
