#include "link/frame_link.h"

#include "link/platform.h"
#include "link/serial_port.h"
#include "link/wire_trace.h"

#include <cstdio>

std::uint8_t tx_buffer[frame_buffer_size];
std::uint8_t rx_buffer[frame_buffer_size];
std::uint32_t bytes_read;

namespace {

void send_bytes(std::uint8_t length, bool discard_before_last) {
    if (length > max_payload_length) {
        return;
    }
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
        platform_pause_ms(byte_gap_ms);
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

void dump_buffer(std::uint8_t selector) {
    const std::uint8_t* b = selector != 0 ? rx_buffer : tx_buffer;
    std::printf("%d %d %d %d %d %d %d %d\n", static_cast<std::int8_t>(b[0]),
                static_cast<std::int8_t>(b[1]), static_cast<std::int8_t>(b[2]),
                static_cast<std::int8_t>(b[3]), static_cast<std::int8_t>(b[4]),
                static_cast<std::int8_t>(b[5]), static_cast<std::int8_t>(b[6]),
                static_cast<std::int8_t>(b[7]));
}
