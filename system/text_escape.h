// Bytes that come from outside the program (the device, a driver, another
// process's name, a lock file) made safe to print: printable ASCII stays as it
// is, every other byte becomes \xNN (upper-case hex), so nothing from the line
// or the system can drive the operator's terminal. The one escaper for
// standard output and standard error alike.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes the escaped form of the `count` bytes at `bytes` into `out`, which
// holds `capacity` bytes with the terminating NUL. Characters in `also` are
// escaped too (quotes and backslashes inside a quoted value). Never cuts an
// escape in half; stops early when `out` is full. Returns the length written.
int escape_bytes(char* out, int capacity, const void* bytes, int count, const char* also = "");

// As escape_bytes, written to `stream`.
void print_escaped(std::FILE* stream, const void* bytes, int count);

// As much of `from` as fits `to`, always ended: for names and reasons kept in
// fixed buffers.
template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
    std::size_t n = 0;
    for (; n + 1 < N && from[n] != '\0'; ++n) {
        to[n] = from[n];
    }
    to[n] = '\0';
}
