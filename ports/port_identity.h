// A listed port as one line for people: the name to pass to the program,
// then key=value words that a person can read and a script can grep
// (driver=ftdi_sio usb=0403:6001 serial="A10K1234" ...). The only place a
// port record becomes text.
#pragma once

#include "ports/port_record.h"

// The words of `port`, without its name, in `out` of `capacity` bytes; ""
// when nothing identifies it. Free text from a device or driver is quoted,
// with quotes, backslashes and unprintable bytes as \xNN.
void port_identity_text(const PortRecord& port, char* out, int capacity);

// Prints one line for every serial port of this machine, or one line saying
// there is none, on standard output. `root`: see list_serial_ports.
void list_ports(const char* root);
