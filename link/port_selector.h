// A port named by the USB device behind it, usb:VID:PID[:SERIAL], for
// adapters whose port name changes with the socket they are plugged into
// (COM numbers on Windows, ttyUSB numbers on Linux). It is looked up in the
// port list; no port on any system we build for has a name starting "usb:".
#pragma once

#include <cstdint>

struct UsbSelector {
    std::uint16_t vendor;
    std::uint16_t product;
    char serial[128]; // "" when any serial number will do
};

// True when `name` is meant as usb:... (the prefix in any case).
bool is_usb_selector(const char* name);

// Reads usb:VID:PID[:SERIAL], VID and PID as one to four hex digits in any
// case; false when `text` is not of that form.
bool parse_usb_selector(const char* text, UsbSelector& selector);

// True when a port whose identity text (see port_identity.h) is `identity`
// belongs to that device. Serial numbers are compared without regard to case:
// Windows keeps them in capitals whatever the device says.
bool usb_identity_matches(const char* identity, const UsbSelector& selector);

// The name of the one listed port that `selector` names. When it is
// malformed or names no port, or names several, says so (the several listed
// on standard error) and ends the program with status 1, as a port that does
// not exist would.
const char* usb_selector_port(const char* selector);

// Where the port list is read: "/" unless a test gives a tree of its own
// (see platform_list_ports).
void usb_selector_set_root(const char* root);
