// The one serial port the program drives for its whole run.
#pragma once

#include <cstdint>
#include <cstdio>

struct SerialPort;

// The device needs this pause after every byte it receives, counted from the
// moment the byte has left the port.
constexpr unsigned byte_gap_ms = 50;

// Opens and configures the port, by its name or as usb:VID:PID[:SERIAL]
// (see port_selector.h). Returns only on success; on any failure the
// reason has been printed and the program has ended.
void open_port(const char* name);

// The port open_port opened, for the frames sent and read on it.
SerialPort& current_port();

// Closes the port once the device has had its gap after the last byte sent
// (see owe_byte_gap). Every way the program ends goes through here: the end
// of a session or a mode, a failure (fail), a signal (end_if_signalled).
void close_port();

// For the option-led modes, which keep standard output for results: a port
// failure is handed to `report` instead of being printed, with the fixed
// message (its line end included), the port's reason and the cause the
// program can name (either may be ""), just before the program ends.
// nullptr: the console's way, the message on standard output.
using PortFailureReport = void (*)(const char* message, const char* why, const char* cause);
void port_failures_to(PortFailureReport report);

// A byte has just left the port: the device's gap after it is owed from now
// on. pay_byte_gap waits out what is left of it (nothing when none is owed),
// and so does close_port.
void owe_byte_gap();
void pay_byte_gap();

// Between frames: a SIGINT or SIGTERM the system held (see
// system_hold_signals) ends the program now, as it would have ended it,
// once the port is closed with its gap paid. Unless signals are left to the
// caller (`--watch`, which ends with its summary): then nothing happens here.
void end_if_signalled();
void leave_signals_to_caller(bool on);

// Prints `message` on standard output (unless port_failures_to takes it) and
// ends the program with status 1. Why it failed, where the port knows,
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
