#include "link/serial_port.h"

#include "link/platform.h"

#include <cstdio>
#include <cstdlib>

void fail(const char* message) {
    std::fputs(message, stdout);
    // A port failure is no success, whatever the operator's session did
    // before it: scripts must be able to tell.
    std::exit(1);
}

void open_port(const char* name) {
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
