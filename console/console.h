// Program entry, the command loop and its handlers.
#pragma once

#include <cstdio>

// The program's main routine: checks the arguments, opens the port, runs the
// command loop until the exit command or the end of input. Returns the exit
// status.
int run_console(int argc, char** argv);

// Where operator input comes from; standard input unless a test or a fuzzer
// says otherwise.
void console_set_input(std::FILE* input);

// Where `tolvaner --list` looks for ports: "/" unless a test gives a tree of
// its own (see platform_list_ports).
void console_set_port_root(const char* root);
