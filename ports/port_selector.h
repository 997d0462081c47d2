// A port named by the USB device behind it, usb:VID:PID[:SERIAL], for
// adapters whose port name changes with the socket they are plugged into
// (COM numbers on Windows, ttyUSB numbers on Linux). It is looked up in the
// port list; no port on any system we build for has a name starting "usb:".
// Only the Linux and Windows listers know a port's USB identity.
#pragma once

#include "ports/port_record.h"

#include <cstdint>
#include <cstdio>

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

// True when `port` belongs to that device. Serial numbers are compared
// without regard to case: Windows keeps them in capitals whatever the device
// says.
bool usb_port_matches(const PortRecord& port, const UsbSelector& selector);

enum class SelectorResult {
    found,
    malformed, // not usb:VID:PID[:SERIAL]
    none,      // no listed port has this identity
    several,   // more than one has it
};

// The name of the one port `selector` names, from the ports listed under
// `root` (see list_serial_ports), in `name` of `capacity` bytes. With
// several, `several_to` (unless nullptr) gets one line for each of them.
// Looked up anew on every call: an adapter plugged back in may have another
// name.
SelectorResult resolve_usb_selector(const char* root, const char* selector, char* name,
                                    int capacity, std::FILE* several_to);
