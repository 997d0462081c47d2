// The system seam: every call the program makes into the operating system
// that is not about a serial port (port/serial_port.h) or finding ports
// (ports/port_record.h): standard streams, the trace file, clocks and pauses,
// signals, the terminal. system_posix.cpp and system_win32.cpp implement it;
// the unit tests link a scripted fake instead.
#pragma once

#include <cstdint>
#include <cstdio>

// Before any file or port is opened: a standard stream the program was
// started without (0, 1 or 2 closed) is opened on the null device in the
// direction that makes its use fail, so that no port or file can take its
// number and receive prompts as if they were requests, or be read as the
// operator's input.
void system_guard_standard_streams();

// Opens `path` to append a trace of the line to, creating a file where there
// is none, and only where a log belongs: a regular file, a pipe, the null
// device or the terminal standard error is on. Any other device (a serial
// port, another terminal) is refused before it is opened, for opening a
// serial port moves its modem lines and may wait for a carrier. nullptr when
// refused or failed, with why in `why` (`why_capacity` bytes).
std::FILE* system_open_trace(const char* path, char* why, int why_capacity);

void system_pause_ms(unsigned milliseconds);

// The signals that end the program from outside: SIGINT (Ctrl-C) and
// SIGTERM (kill, timeout, a service manager); on Windows Ctrl-C and
// Ctrl-Break. While held they do not act: each is kept until the program
// asks, so that a frame is never cut in half. Holds nest; the last release
// gives each its disposition back, and one still kept then acts as it would
// have. A signal the program inherited as ignored stays ignored.
void system_hold_signals();
void system_release_signals();

// The signal kept while held and not yet acted on; 0 when none came.
int system_held_signal();

// Ends the program as `signal` ends it by default, so that whoever started
// it sees that signal as the cause. Only the program's entry calls it.
[[noreturn]] void system_end_by_signal(int signal);

// Sleeps `milliseconds`, or until a held signal comes. True when one did
// (also when it had come before the call).
bool system_sleep_or_interrupted(unsigned milliseconds);

// Whether standard output is a terminal (a person watching) rather than a
// file or a pipe.
bool system_stdout_is_terminal();

// Microseconds on a clock that only ever moves forward.
std::uint64_t system_monotonic_us();

// The wall-clock time in UTC, for stamping trace lines and samples.
struct WallTime {
    int year, month, day, hour, minute, second, millisecond;
};
WallTime system_wall_time();
