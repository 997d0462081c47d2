// Every call the program makes into the operating system, behind one small
// interface. platform_posix.cpp and platform_win32.cpp implement it; the unit
// tests link a scripted fake instead. Nothing above this header knows which.
#pragma once

#include <cstdint>
#include <cstdio>

enum class PortOpenResult {
    ok,
    not_found,        // no device of that name
    open_failed,      // exists, but could not be opened or is in use
    get_state_failed, // opened, but is no serial port
    set_state_failed, // line settings were refused
    timeouts_failed,  // the non-waiting read could not be set up
};

// Before any file or port is opened: a standard stream the program was
// started without (0, 1 or 2 closed) is opened on the null device in the
// direction that makes its use fail, so that no port or file can take its
// number and receive prompts as if they were requests, or be read as the
// operator's input.
void platform_guard_standard_streams();

// Opens the port by the name exactly as typed and sets every setting the line
// depends on: 57600 baud, 8 data bits, no parity, 1 stop bit, binary-clean, no
// hardware or software flow control, DTR and RTS asserted, reads that never
// wait.
PortOpenResult platform_open_port(const char* name);

void platform_close_port();

// Opens `path` to append a trace of the line to, creating a file where there
// is none, and only where a log belongs: a regular file, a pipe, the null
// device or the terminal standard error is on. Any other device (a serial
// port, another terminal) is refused before it is opened, for opening a
// serial port moves its modem lines and may wait for a carrier. nullptr when
// refused or failed, with platform_failure_text() saying why.
std::FILE* platform_open_trace(const char* path);

// Why the last failed call above failed, in the operator's words: the
// system's reason and, where the platform can name it, the cause and its fix
// ("" when nothing is known). It lives until the next failure.
const char* platform_failure_text();

// Sends one byte and returns once it has left the port (the driver's queue
// and the transmitter are empty), so that the device's gap after it can be
// counted from there. False when the port failed, or the byte had not left
// within 60 ms of the call (flow control, a stalled adapter).
bool platform_write_byte(std::uint8_t byte);

// Copies up to `capacity` bytes that have already arrived, without waiting.
// Returns the count (0 when nothing is waiting) or -1 when the port failed or
// went away.
int platform_read(std::uint8_t* buffer, int capacity);

// As platform_read, but when nothing has arrived yet waits for readiness (no
// spinning) up to `timeout_ms` for the first byte, then returns what has come.
// Returns 0 when the time passed with nothing.
int platform_read_within(std::uint8_t* buffer, int capacity, unsigned timeout_ms);

// Throws away whatever input is waiting in the port.
void platform_discard_input();

void platform_pause_ms(unsigned milliseconds);

// The signals that end the program from outside: SIGINT (Ctrl-C) and
// SIGTERM (kill, timeout, a service manager); on Windows Ctrl-C and
// Ctrl-Break. While held they do not act: each is kept until the program
// asks, so that a frame is never cut in half. Holds nest; the last release
// gives each its disposition back, and one still kept then acts as it would
// have. A signal the program inherited as ignored (nohup, a script's
// background job) stays ignored: it is never kept.
void platform_hold_signals();
void platform_release_signals();

// The signal kept while held and not yet acted on; 0 when none came.
int platform_held_signal();

// Ends the program as `signal` ends it by default, so that whoever started
// it sees that signal as the cause (a shell then stops a script too).
[[noreturn]] void platform_end_by_signal(int signal);

// Sleeps `milliseconds`, or until a held signal comes. True when one did
// (also when it had come before the call: the wait and the signal meet
// without a gap in between).
bool platform_sleep_or_interrupted(unsigned milliseconds);

// Whether standard output is a terminal (a person watching) rather than a
// file or a pipe.
bool platform_stdout_is_terminal();

// Microseconds on a clock that only ever moves forward; for the gaps between
// bytes in a trace.
std::uint64_t platform_monotonic_us();

// The wall-clock time in UTC, for stamping trace lines.
struct WallTime {
    int year, month, day, hour, minute, second, millisecond;
};
WallTime platform_wall_time();
