#include "protocol/device_messages.h"

#include "system/system.h"
#include "system/text_escape.h"

#include <cstdio>

namespace {

void send_request(Opcode opcode, std::uint8_t length, bool is_query = false) {
    tx_buffer[0] = static_cast<std::uint8_t>(opcode);
    tx_buffer[1] = length;
    if (is_query) {
        send_query_frame(length);
    } else {
        send_frame(length);
    }
}

void send_byte_setting(Opcode opcode, std::uint8_t value) {
    tx_buffer[2] = value;
    send_request(opcode, 1);
}

constexpr int max_product_id_length = 4;

bool fast_exchange;

} // namespace

void use_fast_exchange(bool on) {
    fast_exchange = on;
    owe_last_gap(on);
}

void set_pulse_value(std::uint16_t watt_hours) {
    tx_buffer[2] = static_cast<std::uint8_t>(watt_hours & 0xFF);
    tx_buffer[3] = static_cast<std::uint8_t>(watt_hours >> 8);
    send_request(Opcode::pulse_value, 2);
}

void set_full_scale(std::uint8_t range) { send_byte_setting(Opcode::full_scale, range); }

void set_output_mode(std::uint8_t mode) { send_byte_setting(Opcode::output_mode, mode); }

void set_average_interval(std::uint8_t interval) {
    send_byte_setting(Opcode::average_interval, interval);
}

void set_defaults() { send_request(Opcode::set_defaults, 0); }

void enter_test_mode() { send_request(Opcode::test_mode, 0); }

FrameResult query(Opcode opcode, ReadbackItem item, std::uint8_t payload_needed) {
    // An answer to an earlier setting request, or line noise, must never be
    // taken for this query's reply: the send throws away what is waiting just
    // before the request's last byte.
    if (opcode == Opcode::readback) {
        tx_buffer[2] = static_cast<std::uint8_t>(item);
        send_request(opcode, 1, true);
    } else {
        send_request(opcode, 0, true);
    }
    FrameResult result;
    if (fast_exchange) {
        // The reply's wait starts inside the last byte's gap, which is owed.
        result = await_reply(payload_needed, byte_gap_ms + reply_settle_ms, reply_quiet_ms);
    } else {
        system_pause_ms(reply_settle_ms);
        result = receive_reply(payload_needed);
    }
    if (result == frame_fault) {
        // The device may still be sending a reply that missed the settle
        // time. Give it that long again and throw it away, or a query typed
        // ahead takes it for its own.
        system_pause_ms(reply_settle_ms);
        discard_input("after the faulted reply's wait");
    }
    return result;
}

std::uint8_t reply_payload_length() { return rx_buffer[1]; }

std::uint16_t reply_u16() { return static_cast<std::uint16_t>(rx_buffer[2] | (rx_buffer[3] << 8)); }

std::uint8_t reply_u8() { return rx_buffer[2]; }

std::int8_t reply_s8() { return static_cast<std::int8_t>(rx_buffer[2]); }

int reply_text_length() {
    int limit = reply_payload_length() < max_product_id_length ? reply_payload_length()
                                                               : max_product_id_length;
    int n = 0;
    while (n < limit && rx_buffer[2 + n] != 0) {
        ++n;
    }
    return n;
}

const char* reply_text() { return reinterpret_cast<const char*>(rx_buffer + 2); }

void print_device_bytes(const char* bytes, int count) { print_escaped(stdout, bytes, count); }
