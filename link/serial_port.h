// The one serial port the program drives for its whole run.
#pragma once

#include <cstdint>
#include <cstdio>

// The device needs this pause after every byte it receives, counted from the
// moment the byte has left the port.
constexpr unsigned byte_gap_ms = 50;

// Opens and configures the port, by its name or as usb:VID:PID[:SERIAL]
// (see port_selector.h). Returns only on success; on any failure the
// reason has been printed and the program has ended.
void open_port(const char* name);

// Closes the port once the device has had its gap after the last byte sent
// (see owe_byte_gap). Every way the program ends goes through here: the end
// of a session or a mode, a failure (fail), a signal (end_if_signalled).
void close_port();

// A byte has just left the port: the device's gap after it is owed from now
// on. pay_byte_gap waits out what is left of it (nothing when none is owed),
// and so does close_port.
void owe_byte_gap();
void pay_byte_gap();

// Between frames: a SIGINT or SIGTERM the platform held (see
// platform_hold_signals) ends the program now, as it would have ended it,
// once the port is closed with its gap paid. Unless signals are left to the
// caller (`--watch`, which ends with its summary): then nothing happens here.
void end_if_signalled();
void leave_signals_to_caller(bool on);

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

// Prints one line for every serial port of this machine, the name to pass to
// the program first, then what identifies the port; or one line saying there
// is none. Opens no port. `root`: see platform_list_ports.
void list_ports(const char* root);
