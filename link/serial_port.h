// The one serial port the program drives for its whole run.
#pragma once

// Opens and configures the port, by its name or as usb:VID:PID[:SERIAL]
// (see port_selector.h). Returns only on success; on any failure the
// reason has been printed and the program has ended.
void open_port(const char* name);

void close_port();

// Prints `message` on standard output and ends the program with status 1.
[[noreturn]] void fail(const char* message);
// As fail, with `why` (when not "") on standard error after it, where fail
// gives the platform's reason.
[[noreturn]] void fail_because(const char* message, const char* why);

// Prints one line for every serial port of this machine, the name to pass to
// the program first, then what identifies the port; or one line saying there
// is none. Opens no port. `root`: see platform_list_ports.
void list_ports(const char* root);
