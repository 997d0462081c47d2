#include "protocol/device_items.h"

#include <cstring>

const DeviceItem device_items[device_item_count] = {
    {'I', "product_id", "product ID", "", Opcode::product_id, ReadbackItem::none, ItemDecode::text,
     Opcode::readback, 0, 0},
    {'C', "code_revision", "code revision level", "", Opcode::code_revision, ReadbackItem::none,
     ItemDecode::signed_byte, Opcode::readback, 0, 0},
    {'V', "pulse_value", "pulse value", "watt-hours", Opcode::readback, ReadbackItem::pulse_value,
     ItemDecode::unsigned_word, Opcode::pulse_value, 1, 65535},
    {'S', "full_scale", "full scale", "kilowatts", Opcode::readback, ReadbackItem::full_scale,
     ItemDecode::unsigned_word, Opcode::full_scale, 1, 8},
    {'M', "output_mode", "output mode", "", Opcode::readback, ReadbackItem::output_mode,
     ItemDecode::character, Opcode::output_mode, 1, 2},
    {'A', "average_interval", "average interval", "minutes", Opcode::readback,
     ReadbackItem::average_interval, ItemDecode::signed_byte, Opcode::average_interval, 1, 7},
    {'D', "dac_value", "most recent DAC value", "", Opcode::readback, ReadbackItem::dac_value,
     ItemDecode::unsigned_byte, Opcode::readback, 0, 0},
    {'K', "kwh_value", "most recent kWh value", "kilowatt-hours", Opcode::readback,
     ReadbackItem::kwh_value, ItemDecode::unsigned_word, Opcode::readback, 0, 0},
};

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

bool item_is_settable(const DeviceItem& item) { return item.setting != Opcode::readback; }

char output_mode_letter(std::int32_t mode) { return mode == 1 ? 'I' : 'A'; }

const DeviceItem* item_by_key(const char* key, int key_length) {
    for (const DeviceItem& item : device_items) {
        const int length = static_cast<int>(std::strlen(item.key));
        if (length == key_length && std::strncmp(item.key, key, static_cast<size_t>(length)) == 0) {
            return &item;
        }
        if (key_length == 1 && item_is_settable(item) && upper(key[0]) == item.letter) {
            return &item;
        }
    }
    return nullptr;
}

const DeviceItem* readback_by_letter(char letter) {
    for (const DeviceItem& item : device_items) {
        if (item.readback != ReadbackItem::none && upper(letter) == item.letter) {
            return &item;
        }
    }
    return nullptr;
}

int item_payload_needed(const DeviceItem& item) {
    switch (item.decode) {
    case ItemDecode::text:
        return 0;
    case ItemDecode::unsigned_word:
        return 2;
    default:
        return 1;
    }
}

int payload_needed(Opcode query, ReadbackItem readback) {
    for (const DeviceItem& item : device_items) {
        if (item.query == query && item.readback == readback) {
            return item_payload_needed(item);
        }
    }
    return 0;
}

// The link refuses a reply too short for the value: it would show bytes the
// device never sent as that value (its checksum byte above all).
FrameResult query_item(FrameLink& link, const DeviceItem& item) {
    return query(link, item.query, item.readback,
                 static_cast<std::uint8_t>(item_payload_needed(item)));
}

FrameResult query(FrameLink& link, Opcode opcode, ReadbackItem item) {
    return query(link, opcode, item, static_cast<std::uint8_t>(payload_needed(opcode, item)));
}

std::int32_t item_value(const FrameLink& link, const DeviceItem& item) {
    switch (item.decode) {
    case ItemDecode::signed_byte:
        return reply_s8(link);
    case ItemDecode::unsigned_word:
        return reply_u16(link);
    default:
        return reply_u8(link);
    }
}

FrameResult set_item(FrameLink& link, const DeviceItem& item, std::int32_t value) {
    switch (item.setting) {
    case Opcode::pulse_value:
        return set_pulse_value(link, static_cast<std::uint16_t>(value));
    case Opcode::full_scale:
        return set_full_scale(link, static_cast<std::uint8_t>(value));
    case Opcode::output_mode:
        return set_output_mode(link, static_cast<std::uint8_t>(value));
    case Opcode::average_interval:
        return set_average_interval(link, static_cast<std::uint8_t>(value));
    default:
        return frame_good;
    }
}
