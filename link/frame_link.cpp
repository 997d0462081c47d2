#include "link/frame_link.h"

#include "link/platform.h"
#include "link/serial_port.h"
#include "link/wire_trace.h"

#include <cstdio>

std::uint8_t tx_buffer[frame_buffer_size];
std::uint8_t rx_buffer[frame_buffer_size];
std::uint32_t bytes_read;

void send_frame(std::uint8_t length) {
    if (length > max_payload_length) {
        return;
    }
    const int count = length + 3;
    std::uint8_t checksum = 0;
    for (int i = 0; i < count; ++i) {
        if (i == count - 1) {
            tx_buffer[i] = checksum;
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

namespace {

// Judges only what this read delivered: whatever earlier reads left in the
// buffer must never complete or pass a frame.
ReadVerdict judge_read(bool nothing_is_good) {
    if (bytes_read == 0) {
        return nothing_is_good ? ReadVerdict::good : ReadVerdict::nothing_arrived;
    }
    if (bytes_read < 3) {
        return ReadVerdict::shorter_than_header;
    }
    if (rx_buffer[1] > max_payload_length) {
        return ReadVerdict::length_over_buffer;
    }
    if (bytes_read < static_cast<std::uint32_t>(rx_buffer[1] + 3)) {
        return ReadVerdict::shorter_than_length;
    }
    std::uint8_t sum = 0;
    for (int i = 0; i < rx_buffer[1] + 3; ++i) {
        sum ^= rx_buffer[i];
    }
    return sum == 0 ? ReadVerdict::good : ReadVerdict::bad_checksum;
}

FrameResult read_and_judge(bool nothing_is_good) {
    int got = platform_read(rx_buffer, frame_buffer_size);
    if (got < 0) {
        fail("error occurred during read operation\n");
    }
    bytes_read = static_cast<std::uint32_t>(got);
    ReadVerdict verdict = judge_read(nothing_is_good);
    wire_trace_read(rx_buffer, got, verdict);
    if (verdict != ReadVerdict::good) {
        std::fputs("Packet checksum fault\n", stdout);
        return frame_fault;
    }
    return frame_good;
}

} // namespace

FrameResult receive_frame() { return read_and_judge(true); }

FrameResult receive_reply() { return read_and_judge(false); }

void dump_buffer(std::uint8_t selector) {
    const std::uint8_t* b = selector != 0 ? rx_buffer : tx_buffer;
    std::printf("%d %d %d %d %d %d %d %d\n", static_cast<std::int8_t>(b[0]),
                static_cast<std::int8_t>(b[1]), static_cast<std::int8_t>(b[2]),
                static_cast<std::int8_t>(b[3]), static_cast<std::int8_t>(b[4]),
                static_cast<std::int8_t>(b[5]), static_cast<std::int8_t>(b[6]),
                static_cast<std::int8_t>(b[7]));
}
