#include "link/tell_cause.h"

#include <cstdarg>
#include <cstdio>

void tell_cause(const char* port, const char* format, ...) {
    std::fflush(stdout);
    std::fprintf(stderr, "tolvaner: %s: ", port);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}
