// tolvaner --list against sysfs trees of the shapes the kernel makes: USB
// serial adapters, CDC ACM devices, and 8250 ports with and without a UART,
// before and after the serial-base bus (Linux 6.3).
#include "ports/port_identity.h"
#include "tests/support/console_session.h"
#include "tests/support/sysfs_tree.h"

#include <functional>
#include <string>
#include <vector>

namespace {

#if defined(__linux__)

using namespace sysfs;

const std::string none = "no serial ports found\n";

struct ListCase {
    const char* name;
    std::vector<std::function<void(Tree&)>> shapes;
    std::string out;
};

class PortList : public ConsoleTest, public testing::WithParamInterface<ListCase> {};

TEST_P(PortList, NamesEachPortWithWhatIdentifiesIt) {
    Tree tree;
    for (const auto& shape : GetParam().shapes) {
        shape(tree);
    }
    const std::string root = tree.root();
    ConsoleRun run = run_console_args("", {"--list"}, root.c_str());
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(fake::platform().opened_name.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sysfs, PortList,
    testing::Values(
        ListCase{"usb_serial", {ftdi_adapter}, ftdi_line},
        ListCase{"acm_with_odd_strings", {acm_device}, acm_line},
        ListCase{"uart_below_serial_base", {uart_below_serial_base}, "/dev/ttyS0  driver=serial\n"},
        ListCase{
            "uart_of_older_kernels", {uart_of_older_kernels}, "/dev/ttyS2  driver=serial8250\n"},
        ListCase{"no_uart_behind_ttyS", {placeholder, consoles}, none}, ListCase{"empty", {}, none},
        ListCase{"adapters_first_then_by_number",
                 {consoles, uart_of_older_kernels, placeholder, bare_adapter,
                  uart_below_serial_base, acm_device, ftdi_adapter},
                 ftdi_line + bare_line + acm_line + "/dev/ttyS0  driver=serial\n" +
                     "/dev/ttyS2  driver=serial8250\n"},
        ListCase{"others_first_console_marked",
                 {consoles, other_ports, uart_of_older_kernels, ftdi_adapter},
                 ftdi_line + other_lines + "/dev/ttyS2  driver=serial8250\n"}),
    [](const auto& info) { return std::string(info.param.name); });

#endif

} // namespace
