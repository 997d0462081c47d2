// The command line: which options, which mode, or the console.
#pragma once

// The program's main routine: reads the options and runs the console or a
// mode. Returns the exit status.
int run_tolvaner(int argc, char** argv);

// Where `tolvaner --list` looks for ports: "/" unless a test gives a tree of
// its own (see list_serial_ports).
void set_port_root(const char* root);
