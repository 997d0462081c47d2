// A port given as usb:VID:PID[:SERIAL] (ports/port_selector), resolved
// against sysfs trees of the shapes the kernel makes.
#include "tests/support/console_session.h"
#include "tests/support/sysfs_tree.h"

#include <functional>
#include <string>
#include <vector>

namespace {

#if defined(__linux__)

using namespace sysfs;

// A port given as usb:VID:PID[:SERIAL]: the port opened, or (starting "^")
// what is printed before the program ends with status 1.
struct SelectCase {
    const char* name;
    std::vector<std::function<void(Tree&)>> shapes;
    const char* selector;
    std::string result;
};

class UsbSelect : public ConsoleTest, public testing::WithParamInterface<SelectCase> {};

TEST_P(UsbSelect, OpensTheOnePortOfThatUsbIdentity) {
    Tree tree;
    for (const auto& shape : GetParam().shapes) {
        shape(tree);
    }
    const std::string root = tree.root();
    if (GetParam().result[0] == '^') {
        EXPECT_EXIT(
            {
                dup2(2, 1);
                exit_with_console_on(GetParam().selector, root.c_str());
            },
            testing::ExitedWithCode(1), GetParam().result);
    } else {
        run_console_args("", {GetParam().selector}, root.c_str());
        EXPECT_EQ(fake::platform().opened_name, GetParam().result);
    }
}

const std::string no_port = "^serial port does not exist\ntolvaner: ";
const std::string malformed = ": not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL";

INSTANTIATE_TEST_SUITE_P(
    Sysfs, UsbSelect,
    testing::Values(
        SelectCase{
            "one", {ftdi_adapter, bare_adapter, acm_device}, "usb:0403:6001", "/dev/ttyUSB2"},
        SelectCase{"any_case", {ftdi_adapter, bare_adapter}, "USB:10C4:EA60", "/dev/ttyUSB10"},
        SelectCase{"short_hex", {acm_device}, "usb:2341:43", "/dev/ttyACM0"},
        SelectCase{"serial", {ftdi_adapter, twin_adapter}, "usb:403:6001:b20x5678", "/dev/ttyUSB3"},
        SelectCase{"several",
                   {ftdi_adapter, twin_adapter},
                   "usb:0403:6001",
                   "^" + ftdi_line + "/dev/ttyUSB3  usb=0403:6001 serial=\"B20X5678\"\n" +
                       "tolvaner: usb:0403:6001: these ports all have this USB identity"},
        SelectCase{"none", {ftdi_adapter}, "usb:0403:6015", no_port + "usb:0403:6015: no serial"},
        SelectCase{"no_serial", {bare_adapter}, "usb:10c4:ea60:1", no_port + "usb:10c4:ea60:1: no"},
        SelectCase{"only_vendor", {ftdi_adapter}, "usb:0403", no_port + "usb:0403" + malformed},
        SelectCase{"five_digits", {}, "usb:04030:6001", no_port + "usb:04030:6001" + malformed},
        SelectCase{"empty_serial", {}, "usb:0403:6001:", no_port + "usb:0403:6001:" + malformed}),
    [](const auto& info) { return std::string(info.param.name); });

#endif

} // namespace
