#include "link/serial_port.h"

#include "link/platform.h"
#include "link/port_selector.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

const char* port_name = "";
std::FILE* message_stream = stdout;

// The device's gap after the last byte sent, while it is owed, and who acts
// on a held signal.
struct LineState {
    bool gap_owed;
    std::uint64_t last_byte_us;
    bool signals_to_caller;
};
LineState line;

} // namespace

void owe_byte_gap() {
    line.gap_owed = true;
    line.last_byte_us = platform_monotonic_us();
}

void pay_byte_gap() {
    if (!line.gap_owed) {
        return;
    }
    line.gap_owed = false;
    const std::uint64_t since = platform_monotonic_us() - line.last_byte_us;
    if (since < byte_gap_ms * 1000u) {
        platform_pause_ms(static_cast<unsigned>((byte_gap_ms * 1000u - since + 999u) / 1000u));
    }
}

void leave_signals_to_caller(bool on) { line.signals_to_caller = on; }

void end_if_signalled() {
    if (line.signals_to_caller) {
        return;
    }
    if (const int signal_number = platform_held_signal()) {
        close_port();
        platform_end_by_signal(signal_number);
    }
}

void port_messages_to(std::FILE* stream) { message_stream = stream; }

void tell_cause(const char* format, ...) {
    std::fflush(stdout);
    std::fprintf(stderr, "tolvaner: %s: ", port_name);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

// The fixed message on standard output tells what failed; why, and what to
// do about it, goes to standard error so that the transcript stays as it is.
// `cause`, when given, is what the program itself can name.
void fail_because(const char* message, const char* cause) {
    std::fputs(message, message_stream);
    const char* why = platform_failure_text();
    if (why[0] != '\0' && cause[0] != '\0') {
        tell_cause("%s: %s", why, cause);
    } else if (why[0] != '\0' || cause[0] != '\0') {
        tell_cause("%s", why[0] != '\0' ? why : cause);
    }
    // Let go of the port here rather than in the exit: the platform can cut
    // short a close that would wait on a stalled line, and the device gets
    // its gap after the last byte before the next program can send.
    close_port();
    // A port failure is no success, whatever the operator's session did
    // before it: scripts must be able to tell.
    std::exit(1);
}

void fail(const char* message) { fail_because(message, ""); }

void open_port(const char* name) {
    port_name = name;
    if (is_usb_selector(name)) {
        name = usb_selector_port(name);
        port_name = name;
    }
    switch (platform_open_port(name)) {
    case PortOpenResult::ok:
        return;
    case PortOpenResult::not_found:
        fail_because("serial port does not exist\n",
                     "no such port (tolvaner --list shows the ports)");
    case PortOpenResult::open_failed:
        fail("error occurred while opening comm port\n");
    case PortOpenResult::get_state_failed:
        fail_because("error getting comm state\n", "not a serial port");
    case PortOpenResult::set_state_failed:
        fail_because("error setting serial port state\n",
                     "the driver refused 57600 baud 8N1 or the modem lines");
    case PortOpenResult::timeouts_failed:
        fail("error occureed setting timeout values\n");
    }
    fail("error occurred while opening comm port\n");
}

void close_port() {
    pay_byte_gap();
    platform_close_port();
}

namespace {

int ports_listed;

void print_port(const char* name, const char* identity) {
    ++ports_listed;
    if (identity[0] == '\0') {
        std::printf("%s\n", name);
    } else {
        std::printf("%s  %s\n", name, identity);
    }
}

} // namespace

void list_ports(const char* root) {
    ports_listed = 0;
    platform_list_ports(root, print_port);
    if (ports_listed == 0) {
        std::fputs("no serial ports found\n", stdout);
    }
}
