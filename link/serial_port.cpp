#include "link/serial_port.h"

#include "port/serial_port.h"
#include "ports/port_selector.h"
#include "system/system.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* port_name = "";
const char* list_root = "/";
char resolved_name[300];
PortFailureReport failure_report = nullptr;
// The one port the program drives.
SerialPort port;

// Whether standard output has failed and that was said.
struct OutputCheck {
    bool lost;
};
OutputCheck output_check;

// The device's gap after the last byte sent, while it is owed, and who acts
// on a held signal.
struct LineState {
    bool gap_owed;
    std::uint64_t last_byte_us;
    bool signals_to_caller;
};
LineState line;

} // namespace

SerialPort& current_port() { return port; }

void port_failures_to(PortFailureReport report) { failure_report = report; }

void owe_byte_gap() {
    line.gap_owed = true;
    line.last_byte_us = system_monotonic_us();
}

void pay_byte_gap() {
    if (!line.gap_owed) {
        return;
    }
    line.gap_owed = false;
    const std::uint64_t since = system_monotonic_us() - line.last_byte_us;
    if (since < byte_gap_ms * 1000u) {
        system_pause_ms(static_cast<unsigned>((byte_gap_ms * 1000u - since + 999u) / 1000u));
    }
}

void leave_signals_to_caller(bool on) { line.signals_to_caller = on; }

void end_if_signalled() {
    if (line.signals_to_caller) {
        return;
    }
    if (const int signal_number = system_held_signal()) {
        close_port();
        system_end_by_signal(signal_number);
    }
}

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
    const char* why = port.failure;
    if (failure_report != nullptr) {
        failure_report(message, why, cause);
    } else {
        std::fputs(message, stdout);
        if (why[0] != '\0' && cause[0] != '\0') {
            tell_cause("%s: %s", why, cause);
        } else if (why[0] != '\0' || cause[0] != '\0') {
            tell_cause("%s", why[0] != '\0' ? why : cause);
        }
    }
    // Let go of the port here rather than in the exit: the port can cut
    // short a close that would wait on a stalled line, and the device gets
    // its gap after the last byte before the next program can send.
    close_port();
    // A port failure is no success, whatever the operator's session did
    // before it: scripts must be able to tell.
    std::exit(1);
}

void fail(const char* message) { fail_because(message, ""); }

bool output_written() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    const int error = errno;
    if (!output_check.lost) {
        output_check.lost = true;
        tell_cause("standard output cannot be written (%s)",
                   error != 0 ? std::strerror(error) : "no reason given");
    }
    return false;
}

void open_port(const char* name) {
    port_name = name;
    output_check.lost = false;
    if (is_usb_selector(name)) {
        switch (
            resolve_usb_selector(list_root, name, resolved_name, sizeof resolved_name, nullptr)) {
        case SelectorResult::found:
            break;
        case SelectorResult::malformed:
            fail_because("serial port does not exist\n",
                         "not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, "
                         "VID and PID in hex");
        case SelectorResult::none:
            fail_because(
                "serial port does not exist\n",
                "no serial port has this USB identity (tolvaner --list shows each port's)");
        case SelectorResult::several:
            std::fflush(stdout);
            resolve_usb_selector(list_root, name, resolved_name, sizeof resolved_name, stderr);
            fail_because("", "these ports all have this USB identity: add the serial number "
                             "(usb:VID:PID:SERIAL) or give the port's name");
        }
        name = resolved_name;
        port_name = name;
    }
    switch (port_open(port, name)) {
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
    port_close(port);
}

void usb_selector_set_root(const char* root) { list_root = root; }
