#include "protocol/device_messages.h"

#include "system/system.h"
#include "system/text_escape.h"

#include <cstdio>

namespace {

FrameResult send_request(FrameLink& link, Opcode opcode, std::uint8_t length,
                         bool is_query = false) {
    link.tx_buffer[0] = static_cast<std::uint8_t>(opcode);
    link.tx_buffer[1] = length;
    return is_query ? send_query_frame(link, length) : send_frame(link, length);
}

FrameResult send_byte_setting(FrameLink& link, Opcode opcode, std::uint8_t value) {
    link.tx_buffer[2] = value;
    return send_request(link, opcode, 1);
}

constexpr int max_product_id_length = 4;

} // namespace

FrameResult set_pulse_value(FrameLink& link, std::uint16_t watt_hours) {
    link.tx_buffer[2] = static_cast<std::uint8_t>(watt_hours & 0xFF);
    link.tx_buffer[3] = static_cast<std::uint8_t>(watt_hours >> 8);
    return send_request(link, Opcode::pulse_value, 2);
}

FrameResult set_full_scale(FrameLink& link, std::uint8_t range) {
    return send_byte_setting(link, Opcode::full_scale, range);
}

FrameResult set_output_mode(FrameLink& link, std::uint8_t mode) {
    return send_byte_setting(link, Opcode::output_mode, mode);
}

FrameResult set_average_interval(FrameLink& link, std::uint8_t interval) {
    return send_byte_setting(link, Opcode::average_interval, interval);
}

FrameResult set_defaults(FrameLink& link) { return send_request(link, Opcode::set_defaults, 0); }

FrameResult enter_test_mode(FrameLink& link) { return send_request(link, Opcode::test_mode, 0); }

FrameResult query(FrameLink& link, Opcode opcode, ReadbackItem item, std::uint8_t payload_needed) {
    // An answer to an earlier setting request, or line noise, must never be
    // taken for this query's reply: the send throws away what is waiting just
    // before the request's last byte.
    if (opcode == Opcode::readback) {
        link.tx_buffer[2] = static_cast<std::uint8_t>(item);
    }
    const FrameResult sent = send_request(link, opcode, opcode == Opcode::readback ? 1 : 0, true);
    if (sent != frame_good) {
        return sent;
    }
    FrameResult result;
    if (link.fast) {
        // The reply's wait starts inside the last byte's gap, which is owed.
        result = await_reply(link, payload_needed, byte_gap_ms + reply_settle_ms, reply_quiet_ms);
    } else {
        system_pause_ms(reply_settle_ms);
        result = receive_reply(link, payload_needed);
    }
    if (result == frame_fault) {
        // The device may still be sending a reply that missed the settle
        // time. Give it that long again and throw it away, or a query typed
        // ahead takes it for its own.
        system_pause_ms(reply_settle_ms);
        discard_input(link, "after the faulted reply's wait");
    }
    return result;
}

std::uint8_t reply_payload_length(const FrameLink& link) { return link.rx_buffer[1]; }

std::uint16_t reply_u16(const FrameLink& link) {
    return static_cast<std::uint16_t>(link.rx_buffer[2] | (link.rx_buffer[3] << 8));
}

std::uint8_t reply_u8(const FrameLink& link) { return link.rx_buffer[2]; }

std::int8_t reply_s8(const FrameLink& link) { return static_cast<std::int8_t>(link.rx_buffer[2]); }

int reply_text_length(const FrameLink& link) {
    const int length = reply_payload_length(link);
    const int limit = length < max_product_id_length ? length : max_product_id_length;
    int n = 0;
    while (n < limit && link.rx_buffer[2 + n] != 0) {
        ++n;
    }
    return n;
}

const char* reply_text(const FrameLink& link) {
    return reinterpret_cast<const char*>(link.rx_buffer + 2);
}

void print_device_bytes(const char* bytes, int count) { print_escaped(stdout, bytes, count); }
