#include "link/port_report.h"

#include "ports/port_selector.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool output_written(OutputCheck& check, const char* port) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    const int error = errno;
    if (!check.lost) {
        check.lost = true;
        tell_cause(port, "standard output cannot be written (%s)",
                   error != 0 ? std::strerror(error) : "no reason given");
    }
    return false;
}

namespace {

bool refused(FrameLink& link, const char* message, const char* cause) {
    link.fault_message = message;
    link.fault_cause = cause;
    link.failure[0] = '\0';
    return false;
}

} // namespace

bool open_named_port(FrameLink& link, const char* named, const char* root) {
    std::snprintf(link.name, sizeof link.name, "%s", named);
    if (is_usb_selector(named)) {
        char resolved[sizeof link.name];
        switch (resolve_usb_selector(root, named, resolved, sizeof resolved, nullptr)) {
        case SelectorResult::found:
            break;
        case SelectorResult::malformed:
            return refused(link, "serial port does not exist\n",
                           "not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, "
                           "VID and PID in hex");
        case SelectorResult::none:
            return refused(
                link, "serial port does not exist\n",
                "no serial port has this USB identity (tolvaner --list shows each port's)");
        case SelectorResult::several:
            std::fflush(stdout);
            resolve_usb_selector(root, named, resolved, sizeof resolved, stderr);
            return refused(link, "",
                           "these ports all have this USB identity: add the serial number "
                           "(usb:VID:PID:SERIAL) or give the port's name");
        }
        std::snprintf(link.name, sizeof link.name, "%s", resolved);
    }
    return link_open(link, link.name) == PortOpenResult::ok;
}
