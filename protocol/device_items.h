// What the device can be asked for and what can be set, as data: one row per
// item, used by the console's handlers and by the option-led modes alike.
#pragma once

#include "protocol/device_messages.h"

#include <cstdint>

// How an item's reply payload reads.
enum class ItemDecode : std::uint8_t {
    text,          // up to four characters, ending early at a zero byte
    signed_byte,   // -128 to 127
    unsigned_byte, // 0 to 255
    character,     // one byte that is a letter ('I', 'A')
    unsigned_word, // two bytes, low byte first
};

struct DeviceItem {
    char letter;     // the console's letter for it, upper case
    const char* key; // its name on the command line and in every format
    const char* label;
    const char* unit;      // "" when it has none
    Opcode query;          // 'I', 'C', or 'R' with `readback`
    ReadbackItem readback; // none for 'I' and 'C'
    ItemDecode decode;
    Opcode setting; // what sets it; Opcode::readback when nothing does
    // The values a setting takes, as the console takes them.
    std::int32_t low;
    std::int32_t high;
};

constexpr int device_item_count = 8;
// In the order --read shows them.
extern const DeviceItem device_items[device_item_count];

// The row of a key, or nullptr. Settable items are also known by their
// console letter, either case.
const DeviceItem* item_by_key(const char* key, int key_length);
// A readback item by its console letter, either case; nullptr for none.
const DeviceItem* readback_by_letter(char letter);

bool item_is_settable(const DeviceItem& item);
// The letter the output mode reads back as once it was set to `mode`, as the
// console's prompt gives them: 1 Instant, 2 Average.
char output_mode_letter(std::int32_t mode);
// Bytes of payload a good reply must hold for the item's value.
int item_payload_needed(const DeviceItem& item);
// The same for the item a query asks for; 0 for a query of no item.
int payload_needed(Opcode query, ReadbackItem readback);

// Queries the item. On frame_good its value is in the reply (item_value).
FrameResult query_item(FrameLink& link, const DeviceItem& item);
// query() asking for the payload the table gives that query.
FrameResult query(FrameLink& link, Opcode opcode, ReadbackItem item);
// The value of a good reply as a number (a character as its byte value);
// not for text.
std::int32_t item_value(const FrameLink& link, const DeviceItem& item);
// Sends the setting; `value` lies in [low, high].
FrameResult set_item(FrameLink& link, const DeviceItem& item, std::int32_t value);
