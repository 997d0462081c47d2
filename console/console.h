// The interactive console: the command loop and its handlers.
#pragma once

#include <cstdio>

// Opens `port` and runs the command loop until the exit command or the end of
// input; with `trace_file` (else nullptr) every frame is logged there.
// Returns the exit status.
int run_console(const char* port, const char* trace_file);

// Where operator input comes from; standard input unless a test or a fuzzer
// says otherwise.
void console_set_input(std::FILE* input);
