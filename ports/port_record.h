// Port discovery: this machine's serial ports, each as a record of what the
// system says about it. Nothing here opens a port: one may carry a console
// or a device in use. One lister per system (port_list_*.cpp), chosen by
// CMake; the tests run the real one on sysfs trees of their own.
#pragma once

#include <cstdint>

struct PortRecord {
    char name[300];         // what to pass to the program: /dev/ttyUSB0, COM3, \\.\COM12
    char description[256];  // the name the system's device manager shows; "" when none
    char driver[64];        // the kernel driver behind the port; "" when unknown
    bool usb;               // on a USB device: vendor and product below are known
    std::uint16_t vendor;   // USB vendor ID
    std::uint16_t product;  // USB product ID
    char manufacturer[256]; // as the USB device names itself; "" when it does not
    char product_name[256];
    char serial[256]; // the USB device's serial number; "" when it has none
    char by_id[300];  // the stable name udev made for it; "" when none
    char device[256]; // the system's own device path (\Device\Serial0); "" when none
    bool console;     // the kernel writes its console to it
};

// Called once for every port found, in order of name, with the `context`
// given to list_serial_ports.
using PortFound = void (*)(const PortRecord& port, void* context);

// Finds this machine's serial ports. On Linux and macOS `root` is where the
// file system starts ("/"; tests give a tree of their own); Windows reads its
// registry and ignores it.
void list_serial_ports(const char* root, PortFound found, void* context);

// What port names look like on this system, for the help: a few examples.
const char* port_name_examples();
