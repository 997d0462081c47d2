#include "link/frame_link.h"

#include "link/platform.h"
#include "link/serial_port.h"
#include "link/wire_trace.h"

#include <cstdio>

std::uint8_t tx_buffer[frame_buffer_size];
std::uint8_t rx_buffer[frame_buffer_size];
std::uint32_t bytes_read;

namespace {

bool gap_owed_mode;
// When the last byte of the previous frame went out, while its gap is owed.
bool gap_owed;
std::uint64_t last_byte_us;
ReadVerdict last_verdict = ReadVerdict::good;

void pay_owed_gap() {
    if (!gap_owed) {
        return;
    }
    gap_owed = false;
    const std::uint64_t since = platform_monotonic_us() - last_byte_us;
    if (since < byte_gap_ms * 1000u) {
        platform_pause_ms(static_cast<unsigned>((byte_gap_ms * 1000u - since + 999u) / 1000u));
    }
}

void send_bytes(std::uint8_t length, bool discard_before_last) {
    if (length > max_payload_length) {
        return;
    }
    pay_owed_gap();
    const int count = length + 3;
    std::uint8_t checksum = 0;
    for (int i = 0; i < count; ++i) {
        if (i == count - 1) {
            tx_buffer[i] = checksum;
            if (discard_before_last) {
                platform_discard_input();
            }
        } else {
            checksum ^= tx_buffer[i];
        }
        wire_trace_byte(i);
        if (!platform_write_byte(tx_buffer[i])) {
            fail("error occurred during write operation\n");
        }
        if (gap_owed_mode && i == count - 1) {
            gap_owed = true;
            last_byte_us = platform_monotonic_us();
        } else {
            platform_pause_ms(byte_gap_ms);
        }
    }
    wire_trace_sent(tx_buffer, count);
}

} // namespace

void send_frame(std::uint8_t length) { send_bytes(length, false); }

void send_query_frame(std::uint8_t length) { send_bytes(length, true); }

namespace {

// Judges only what this read delivered: whatever earlier reads left in the
// buffer must never complete or pass a frame. A reply must be exactly one
// frame: with more in the read, the answer cannot be told from whatever else
// arrived (a late answer to a setting, noise).
ReadVerdict judge_read(bool is_reply) {
    if (bytes_read == 0) {
        return is_reply ? ReadVerdict::nothing_arrived : ReadVerdict::good;
    }
    if (bytes_read < 3) {
        return ReadVerdict::shorter_than_header;
    }
    if (rx_buffer[1] > max_payload_length) {
        return ReadVerdict::length_over_buffer;
    }
    const std::uint32_t length = rx_buffer[1] + 3u;
    if (bytes_read < length) {
        return ReadVerdict::shorter_than_length;
    }
    if (is_reply && bytes_read > length) {
        return ReadVerdict::longer_than_frame;
    }
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        sum ^= rx_buffer[i];
    }
    return sum == 0 ? ReadVerdict::good : ReadVerdict::bad_checksum;
}

FrameResult read_and_judge(bool is_reply) {
    int got = platform_read(rx_buffer, frame_buffer_size);
    if (got < 0) {
        fail("error occurred during read operation\n");
    }
    bytes_read = static_cast<std::uint32_t>(got);
    ReadVerdict verdict = judge_read(is_reply);
    last_verdict = verdict;
    wire_trace_read(rx_buffer, got, verdict);
    if (verdict != ReadVerdict::good) {
        std::fputs("Packet checksum fault\n", stdout);
        return frame_fault;
    }
    return frame_good;
}

} // namespace

FrameResult receive_frame() { return read_and_judge(false); }

FrameResult receive_reply() { return read_and_judge(true); }

void owe_last_gap(bool on) { gap_owed_mode = on; }

namespace {

// Whether what has come so far is one whole frame, or can never become one.
bool reply_complete() {
    return bytes_read >= 3 &&
           (rx_buffer[1] > max_payload_length || bytes_read >= rx_buffer[1] + 3u);
}

void read_more(unsigned timeout_ms) {
    int got = platform_read_within(rx_buffer + bytes_read,
                                   frame_buffer_size - static_cast<int>(bytes_read), timeout_ms);
    if (got < 0) {
        fail("error occurred during read operation\n");
    }
    bytes_read += static_cast<std::uint32_t>(got);
}

unsigned ms_until(std::uint64_t deadline_us) {
    const std::uint64_t now = platform_monotonic_us();
    return now >= deadline_us ? 0u : static_cast<unsigned>((deadline_us - now + 999u) / 1000u);
}

} // namespace

FrameResult await_reply(unsigned limit_ms, unsigned quiet_ms) {
    const std::uint64_t start = platform_monotonic_us();
    const std::uint64_t limit = start + limit_ms * std::uint64_t{1000};
    bytes_read = 0;
    read_more(0);
    while (!reply_complete() && bytes_read < frame_buffer_size) {
        const unsigned left = ms_until(limit);
        if (left == 0) {
            break;
        }
        read_more(left);
    }
    if (reply_complete() && bytes_read < frame_buffer_size) {
        // Anything right behind the frame would make the read more than one
        // frame: wait a little for it, never past the limit.
        const std::uint64_t quiet_end = platform_monotonic_us() + quiet_ms * std::uint64_t{1000};
        const unsigned quiet = ms_until(quiet_end < limit ? quiet_end : limit);
        if (quiet > 0) {
            read_more(quiet);
        }
    }
    last_verdict = judge_read(true);
    wire_trace_read(rx_buffer, static_cast<int>(bytes_read), last_verdict);
    return last_verdict == ReadVerdict::good ? frame_good : frame_fault;
}

ReadVerdict last_read_verdict() { return last_verdict; }

void dump_buffer(std::uint8_t selector) {
    const std::uint8_t* b = selector != 0 ? rx_buffer : tx_buffer;
    std::printf("%d %d %d %d %d %d %d %d\n", static_cast<std::int8_t>(b[0]),
                static_cast<std::int8_t>(b[1]), static_cast<std::int8_t>(b[2]),
                static_cast<std::int8_t>(b[3]), static_cast<std::int8_t>(b[4]),
                static_cast<std::int8_t>(b[5]), static_cast<std::int8_t>(b[6]),
                static_cast<std::int8_t>(b[7]));
}
