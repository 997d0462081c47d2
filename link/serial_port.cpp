#include "link/serial_port.h"

#include "link/platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* port_name = "";
std::FILE* message_stream = stdout;

} // namespace

void port_messages_to(std::FILE* stream) { message_stream = stream; }

void fail(const char* message) {
    std::fputs(message, message_stream);
    // The message above is fixed and tells what failed; why, and what to do
    // about it, goes to standard error so that the transcript stays as it is.
    const char* why = platform_failure_text();
    if (why[0] != '\0') {
        std::fflush(stdout);
        std::fprintf(stderr, "tolvaner: %s: %s\n", port_name, why);
    }
    // A port failure is no success, whatever the operator's session did
    // before it: scripts must be able to tell.
    std::exit(1);
}

void open_port(const char* name) {
    port_name = name;
    switch (platform_open_port(name)) {
    case PortOpenResult::ok:
        return;
    case PortOpenResult::not_found:
        fail("serial port does not exist\n");
    case PortOpenResult::open_failed:
        fail("error occurred while opening comm port\n");
    case PortOpenResult::get_state_failed:
        fail("error getting comm state\n");
    case PortOpenResult::set_state_failed:
        fail("error setting serial port state\n");
    case PortOpenResult::timeouts_failed:
        fail("error occureed setting timeout values\n");
    }
    fail("error occurred while opening comm port\n");
}

void close_port() { platform_close_port(); }

namespace {

int ports_listed;

void print_port(const char* name, const char* identity) {
    ++ports_listed;
    if (identity[0] == '\0') {
        std::printf("%s\n", name);
    } else {
        std::printf("%s  %s\n", name, identity);
    }
}

} // namespace

void list_ports(const char* root) {
    ports_listed = 0;
    platform_list_ports(root, print_port);
    if (ports_listed == 0) {
        std::fputs("no serial ports found\n", stdout);
    }
}
