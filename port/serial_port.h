// The port seam: one open serial port. port_posix.cpp and port_win32.cpp
// implement it; the unit tests link a scripted fake instead. A port knows
// nothing of discovery: it is opened by a name (a usb: selector is resolved
// into one above it, ports/port_selector.h).
#pragma once

#include <cstdint>

enum class PortOpenResult {
    ok,
    not_found,        // no device of that name
    open_failed,      // exists, but could not be opened or is in use
    get_state_failed, // opened, but is no serial port
    set_state_failed, // line settings were refused
    timeouts_failed,  // the non-waiting read could not be set up
};

struct SerialPort {
    // The system's handle: a descriptor on POSIX, a HANDLE on Windows; -1
    // when closed.
    std::intptr_t handle = -1;
    // Why the last failed call on this port failed, in the operator's words:
    // the system's reason and, where the platform can name it, the cause and
    // its fix ("" when nothing is known).
    char failure[512] = "";
    // POSIX: TIOCEXCL is set on the device (where no advisory lock could be
    // taken); it outlives the close while anyone else has the device open.
    bool holds_exclusive = false;
    // POSIX: a byte the driver would not take: the line is stalled, and a
    // plain close would wait out the driver's closing wait for output that
    // will never leave.
    bool output_stalled = false;
};

// Opens the port by the name exactly as typed and sets every setting the line
// depends on: 57600 baud, 8 data bits, no parity, 1 stop bit, binary-clean, no
// hardware or software flow control, DTR and RTS asserted, reads that never
// wait. A real port another program holds is refused before it is opened.
PortOpenResult port_open(SerialPort& port, const char* name);

// Closes the port; a close that would wait on a stalled line is cut short.
void port_close(SerialPort& port);

// Sends one byte and returns once it has left the port (the driver's queue
// and the transmitter are empty). False when the port failed, or the byte had
// not left within 60 ms of the call.
bool port_write_byte(SerialPort& port, std::uint8_t byte);

// Copies up to `capacity` bytes that have already arrived, without waiting.
// Returns the count (0 when nothing is waiting) or -1 when the port failed or
// went away.
int port_read(SerialPort& port, std::uint8_t* buffer, int capacity);

// As port_read, but when nothing has arrived yet waits for readiness (no
// spinning) up to `timeout_ms` for the first byte, then returns what has come.
// Returns 0 when the time passed with nothing.
int port_read_within(SerialPort& port, std::uint8_t* buffer, int capacity, unsigned timeout_ms);

// Throws away whatever input is waiting in the port.
void port_discard_input(SerialPort& port);
