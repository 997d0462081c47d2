#include "modes/modes.h"

#include "link/frame_link.h"
#include "link/port_report.h"
#include "link/wire_trace.h"
#include "system/system.h"
#include "system/text_escape.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// ---- KEY=VALUE ----

// What the user typed, as a message shows it: cut short with "..." when long,
// so that the reason after it always fits.
struct Typed {
    char text[48];
};

Typed typed(const char* text, int length) {
    constexpr int longest = 40;
    Typed t{};
    if (length > longest) {
        std::snprintf(t.text, sizeof t.text, "%.*s...", longest - 3, text);
    } else {
        std::snprintf(t.text, sizeof t.text, "%.*s", length, text);
    }
    return t;
}

Typed typed(const char* text) { return typed(text, static_cast<int>(std::strlen(text))); }

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

const char* parse_assignment(const char* word, bool expect, Assignment& out, Refusal& refusal) {
    char* const cause = refusal.text;
    const auto cause_size = sizeof refusal.text;
    const char* equals = std::strchr(word, '=');
    if (equals == nullptr) {
        std::snprintf(cause, cause_size, "'%s' is not KEY=VALUE", typed(word).text);
        return cause;
    }
    const int key_length = static_cast<int>(equals - word);
    const DeviceItem* item = item_by_key(word, key_length);
    if (item == nullptr || (!expect && !item_is_settable(*item))) {
        std::snprintf(cause, cause_size, "%s: no such %s", typed(word, key_length).text,
                      expect ? "item" : "setting");
        return cause;
    }
    const char* value = equals + 1;
    out = Assignment{item, 0, value, static_cast<int>(std::strlen(value))};
    if (expect && (item->decode == ItemDecode::text || item->decode == ItemDecode::character)) {
        const int longest = item->decode == ItemDecode::text ? 4 : 1;
        if (out.text_length == 0 || out.text_length > longest) {
            std::snprintf(cause, cause_size, "%s: '%s' is not 1 to %d characters", item->key,
                          typed(value).text, longest);
            return cause;
        }
        return nullptr;
    }
    if (!plain_integer(value, out.number)) {
        std::snprintf(cause, cause_size, "%s: '%s' is not a whole number", item->key,
                      typed(value).text);
        return cause;
    }
    if (!expect && (out.number < item->low || out.number > item->high)) {
        std::snprintf(cause, cause_size, "%s: %s is out of range (%d to %d)", item->key,
                      typed(value).text, static_cast<int>(item->low), static_cast<int>(item->high));
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

// One run of a mode: what it was asked, the link it drives, and what came.
struct ModeRun {
    const ModeRequest& request;
    FrameLink& link;
    Reading readings[device_item_count];
    bool any_fault;
    bool any_difference;
    // frame_port_failed or frame_signalled once the run has to stop.
    FrameResult stopped;
    OutputCheck output;
    // Where a usb: selector is looked up again after a replug.
    const char* root;
};

int index_of(const DeviceItem& item) { return static_cast<int>(&item - device_items); }

// One line of standard error, built in pieces.
struct Line {
    char text[320];
    int length;
};

[[gnu::format(printf, 2, 3)]] void append(Line& line, const char* format, ...) {
    const int room = static_cast<int>(sizeof line.text) - line.length;
    if (room <= 1) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int n =
        std::vsnprintf(line.text + line.length, static_cast<std::size_t>(room), format, arguments);
    va_end(arguments);
    line.length += n < 0 ? 0 : (n < room ? n : room - 1);
}

// Whether the run goes on after `result`; if not, it keeps why.
bool goes_on(ModeRun& run, FrameResult result) {
    if (result == frame_port_failed || result == frame_signalled) {
        run.stopped = result;
        return false;
    }
    return true;
}

bool output_written(ModeRun& run) { return output_written(run.output, run.link.name); }

// Queries the item; false when the run has to stop.
bool take(ModeRun& run, const DeviceItem& item) {
    Reading& r = run.readings[index_of(item)];
    r.taken = true;
    const FrameResult result = query_item(run.link, item);
    r.good = result == frame_good;
    if (!goes_on(run, result)) {
        return false;
    }
    if (!r.good) {
        run.any_fault = true;
        tell_cause(run.link.name, "%s: no good reply (%s)", item.key, last_read_words(run.link));
        return true;
    }
    r.text_length = 0;
    if (item.decode == ItemDecode::text) {
        r.text_length = reply_text_length(run.link);
        std::memcpy(r.text, reply_text(run.link), static_cast<std::size_t>(r.text_length));
    } else {
        r.number = item_value(run.link, item);
        if (item.decode == ItemDecode::character) {
            r.text[0] = static_cast<char>(r.number);
            r.text_length = 1;
        }
    }
    return true;
}

bool is_text(const DeviceItem& item) {
    return item.decode == ItemDecode::text || item.decode == ItemDecode::character;
}

// ---- JSON ----

// The length of the valid UTF-8 sequence at `p`, of which `left` bytes are
// there; 0 when none starts there (a stray continuation byte, a sequence cut
// short, an overlong form, a surrogate, a code point past U+10FFFF).
int utf8_sequence(const std::uint8_t* p, int left) {
    const std::uint8_t lead = p[0];
    if (lead < 0x80) {
        return 1;
    }
    int length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high) {
        return 0;
    }
    for (int i = 2; i < length; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

// A JSON string that gives back the very bytes it was made from. Valid UTF-8
// is written as it is, but for a quote and a backslash (escaped) and control
// characters (below 0x20, 0x7F, U+0080 to U+009F: \u00XX). Each byte that is
// not part of valid UTF-8 is \uDCXX, XX the byte: a lone surrogate, which no
// valid text holds, so it can never be taken for a character that was there.
void print_json_string(const char* text, int length) {
    const auto* in = reinterpret_cast<const std::uint8_t*>(text);
    std::putchar('"');
    for (int i = 0; i < length;) {
        const std::uint8_t byte = in[i];
        const int n = utf8_sequence(in + i, length - i);
        if (n == 0) {
            std::printf("\\uDC%02X", static_cast<unsigned>(byte));
            ++i;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            std::printf("\\%c", byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            std::printf("\\u%04X", static_cast<unsigned>(byte));
        } else if (byte == 0xC2 && in[i + 1] < 0xA0) {
            std::printf("\\u%04X", static_cast<unsigned>(in[i + 1]));
        } else {
            std::fwrite(in + i, 1, static_cast<std::size_t>(n), stdout);
        }
        i += n;
    }
    std::putchar('"');
}

void print_json_text(const char* text) {
    print_json_string(text, static_cast<int>(std::strlen(text)));
}

// An item's value as the text format (- for no good reply) or JSON (null)
// shows it.
void print_value(const ModeRun& run, const DeviceItem& item, bool json) {
    const Reading& r = run.readings[index_of(item)];
    if (!r.good) {
        std::fputs(json ? "null" : "-", stdout);
    } else if (is_text(item)) {
        (json ? print_json_string : print_device_bytes)(r.text, r.text_length);
    } else {
        std::printf("%d", static_cast<int>(r.number));
    }
}

void print_json_key(const char* key) { std::printf(",\"%s\":", key); }

// Every item read so far as one JSON object, and `error` (nullptr for none):
// why the run ended early.
void print_json_readings(const ModeRun& run, const char* error) {
    std::fputs("{\"port\":", stdout);
    print_json_text(run.request.port);
    for (const DeviceItem& item : device_items) {
        if (run.readings[index_of(item)].taken) {
            print_json_key(item.key);
            print_value(run, item, true);
        }
    }
    if (error != nullptr) {
        print_json_key("error");
        print_json_text(error);
    }
    std::fputs("}\n", stdout);
}

// ---- Text ----

// One item read: its key, value and unit.
void print_text_reading(const ModeRun& run, const DeviceItem& item) {
    std::printf("%-18s", item.key);
    print_value(run, item, false);
    if (item.unit[0] != '\0' && run.readings[index_of(item)].good) {
        std::printf(" %s", item.unit);
    }
    std::putchar('\n');
}

// Every item read, one line each, or one JSON object.
void print_readings(const ModeRun& run) {
    if (run.request.format == Format::json) {
        print_json_readings(run, nullptr);
        return;
    }
    for (const DeviceItem& item : device_items) {
        if (run.readings[index_of(item)].taken) {
            print_text_reading(run, item);
        }
    }
}

// Whether a good reading says what `a` holds; if not, says so, with what the
// user gave (`given`).
void compare(ModeRun& run, const Assignment& a, const char* given, const char* verb) {
    const Reading& r = run.readings[index_of(*a.item)];
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
    run.any_difference = true;
    Line line{};
    append(line, "%s: read back ", a.item->key);
    if (is_text(*a.item)) {
        char shown[4 * 4 + 1];
        escape_bytes(shown, sizeof shown, r.text, r.text_length);
        append(line, "'%s'", shown);
    } else {
        append(line, "%d", static_cast<int>(r.number));
    }
    append(line, ", but %s was %s", given, verb);
    tell_cause(run.link.name, "%s", line.text);
}

void read_all(ModeRun& run) {
    // Text shows each item as its reply comes; JSON is one object at the end.
    const bool json = run.request.format == Format::json;
    for (const DeviceItem& item : device_items) {
        if (!take(run, item)) {
            return;
        }
        if (!json) {
            print_text_reading(run, item);
            if (!output_written(run)) {
                return;
            }
        }
    }
    if (json) {
        print_json_readings(run, nullptr);
    }
}

bool named(const Assignment* list, int count, const DeviceItem& item) {
    for (int i = 0; i < count; ++i) {
        if (list[i].item == &item) {
            return true;
        }
    }
    return false;
}

void set_and_verify(ModeRun& run) {
    const ModeRequest& r = run.request;
    for (int i = 0; i < r.set_count; ++i) {
        if (!goes_on(run, set_item(run.link, *r.sets[i].item, r.sets[i].number))) {
            return;
        }
    }
    for (const DeviceItem& item : device_items) {
        if ((named(r.sets, r.set_count, item) || named(r.expects, r.expect_count, item)) &&
            !take(run, item)) {
            return;
        }
    }
    print_readings(run);
    if (!output_written(run)) {
        return;
    }
    // The pulse value reads back in the units it was set in, and the output
    // mode as its letter; the others read back in the device's own units.
    for (int i = 0; i < r.set_count; ++i) {
        const Assignment& set = r.sets[i];
        if (set.item->setting == Opcode::pulse_value) {
            compare(run, set, typed(set.text).text, "set");
        } else if (set.item->setting == Opcode::output_mode) {
            const char letter = output_mode_letter(set.number);
            char given[64];
            std::snprintf(given, sizeof given, "%s (%c)", typed(set.text).text, letter);
            compare(run, Assignment{set.item, 0, &letter, 1}, given, "set");
        }
    }
    for (int i = 0; i < r.expect_count; ++i) {
        compare(run, r.expects[i], typed(r.expects[i].text).text, "expected");
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

void append_range(Line& line, const char* key, const Range& range) {
    if (range.any) {
        append(line, ", %s %d to %d", key, static_cast<int>(range.low),
               static_cast<int>(range.high));
    }
}

struct Stamp {
    char text[32];
};

Stamp stamp_of(const WallTime& t) {
    Stamp s{};
    std::snprintf(s.text, sizeof s.text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.millisecond);
    return s;
}

// What became of one sample: its values, a query without a good reply, or
// the port gone (`lost`, with why).
enum class SampleStatus : std::uint8_t { ok, no_reply, lost };

const char* status_word(SampleStatus status) {
    return status == SampleStatus::ok         ? "ok"
           : status == SampleStatus::no_reply ? "no_reply"
                                              : "lost";
}

void print_sample(const ModeRun& run, const WallTime& t, const DeviceItem& dac,
                  const DeviceItem& kwh, bool bar, SampleStatus status, const char* why) {
    const Stamp stamp = stamp_of(t);
    const bool lost = status == SampleStatus::lost;
    const Reading& level = run.readings[index_of(dac)];
    const Reading& energy = run.readings[index_of(kwh)];
    switch (run.request.format) {
    case Format::json:
        std::printf("{\"time\":\"%s\",\"port\":", stamp.text);
        print_json_text(run.request.port);
        print_json_key(dac.key);
        lost ? (void)std::fputs("null", stdout) : print_value(run, dac, true);
        print_json_key(kwh.key);
        lost ? (void)std::fputs("null", stdout) : print_value(run, kwh, true);
        print_json_key("status");
        print_json_text(status_word(status));
        if (lost) {
            print_json_key("error");
            print_json_text(why);
        }
        std::fputs("}\n", stdout);
        return;
    case Format::csv:
        std::printf("%s,", stamp.text);
        if (!lost && level.good) {
            std::printf("%d", static_cast<int>(level.number));
        }
        std::putchar(',');
        if (!lost && energy.good) {
            std::printf("%d", static_cast<int>(energy.number));
        }
        std::printf(",%s\n", status_word(status));
        return;
    case Format::text:
        break;
    }
    if (lost) {
        std::printf("%s  lost (%s)\n", stamp.text, why);
        return;
    }
    std::printf("%s  %s ", stamp.text, dac.key);
    print_value(run, dac, false);
    std::printf("  %s ", kwh.key);
    print_value(run, kwh, false);
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

// Why the link's port failed, in one line: its fixed message, the system's
// reason and the cause the program can name.
void failure_words(const FrameLink& link, Line& line) {
    const char* message = link.fault_message;
    append(line, "%.*s", static_cast<int>(std::strcspn(message, "\n")), message);
    for (const char* part : {link_failure_text(link), link.fault_cause}) {
        if (part[0] != '\0') {
            append(line, "%s%s", line.length > 0 ? ": " : "", part);
        }
    }
}

// A watched port that failed: closed (its gap paid), then looked for again
// once a second until it answers, a sample time passes, or a signal comes.
// Each change of state is said once on standard error.
struct Outage {
    bool port_gone;
    bool said;
    bool said_held;
    std::uint64_t next_try_us;
    std::uint32_t lost;
    std::uint32_t back;
    Line why;
};

void lose_port(ModeRun& run, Outage& outage) {
    outage.why = Line{};
    failure_words(run.link, outage.why);
    link_close(run.link);
    run.stopped = frame_good;
    outage.port_gone = true;
    outage.next_try_us = system_monotonic_us() + 1000000u;
    if (!outage.said) {
        outage.said = true;
        tell_cause(run.request.port, "lost (%s); looking for it once a second", outage.why.text);
    }
}

// One look for the port; true when it is open again.
bool look_again(ModeRun& run, Outage& outage) {
    outage.next_try_us = system_monotonic_us() + 1000000u;
    if (!open_named_port(run.link, run.request.port, run.root)) {
        // Another program's session is waited for, never broken into.
        const char* why = link_failure_text(run.link);
        if (!outage.said_held && std::strstr(why, "held by") != nullptr) {
            outage.said_held = true;
            tell_cause(run.request.port, "%s; waiting for it", why);
        }
        return false;
    }
    use_fast_exchange(run.link, true);
    run.link.signals_to_caller = true;
    outage.port_gone = false;
    outage.said = false;
    outage.said_held = false;
    ++outage.back;
    tell_cause(run.request.port, "back, on %s", run.link.name);
    return true;
}

// Sleeps until `until_us`, looking for a lost port once a second meanwhile.
// True when a signal came.
bool wait_for_sample(ModeRun& run, Outage& outage, std::uint64_t until_us) {
    for (;;) {
        const std::uint64_t now = system_monotonic_us();
        if (now >= until_us) {
            return false;
        }
        std::uint64_t wake = until_us;
        if (outage.port_gone && outage.next_try_us < wake) {
            wake = outage.next_try_us > now ? outage.next_try_us : now;
        }
        if (wake > now &&
            system_sleep_or_interrupted(static_cast<unsigned>((wake - now + 999u) / 1000u))) {
            return true;
        }
        if (outage.port_gone && system_monotonic_us() >= outage.next_try_us) {
            look_again(run, outage);
        }
    }
}

void watch(ModeRun& run) {
    const ModeRequest& request = run.request;
    const DeviceItem& dac = *item_by_key("dac_value", 9);
    const DeviceItem& kwh = *item_by_key("kwh_value", 9);
    const bool bar = request.format == Format::text && system_stdout_is_terminal();
    // SIGINT and SIGTERM end the samples here, with the summary.
    run.link.signals_to_caller = true;
    if (request.format == Format::csv) {
        std::printf("time,%s,%s,status\n", dac.key, kwh.key);
    }
    // Samples nobody can see are not taken, nor summed up.
    if (!output_written(run)) {
        return;
    }
    std::uint32_t samples = 0;
    std::uint32_t faulted = 0;
    Outage outage{};
    Range levels{};
    Range energy{};
    const std::uint64_t start = system_monotonic_us();
    while (system_held_signal() == 0) {
        const WallTime at = system_wall_time();
        SampleStatus status = SampleStatus::lost;
        if (outage.port_gone && system_monotonic_us() >= outage.next_try_us) {
            look_again(run, outage);
        }
        if (!outage.port_gone) {
            const bool faults_before = run.any_fault;
            run.any_fault = false;
            if (take(run, dac) && take(run, kwh)) {
                status = run.any_fault ? SampleStatus::no_reply : SampleStatus::ok;
                faulted += run.any_fault ? 1u : 0u;
            } else if (run.stopped == frame_port_failed && !request.no_reconnect) {
                // The sample is lost, not the run: the port is looked for
                // again, under its name or by its usb: selector anew.
                lose_port(run, outage);
            } else {
                return;
            }
            run.any_fault = run.any_fault || faults_before;
        }
        if (status == SampleStatus::lost) {
            ++outage.lost;
        }
        print_sample(run, at, dac, kwh, bar, status, outage.why.text);
        if (!output_written(run)) {
            return;
        }
        if (status != SampleStatus::lost) {
            widen(levels, run.readings[index_of(dac)]);
            widen(energy, run.readings[index_of(kwh)]);
        }
        ++samples;
        if (samples == request.count) {
            break;
        }
        // Samples keep to their times from the start: a slow exchange does
        // not shift the ones after it. One longer than the period is
        // followed at once by the next.
        const std::uint64_t next = start + std::uint64_t{samples} * request.period_ms * 1000u;
        if (wait_for_sample(run, outage, next)) {
            break;
        }
    }
    Line summary{};
    append(summary, "%" PRIu32 " sample%s, %" PRIu32 " without a good reply", samples,
           samples == 1 ? "" : "s", faulted);
    if (outage.lost > 0 || outage.back > 0) {
        append(summary, ", %" PRIu32 " lost, back %" PRIu32 " time%s", outage.lost, outage.back,
               outage.back == 1 ? "" : "s");
    }
    append_range(summary, dac.key, levels);
    append_range(summary, kwh.key, energy);
    tell_cause(run.link.name, "%s", summary.text);
}

// A port that failed (or could not be opened): one line on standard error,
// and in JSON the run's object all the same, with "error", so that a report
// of many meters has a line for each.
void report_port_failure(ModeRun& run) {
    const FrameLink& link = run.link;
    Line line{};
    failure_words(link, line);
    tell_cause(link.name, "%s", line.text);
    if (run.request.format != Format::json) {
        return;
    }
    if (run.request.mode == Mode::watch) {
        std::printf("{\"time\":\"%s\",\"port\":", stamp_of(system_wall_time()).text);
        print_json_text(run.request.port);
        print_json_key("error");
        print_json_text(line.text);
        std::fputs("}\n", stdout);
    } else {
        print_json_readings(run, line.text);
    }
    output_written(run);
}

} // namespace

int run_mode(FrameLink& link, const ModeRequest& request, const char* root) {
    ModeRun run{request, link, {}, false, false, frame_good, {}, root};
    if (request.trace_file != nullptr &&
        !wire_trace_open(*link.trace, request.trace_file, request.port)) {
        std::fprintf(stderr, "tolvaner: %s: cannot open the trace file %s: %s\n", request.port,
                     request.trace_file, link.trace->why);
        return status_failure;
    }
    // From the open to the close the device's gap is owed between frames:
    // SIGINT and SIGTERM act only between frames, once it is paid.
    system_hold_signals();
    if (!open_named_port(link, request.port, root)) {
        run.stopped = frame_port_failed;
    } else {
        use_fast_exchange(link, true);
        switch (request.mode) {
        case Mode::read:
            read_all(run);
            break;
        case Mode::set:
            set_and_verify(run);
            break;
        case Mode::watch:
            watch(run);
            break;
        case Mode::none:
            break;
        }
        use_fast_exchange(link, false);
        link.signals_to_caller = false;
    }
    // Standard output carries results only, so that a script can take them;
    // a port failure is no success, whatever came before it.
    if (run.stopped == frame_port_failed) {
        report_port_failure(run);
    }
    link_close(link);
    // A trace with lines missing has said so on standard error already.
    const bool traced = wire_trace_close(*link.trace);
    if (run.stopped == frame_port_failed) {
        return status_failure;
    }
    // Results that could not be written (a full disk, a closed pipe) are lost,
    // and so is a record a script asked for.
    const bool written = output_written(run);
    // Whatever came, --watch has said its summary: the program ends as the
    // signal ends it, so that a calling script stops too. The signal stays
    // held until then.
    if (system_held_signal() != 0) {
        return status_signalled;
    }
    system_release_signals();
    if (!written || !traced) {
        return status_failure;
    }
    if (run.any_fault) {
        return status_no_good_reply;
    }
    return run.any_difference ? status_value_differs : status_good;
}
