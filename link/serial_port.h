// The one serial port the program drives for its whole run.
#pragma once

#include <cstdio>

// Opens and configures the port, by its name or as usb:VID:PID[:SERIAL]
// (see port_selector.h). Returns only on success; on any failure the
// reason has been printed and the program has ended.
void open_port(const char* name);

void close_port();

// Where fail() prints its message: standard output (the console's
// transcript) unless the caller keeps that for results.
void port_messages_to(std::FILE* stream);

// Prints `message` on standard output (see port_messages_to) and ends the
// program with status 1. Why it failed, where the platform knows, follows on
// standard error.
[[noreturn]] void fail(const char* message);
// As fail, with `cause` (what the program itself can name, or "") after the
// platform's reason on standard error.
[[noreturn]] void fail_because(const char* message, const char* cause);

// Prints one line on standard error, "tolvaner: PORT: " and the formatted
// text, after whatever standard output holds so far, so that the cause reads
// after the fixed message it explains.
[[gnu::format(printf, 1, 2)]] void tell_cause(const char* format, ...);

// Where a usb: selector is looked up: "/" unless a test gives a tree of its
// own (see list_serial_ports).
void usb_selector_set_root(const char* root);
