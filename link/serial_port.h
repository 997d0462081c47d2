// The one serial port the program drives for its whole run.
#pragma once

#include <cstdio>

// Opens and configures the port. Returns only on success; on any failure the
// reason has been printed and the program has ended.
void open_port(const char* name);

void close_port();

// Where fail() prints its message: standard output (the console's
// transcript) unless the caller keeps that for results.
void port_messages_to(std::FILE* stream);

// Prints `message` on standard output (see port_messages_to) and ends the
// program with status 1.
[[noreturn]] void fail(const char* message);

// Prints one line for every serial port of this machine, the name to pass to
// the program first, then what identifies the port; or one line saying there
// is none. Opens no port. `root`: see platform_list_ports.
void list_ports(const char* root);
