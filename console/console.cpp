#include "console/console.h"

#include "link/frame_link.h"
#include "link/serial_port.h"
#include "link/wire_trace.h"
#include "protocol/device_items.h"
#include "protocol/device_messages.h"
#include "system/system.h"

#include <cstdint>

namespace {

std::FILE* operator_input = stdin;
bool running;

// Only the first character of a command or a readback item matters, so a
// token is kept up to this many characters; the rest of a longer one is read
// and dropped. Whether the token is a number is judged on every character.
constexpr int token_capacity = 32;
char token[token_capacity + 1];
int token_length;

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
NumberScan number_scan;

void scan_number(int c, int position) {
    NumberScan& n = number_scan;
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
bool read_token() {
    // Whatever was printed (a prompt above all) must be visible before we
    // wait. A transcript that cannot be written ends the session at once:
    // nobody sees the answers.
    if (!output_written()) {
        running = false;
        return false;
    }
    int c;
    do {
        c = std::fgetc(operator_input);
    } while (c != EOF && is_blank(c));
    if (c == EOF) {
        if (running) {
            // Leave the terminal on a fresh line.
            std::fputs("\n", stdout);
        }
        running = false;
        return false;
    }
    token_length = 0;
    number_scan = NumberScan{true, false, false, 0};
    for (int position = 0; c != EOF && !is_blank(c); ++position) {
        if (token_length < token_capacity) {
            token[token_length++] = static_cast<char>(c);
        }
        scan_number(c, position);
        c = std::fgetc(operator_input);
    }
    token[token_length] = '\0';
    return true;
}

enum class Entry { number, refused, end_of_input };

// Reads one token at a value prompt. It must be a plain decimal integer: an
// optional sign and digits, nothing else. Anything else is refused and
// consumed, so that it can never run as the next command.
Entry read_number(std::int32_t& value) {
    if (!read_token()) {
        return Entry::end_of_input;
    }
    if (!number_scan.is_number || !number_scan.any_digit) {
        return Entry::refused;
    }
    value = number_scan.negative ? -number_scan.magnitude : number_scan.magnitude;
    return Entry::number;
}

// Prompts for a value and accepts it only when it lies in [low, high] as typed.
bool ask_value(const char* prompt, std::int32_t low, std::int32_t high, std::int32_t& value) {
    std::fputs(prompt, stdout);
    Entry entry = read_number(value);
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

void buffer_dump() {
    std::fputs("Enter buffer selection (0=Tx, 1=Rx): ", stdout);
    std::int32_t selector = 0;
    Entry entry = read_number(selector);
    if (entry == Entry::end_of_input) {
        return;
    }
    if (entry == Entry::refused) {
        std::fputs("invalid entry\n", stdout);
        return;
    }
    dump_buffer(selector == 0 ? 0 : 1);
}

void pulse_value() {
    std::int32_t value;
    if (ask_value("Enter Pulse Value (1-65535): ", 1, 65535, value)) {
        set_pulse_value(static_cast<std::uint16_t>(value));
    }
}

void full_scale() {
    std::int32_t value;
    if (ask_value("Enter Full Scale range (1-8): ", 1, 8, value)) {
        set_full_scale(static_cast<std::uint8_t>(value));
    }
}

void output_mode() {
    std::int32_t value;
    if (ask_value("Enter output mode (1=Instant, 2=Average): ", 1, 2, value)) {
        set_output_mode(static_cast<std::uint8_t>(value));
    }
}

void average_interval() {
    std::int32_t value;
    if (ask_value("Enter average interval (1-7): ", 1, 7, value)) {
        set_average_interval(static_cast<std::uint8_t>(value));
    }
}

void product_id() {
    if (query(Opcode::product_id, ReadbackItem::none) != frame_good) {
        return;
    }
    std::fputs("Product ID = ", stdout);
    print_device_bytes(reply_text(), reply_text_length());
    std::putchar('\n');
}

void code_revision() {
    if (query(Opcode::code_revision, ReadbackItem::none) != frame_good) {
        return;
    }
    std::printf("Code revision level = %d\n", reply_s8());
}

void readbacks() {
    std::fputs("Enter V, S, M, D, K, or A: ", stdout);
    if (!read_token()) {
        return;
    }
    const DeviceItem* row = readback_by_letter(token[0]);
    if (row == nullptr) {
        std::fputs("invalid entry\n", stdout);
        return;
    }
    const ReadbackItem item = row->readback;
    if (query(Opcode::readback, item) != frame_good) {
        std::printf("number of bytes read = %d\n", static_cast<int>(bytes_read));
        return;
    }
    switch (item) {
    case ReadbackItem::pulse_value:
        std::printf("Pulse Value = %d watt-hours\n", reply_u16());
        break;
    case ReadbackItem::full_scale:
        std::printf("Full Scale value = %d kilowatts\n", reply_u16());
        break;
    case ReadbackItem::output_mode: {
        const char mode = static_cast<char>(reply_u8());
        std::fputs("Output Mode = ", stdout);
        print_device_bytes(&mode, 1);
        std::putchar('\n');
        break;
    }
    case ReadbackItem::dac_value:
        std::printf("most recent DAC value = %u\n", static_cast<unsigned>(reply_u8()));
        break;
    case ReadbackItem::kwh_value:
        std::printf("most recent KWH value = %d\n", reply_u16());
        break;
    case ReadbackItem::average_interval:
        std::printf("Average Interval = %d minutes\n", reply_s8());
        break;
    case ReadbackItem::none:
        break;
    }
}

void dispatch(char command) {
    // Tested in this order, '?' first; the dump has no upper-case form.
    if (command == '?') {
        show_help();
    } else if (command == 'b') {
        buffer_dump();
    } else if (command == 'V' || command == 'v') {
        pulse_value();
    } else if (command == 'S' || command == 's') {
        full_scale();
    } else if (command == 'M' || command == 'm') {
        output_mode();
    } else if (command == 'A' || command == 'a') {
        average_interval();
    } else if (command == 'D' || command == 'd') {
        set_defaults();
    } else if (command == 'T' || command == 't') {
        enter_test_mode();
    } else if (command == 'I' || command == 'i') {
        product_id();
    } else if (command == 'C' || command == 'c') {
        code_revision();
    } else if (command == 'R' || command == 'r') {
        readbacks();
    } else if (command == 'X' || command == 'x') {
        running = false;
    }
}

} // namespace

void console_set_input(std::FILE* input) { operator_input = input; }

int run_console(const char* port, const char* trace_file) {
    // Before the port is opened: a session that cannot be traced is not run.
    char why[256];
    if (trace_file != nullptr && !wire_trace_open(trace_file, port, why, sizeof why)) {
        std::printf("cannot open the trace file %s\n", trace_file);
        std::fflush(stdout);
        std::fprintf(stderr, "tolvaner: %s: %s\n", trace_file, why);
        return 1;
    }
    open_port(port);
    // Take in whatever the device had already sent.
    receive_frame();

    running = true;
    while (running) {
        std::fputs("Enter user command: ", stdout);
        if (!read_token()) {
            break;
        }
        dispatch(token[0]);
    }
    close_port();
    // A trace with lines missing, like output that could not be written (a
    // full disk, a closed pipe), is a lost record: a script must be able to
    // tell.
    const bool traced = wire_trace_close();
    if (!output_written() || !traced) {
        return 1;
    }
    return 0;
}
