#include "console/console.h"

#include "link/frame_link.h"
#include "link/port_report.h"
#include "link/wire_trace.h"
#include "protocol/device_items.h"
#include "protocol/device_messages.h"

#include <cstdint>

namespace {

// Only the first character of a command or a readback item matters, so a
// token is kept up to this many characters; the rest of a longer one is read
// and dropped. Whether the token is a number is judged on every character.
constexpr int token_capacity = 32;

// Far beyond any accepted value, and far below where a 32-bit integer wraps:
// no entry of any length can come back into range.
constexpr std::int32_t saturated = 1000000000;

// The token as a decimal integer, taken as its characters arrive: an optional
// sign, then digits only.
struct NumberScan {
    bool is_number;
    bool negative;
    bool any_digit;
    std::int32_t magnitude; // saturates at `saturated`
};

// One session: the link it drives and the operator's input as it is read.
struct Console {
    FrameLink& link;
    std::FILE* input;
    bool running;
    char token[token_capacity + 1];
    int token_length;
    NumberScan number_scan;
    OutputCheck output;
};

void scan_number(NumberScan& n, int c, int position) {
    if (!n.is_number) {
        return;
    }
    if (position == 0 && (c == '+' || c == '-')) {
        n.negative = c == '-';
    } else if (c >= '0' && c <= '9') {
        n.any_digit = true;
        n.magnitude = n.magnitude >= saturated / 10 ? saturated : n.magnitude * 10 + (c - '0');
    } else {
        n.is_number = false;
    }
}

bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the next whitespace-separated token. At the end of input it returns
// false and the program ends as the exit command ends it.
bool read_token(Console& console) {
    // Whatever was printed (a prompt above all) must be visible before we
    // wait. A transcript that cannot be written ends the session at once:
    // nobody sees the answers.
    if (!output_written(console.output, console.link.name)) {
        console.running = false;
        return false;
    }
    int c;
    do {
        c = std::fgetc(console.input);
    } while (c != EOF && is_blank(c));
    if (c == EOF) {
        if (console.running) {
            // Leave the terminal on a fresh line.
            std::fputs("\n", stdout);
        }
        console.running = false;
        return false;
    }
    console.token_length = 0;
    console.number_scan = NumberScan{true, false, false, 0};
    for (int position = 0; c != EOF && !is_blank(c); ++position) {
        if (console.token_length < token_capacity) {
            console.token[console.token_length++] = static_cast<char>(c);
        }
        scan_number(console.number_scan, c, position);
        c = std::fgetc(console.input);
    }
    console.token[console.token_length] = '\0';
    return true;
}

enum class Entry { number, refused, end_of_input };

// Reads one token at a value prompt. It must be a plain decimal integer: an
// optional sign and digits, nothing else. Anything else is refused and
// consumed, so that it can never run as the next command.
Entry read_number(Console& console, std::int32_t& value) {
    if (!read_token(console)) {
        return Entry::end_of_input;
    }
    const NumberScan& n = console.number_scan;
    if (!n.is_number || !n.any_digit) {
        return Entry::refused;
    }
    value = n.negative ? -n.magnitude : n.magnitude;
    return Entry::number;
}

// Prompts for a value and accepts it only when it lies in [low, high] as typed.
bool ask_value(Console& console, const char* prompt, std::int32_t low, std::int32_t high,
               std::int32_t& value) {
    std::fputs(prompt, stdout);
    Entry entry = read_number(console, value);
    if (entry == Entry::end_of_input) {
        return false;
    }
    if (entry == Entry::refused || value < low || value > high) {
        std::fputs("invalid entry\n", stdout);
        return false;
    }
    return true;
}

void show_help() {
    std::fputs("\n"
               " A = set Average interval\n"
               " C = read Code rev level\n"
               " D = set Defaults\n"
               " I = get product ID\n"
               " M = set output Mode\n"
               " R = get Readbacks\n"
               " S = set full Scale\n"
               " T = Test mode\n"
               " V = set pulse Value\n"
               " X = eXit program\n\n",
               stdout);
}

void buffer_dump(Console& console) {
    std::fputs("Enter buffer selection (0=Tx, 1=Rx): ", stdout);
    std::int32_t selector = 0;
    Entry entry = read_number(console, selector);
    if (entry == Entry::end_of_input) {
        return;
    }
    if (entry == Entry::refused) {
        std::fputs("invalid entry\n", stdout);
        return;
    }
    dump_buffer(console.link, selector == 0 ? 0 : 1);
}

// The settings the console asks a value for, by their prompts.
FrameResult setting(Console& console, const char* prompt, char letter) {
    const DeviceItem& item = *item_by_key(&letter, 1);
    std::int32_t value;
    if (!ask_value(console, prompt, item.low, item.high, value)) {
        return frame_good;
    }
    return set_item(console.link, item, value);
}

FrameResult product_id(FrameLink& link) {
    const FrameResult result = query(link, Opcode::product_id, ReadbackItem::none);
    if (result != frame_good) {
        return result;
    }
    std::fputs("Product ID = ", stdout);
    print_device_bytes(reply_text(link), reply_text_length(link));
    std::putchar('\n');
    return result;
}

FrameResult code_revision(FrameLink& link) {
    const FrameResult result = query(link, Opcode::code_revision, ReadbackItem::none);
    if (result == frame_good) {
        std::printf("Code revision level = %d\n", reply_s8(link));
    }
    return result;
}

FrameResult readbacks(Console& console) {
    std::fputs("Enter V, S, M, D, K, or A: ", stdout);
    if (!read_token(console)) {
        return frame_good;
    }
    const DeviceItem* row = readback_by_letter(console.token[0]);
    if (row == nullptr) {
        std::fputs("invalid entry\n", stdout);
        return frame_good;
    }
    FrameLink& link = console.link;
    const ReadbackItem item = row->readback;
    const FrameResult result = query(link, Opcode::readback, item);
    if (result == frame_fault) {
        std::printf("number of bytes read = %d\n", static_cast<int>(link.bytes_read));
    }
    if (result != frame_good) {
        return result;
    }
    switch (item) {
    case ReadbackItem::pulse_value:
        std::printf("Pulse Value = %d watt-hours\n", reply_u16(link));
        break;
    case ReadbackItem::full_scale:
        std::printf("Full Scale value = %d kilowatts\n", reply_u16(link));
        break;
    case ReadbackItem::output_mode: {
        const char mode = static_cast<char>(reply_u8(link));
        std::fputs("Output Mode = ", stdout);
        print_device_bytes(&mode, 1);
        std::putchar('\n');
        break;
    }
    case ReadbackItem::dac_value:
        std::printf("most recent DAC value = %u\n", static_cast<unsigned>(reply_u8(link)));
        break;
    case ReadbackItem::kwh_value:
        std::printf("most recent KWH value = %d\n", reply_u16(link));
        break;
    case ReadbackItem::average_interval:
        std::printf("Average Interval = %d minutes\n", reply_s8(link));
        break;
    case ReadbackItem::none:
        break;
    }
    return result;
}

FrameResult dispatch(Console& console, char command) {
    FrameLink& link = console.link;
    // Tested in this order, '?' first; the dump has no upper-case form.
    if (command == '?') {
        show_help();
    } else if (command == 'b') {
        buffer_dump(console);
    } else if (command == 'V' || command == 'v') {
        return setting(console, "Enter Pulse Value (1-65535): ", 'V');
    } else if (command == 'S' || command == 's') {
        return setting(console, "Enter Full Scale range (1-8): ", 'S');
    } else if (command == 'M' || command == 'm') {
        return setting(console, "Enter output mode (1=Instant, 2=Average): ", 'M');
    } else if (command == 'A' || command == 'a') {
        return setting(console, "Enter average interval (1-7): ", 'A');
    } else if (command == 'D' || command == 'd') {
        return set_defaults(link);
    } else if (command == 'T' || command == 't') {
        return enter_test_mode(link);
    } else if (command == 'I' || command == 'i') {
        return product_id(link);
    } else if (command == 'C' || command == 'c') {
        return code_revision(link);
    } else if (command == 'R' || command == 'r') {
        return readbacks(console);
    } else if (command == 'X' || command == 'x') {
        console.running = false;
    }
    return frame_good;
}

// The fixed message on standard output tells what failed; why, and what to
// do about it, goes to standard error so that the transcript stays as it is.
// A port failure is no success, whatever the operator's session did before
// it: scripts must be able to tell.
int port_failure(FrameLink& link) {
    const char* why = link_failure_text(link);
    const char* cause = link.fault_cause;
    std::fputs(link.fault_message, stdout);
    if (why[0] != '\0' && cause[0] != '\0') {
        tell_cause(link.name, "%s: %s", why, cause);
    } else if (why[0] != '\0' || cause[0] != '\0') {
        tell_cause(link.name, "%s", why[0] != '\0' ? why : cause);
    }
    link_close(link);
    wire_trace_close(*link.trace);
    return 1;
}

} // namespace

int run_console(FrameLink& link, const char* port, const char* trace_file, std::FILE* input,
                const char* root) {
    // Before the port is opened: a session that cannot be traced is not run.
    if (trace_file != nullptr && !wire_trace_open(*link.trace, trace_file, port)) {
        std::printf("cannot open the trace file %s\n", trace_file);
        std::fflush(stdout);
        std::fprintf(stderr, "tolvaner: %s: %s\n", trace_file, link.trace->why);
        return 1;
    }
    if (!open_named_port(link, port, root)) {
        return port_failure(link);
    }
    Console console{link, input, false, {}, 0, {}, {}};
    // Take in whatever the device had already sent.
    FrameResult result = receive_frame(link);

    console.running = true;
    while (console.running && result != frame_port_failed && result != frame_signalled) {
        std::fputs("Enter user command: ", stdout);
        if (!read_token(console)) {
            break;
        }
        result = dispatch(console, console.token[0]);
    }
    if (result == frame_port_failed) {
        return port_failure(link);
    }
    link_close(link);
    if (result == frame_signalled) {
        return status_signalled;
    }
    // A trace with lines missing, like output that could not be written (a
    // full disk, a closed pipe), is a lost record: a script must be able to
    // tell.
    const bool traced = wire_trace_close(*link.trace);
    if (!output_written(console.output, link.name) || !traced) {
        return 1;
    }
    return 0;
}
