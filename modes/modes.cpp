#include "modes/modes.h"

#include "link/frame_link.h"
#include "link/platform.h"
#include "link/serial_port.h"
#include "link/wire_trace.h"

#include <cstdio>
#include <cstring>

namespace {

// ---- KEY=VALUE ----

char cause[160];

// An optional sign and decimal digits only, as the console takes a value.
// Saturates far beyond any range and far below where 32 bits wrap.
bool plain_integer(const char* text, std::int32_t& value) {
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    if (*p == '\0') {
        return false;
    }
    std::int32_t magnitude = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        magnitude = magnitude >= 100000000 ? 1000000000 : magnitude * 10 + (*p - '0');
    }
    value = negative ? -magnitude : magnitude;
    return true;
}

} // namespace

const char* parse_assignment(const char* word, bool expect, Assignment& out) {
    const char* equals = std::strchr(word, '=');
    if (equals == nullptr) {
        std::snprintf(cause, sizeof cause, "'%s' is not KEY=VALUE", word);
        return cause;
    }
    const int key_length = static_cast<int>(equals - word);
    const DeviceItem* item = item_by_key(word, key_length);
    if (item == nullptr || (!expect && !item_is_settable(*item))) {
        std::snprintf(cause, sizeof cause, "%.*s: no such %s", key_length, word,
                      expect ? "item" : "setting");
        return cause;
    }
    const char* value = equals + 1;
    out = Assignment{item, 0, value, static_cast<int>(std::strlen(value))};
    if (expect && (item->decode == ItemDecode::text || item->decode == ItemDecode::character)) {
        const int longest = item->decode == ItemDecode::text ? 4 : 1;
        if (out.text_length == 0 || out.text_length > longest) {
            std::snprintf(cause, sizeof cause, "%s: '%s' is not 1 to %d characters", item->key,
                          value, longest);
            return cause;
        }
        return nullptr;
    }
    if (!plain_integer(value, out.number)) {
        std::snprintf(cause, sizeof cause, "%s: '%s' is not a whole number", item->key, value);
        return cause;
    }
    if (!expect && (out.number < item->low || out.number > item->high)) {
        std::snprintf(cause, sizeof cause, "%s: %s is out of range (%d to %d)", item->key, value,
                      static_cast<int>(item->low), static_cast<int>(item->high));
        return cause;
    }
    return nullptr;
}

namespace {

// ---- Readings ----

struct Reading {
    bool taken;
    bool good;
    std::int32_t number;
    char text[4];
    int text_length;
};

Reading readings[device_item_count];
const ModeRequest* request;
bool any_fault;
bool any_difference;

int index_of(const DeviceItem& item) { return static_cast<int>(&item - device_items); }

void take(const DeviceItem& item) {
    Reading& r = readings[index_of(item)];
    r.taken = true;
    r.good = query_item(item) == frame_good;
    if (!r.good) {
        any_fault = true;
        std::fflush(stdout);
        std::fprintf(stderr, "tolvaner: %s: no good reply (%s)\n", item.key, last_read_words());
        return;
    }
    r.text_length = 0;
    if (item.decode == ItemDecode::text) {
        r.text_length = reply_text_length();
        std::memcpy(r.text, reply_text(), static_cast<std::size_t>(r.text_length));
    } else {
        r.number = item_value(item);
        if (item.decode == ItemDecode::character) {
            r.text[0] = static_cast<char>(r.number);
            r.text_length = 1;
        }
    }
}

bool is_text(const DeviceItem& item) {
    return item.decode == ItemDecode::text || item.decode == ItemDecode::character;
}

void print_json_string(const char* text, int length) {
    std::putchar('"');
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (byte == '"' || byte == '\\') {
            std::printf("\\%c", byte);
        } else if (byte >= 0x20 && byte <= 0x7E) {
            std::putchar(byte);
        } else {
            std::printf("\\u%04X", static_cast<unsigned>(byte));
        }
    }
    std::putchar('"');
}

// An item's value as the text format (- for no good reply) or JSON (null)
// shows it.
void print_value(const DeviceItem& item, bool json) {
    const Reading& r = readings[index_of(item)];
    if (!r.good) {
        std::fputs(json ? "null" : "-", stdout);
    } else if (is_text(item)) {
        (json ? print_json_string : print_device_bytes)(r.text, r.text_length);
    } else {
        std::printf("%d", static_cast<int>(r.number));
    }
}

void print_json_key(const char* key) { std::printf(",\"%s\":", key); }

// Every item read so far, one line each, or one JSON object.
void print_readings() {
    if (request->format == Format::json) {
        std::fputs("{\"port\":", stdout);
        print_json_string(request->port, static_cast<int>(std::strlen(request->port)));
        for (const DeviceItem& item : device_items) {
            if (readings[index_of(item)].taken) {
                print_json_key(item.key);
                print_value(item, true);
            }
        }
        std::fputs("}\n", stdout);
        return;
    }
    for (const DeviceItem& item : device_items) {
        if (!readings[index_of(item)].taken) {
            continue;
        }
        std::printf("%-18s", item.key);
        print_value(item, false);
        if (item.unit[0] != '\0' && readings[index_of(item)].good) {
            std::printf(" %s", item.unit);
        }
        std::putchar('\n');
    }
}

// Whether a good reading says what was set or expected; if not, says so.
void compare(const Assignment& a, const char* verb) {
    const Reading& r = readings[index_of(*a.item)];
    if (!r.good) {
        return;
    }
    const bool same =
        is_text(*a.item)
            ? r.text_length == a.text_length &&
                  std::memcmp(r.text, a.text, static_cast<std::size_t>(r.text_length)) == 0
            : r.number == a.number;
    if (same) {
        return;
    }
    any_difference = true;
    std::fflush(stdout);
    std::fprintf(stderr, "tolvaner: %s: read back ", a.item->key);
    if (is_text(*a.item)) {
        std::fprintf(stderr, "'%.*s'", r.text_length, r.text);
    } else {
        std::fprintf(stderr, "%d", static_cast<int>(r.number));
    }
    std::fprintf(stderr, ", but %s was %s\n", a.text, verb);
}

void read_all() {
    for (const DeviceItem& item : device_items) {
        take(item);
    }
    print_readings();
}

bool named(const Assignment* list, int count, const DeviceItem& item) {
    for (int i = 0; i < count; ++i) {
        if (list[i].item == &item) {
            return true;
        }
    }
    return false;
}

void set_and_verify() {
    const ModeRequest& r = *request;
    for (int i = 0; i < r.set_count; ++i) {
        set_item(*r.sets[i].item, r.sets[i].number);
    }
    for (const DeviceItem& item : device_items) {
        if (named(r.sets, r.set_count, item) || named(r.expects, r.expect_count, item)) {
            take(item);
        }
    }
    print_readings();
    // The pulse value is the one setting that reads back in the units it
    // was set in; the others read back in the device's own.
    for (int i = 0; i < r.set_count; ++i) {
        if (r.sets[i].item->setting == Opcode::pulse_value) {
            compare(r.sets[i], "set");
        }
    }
    for (int i = 0; i < r.expect_count; ++i) {
        compare(r.expects[i], "expected");
    }
}

// ---- Watch ----

constexpr int bar_width = 32;

struct Range {
    std::int32_t low;
    std::int32_t high;
    bool any;
};

void widen(Range& range, const Reading& r) {
    if (!r.good) {
        return;
    }
    if (!range.any || r.number < range.low) {
        range.low = r.number;
    }
    if (!range.any || r.number > range.high) {
        range.high = r.number;
    }
    range.any = true;
}

void print_range(const char* key, const Range& range) {
    if (range.any) {
        std::fprintf(stderr, ", %s %d to %d", key, static_cast<int>(range.low),
                     static_cast<int>(range.high));
    }
}

void print_sample(const WallTime& t, const DeviceItem& dac, const DeviceItem& kwh, bool bar) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.millisecond);
    const Reading& level = readings[index_of(dac)];
    switch (request->format) {
    case Format::json:
        std::printf("{\"time\":\"%s\",\"port\":", stamp);
        print_json_string(request->port, static_cast<int>(std::strlen(request->port)));
        print_json_key(dac.key);
        print_value(dac, true);
        print_json_key(kwh.key);
        print_value(kwh, true);
        std::fputs("}\n", stdout);
        return;
    case Format::csv:
        std::printf("%s,", stamp);
        if (level.good) {
            std::printf("%d", static_cast<int>(level.number));
        }
        std::putchar(',');
        if (readings[index_of(kwh)].good) {
            std::printf("%d", static_cast<int>(readings[index_of(kwh)].number));
        }
        std::putchar('\n');
        return;
    case Format::text:
        break;
    }
    std::printf("%s  %s ", stamp, dac.key);
    print_value(dac, false);
    std::printf("  %s ", kwh.key);
    print_value(kwh, false);
    if (bar) {
        const int filled =
            level.good ? (static_cast<int>(level.number) * bar_width + 127) / 255 : 0;
        std::fputs("  |", stdout);
        for (int i = 0; i < bar_width; ++i) {
            std::putchar(i < filled ? '#' : ' ');
        }
        std::putchar('|');
    }
    std::putchar('\n');
}

void watch() {
    const DeviceItem& dac = *item_by_key("dac_value", 9);
    const DeviceItem& kwh = *item_by_key("kwh_value", 9);
    const bool bar = request->format == Format::text && platform_stdout_is_terminal();
    // SIGINT and SIGTERM end the samples here, with the summary.
    leave_signals_to_caller(true);
    if (request->format == Format::csv) {
        std::printf("time,%s,%s\n", dac.key, kwh.key);
    }
    std::uint32_t samples = 0;
    std::uint32_t faulted = 0;
    Range levels{};
    Range energy{};
    const std::uint64_t start = platform_monotonic_us();
    while (platform_held_signal() == 0) {
        const WallTime at = platform_wall_time();
        const bool faults_before = any_fault;
        any_fault = false;
        take(dac);
        take(kwh);
        faulted += any_fault ? 1u : 0u;
        any_fault = any_fault || faults_before;
        print_sample(at, dac, kwh, bar);
        std::fflush(stdout);
        widen(levels, readings[index_of(dac)]);
        widen(energy, readings[index_of(kwh)]);
        ++samples;
        if (samples == request->count) {
            break;
        }
        // Samples keep to their times from the start: a slow exchange does
        // not shift the ones after it. One longer than the period is
        // followed at once by the next.
        const std::uint64_t next = start + std::uint64_t{samples} * request->period_ms * 1000u;
        const std::uint64_t now = platform_monotonic_us();
        if (next > now &&
            platform_sleep_or_interrupted(static_cast<unsigned>((next - now + 999u) / 1000u))) {
            break;
        }
    }
    std::fprintf(stderr, "tolvaner: %lu sample%s, %lu without a good reply",
                 static_cast<unsigned long>(samples), samples == 1 ? "" : "s",
                 static_cast<unsigned long>(faulted));
    print_range(dac.key, levels);
    print_range(kwh.key, energy);
    std::fputc('\n', stderr);
}

} // namespace

int run_mode(const ModeRequest& r) {
    request = &r;
    any_fault = false;
    any_difference = false;
    std::memset(readings, 0, sizeof readings);
    // Standard output carries results only, so that a script can take them.
    port_messages_to(stderr);
    if (r.trace_file != nullptr && !wire_trace_open(r.trace_file, r.port)) {
        std::fprintf(stderr, "tolvaner: cannot open the trace file %s\n", r.trace_file);
        return status_failure;
    }
    // From the open to the close the device's gap is owed between frames:
    // SIGINT and SIGTERM act only between frames, once it is paid.
    platform_hold_signals();
    open_port(r.port);
    use_fast_exchange(true);
    switch (r.mode) {
    case Mode::read:
        read_all();
        break;
    case Mode::set:
        set_and_verify();
        break;
    case Mode::watch:
        watch();
        break;
    case Mode::none:
        break;
    }
    use_fast_exchange(false);
    close_port();
    // A trace with lines missing has said so on standard error already.
    const bool traced = wire_trace_close();
    port_messages_to(stdout);
    // Results that could not be written (a full disk, a closed pipe) are lost,
    // and so is a record a script asked for.
    const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    // Whatever came, --watch has said its summary: the program ends as the
    // signal ends it, so that a calling script stops too.
    leave_signals_to_caller(false);
    end_if_signalled();
    platform_release_signals();
    if (!written || !traced) {
        return status_failure;
    }
    if (any_fault) {
        return status_no_good_reply;
    }
    return any_difference ? status_value_differs : status_good;
}
