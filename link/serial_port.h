// The one serial port the program drives for its whole run.
#pragma once

#include <cstdio>

// Opens and configures the port, by its name or as usb:VID:PID[:SERIAL]
// (see port_selector.h). Returns only on success; on any failure the
// reason has been printed and the program has ended.
void open_port(const char* name);

void close_port();

// For the option-led modes, which keep standard output for results: a port
// failure is handed to `report` instead of being printed, with the fixed
// message (its line end included), the platform's reason and the cause the
// program can name (either may be ""), just before the program ends.
// nullptr: the console's way, the message on standard output.
using PortFailureReport = void (*)(const char* message, const char* why, const char* cause);
void port_failures_to(PortFailureReport report);

// Prints `message` on standard output (unless port_failures_to takes it) and
// ends the program with status 1. Why it failed, where the platform knows,
// follows on standard error.
[[noreturn]] void fail(const char* message);
// As fail, with `cause` (what the program itself can name, or "") after the
// platform's reason on standard error.
[[noreturn]] void fail_because(const char* message, const char* cause);

// Prints one line on standard error, "tolvaner: PORT: " and the formatted
// text, after whatever standard output holds so far, so that the cause reads
// after the fixed message it explains.
[[gnu::format(printf, 1, 2)]] void tell_cause(const char* format, ...);

// Flushes standard output. False when what was printed could not be written
// (a full disk, > /dev/full): the first time, one line on standard error
// (see tell_cause) gives the system's reason. The run then ends at once, as
// its results are lost.
bool output_written();

// Where a usb: selector is looked up: "/" unless a test gives a tree of its
// own (see list_serial_ports).
void usb_selector_set_root(const char* root);
