// Sysfs trees of the shapes the kernel makes, under a temporary root, for
// the port lister and the usb: selectors; and what --list says of each.
#pragma once

#if defined(__linux__)

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace sysfs {

namespace fs = std::filesystem;

// A sysfs tree under a temporary root. Links are made as the kernel makes
// them: relative, and only their targets' last names matter for drivers.
class Tree {
  public:
    Tree() {
        root_ = fs::temp_directory_path() /
                ("tolvaner-sysfs-" + std::to_string(getpid()) + "-" + std::to_string(++count_));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~Tree() { fs::remove_all(root_); }
    std::string root() const { return root_.string(); }

    void file(const std::string& path, const std::string& text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text << "\n";
    }
    void link(const std::string& path, const std::string& target) {
        fs::create_directories((root_ / path).parent_path());
        if (!fs::is_symlink(root_ / path)) { // shapes may share a parent device
            fs::create_directory_symlink(target, root_ / path);
        }
    }
    // The tty's class entry, its device link and, for a UART, its type.
    void tty(const std::string& device_dir, const std::string& name, const char* type = nullptr) {
        const std::string dir = device_dir + "/tty/" + name;
        fs::create_directories(root_ / dir);
        link(dir + "/device", "../../../" + fs::path(device_dir).filename().string());
        link("sys/class/tty/" + name, "../../" + dir.substr(4));
        if (type != nullptr) {
            file(dir + "/type", type);
        }
    }
    void usb_device(const std::string& dir, const char* vendor, const char* product_id,
                    std::vector<std::pair<std::string, std::string>> strings) {
        file(dir + "/idVendor", vendor);
        file(dir + "/idProduct", product_id);
        for (const auto& [key, value] : strings) {
            file(dir + "/" + key, value);
        }
    }

  private:
    static inline int count_ = 0;
    fs::path root_;
};

inline const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1";

inline void ftdi_adapter(Tree& t) {
    const std::string device = usb + "/1-2";
    t.usb_device(
        device, "0403", "6001",
        {{"manufacturer", "FTDI"}, {"product", "FT232R USB UART"}, {"serial", "A10K1234"}});
    const std::string port = device + "/1-2:1.0/ttyUSB2";
    t.link(port + "/driver", "../../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    t.link(port + "/subsystem", "../../../../../../../../bus/usb-serial");
    t.tty(port, "ttyUSB2");
    t.link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0", "../../ttyUSB2");
    t.link("dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB2");
}

// Another adapter, ten numbers up, with no strings and no udev links.
inline void bare_adapter(Tree& t) {
    const std::string device = usb + "/1-4";
    t.usb_device(device, "10c4", "ea60", {});
    const std::string port = device + "/1-4:1.0/ttyUSB10";
    t.link(port + "/driver", "../../../../../../../../bus/usb-serial/drivers/cp210x");
    t.link(port + "/subsystem", "../../../../../../../../bus/usb-serial");
    t.tty(port, "ttyUSB10");
}

// The same make as ftdi_adapter, on another socket.
inline void twin_adapter(Tree& t) {
    t.usb_device(usb + "/1-5", "0403", "6001", {{"serial", "B20X5678"}});
    const std::string port = usb + "/1-5/1-5:1.0/ttyUSB3";
    t.link(port + "/subsystem", "../../../../../../../../bus/usb-serial");
    t.tty(port, "ttyUSB3");
}

inline void acm_device(Tree& t) {
    const std::string device = usb + "/1-3";
    t.usb_device(device, "2341", "0043",
                 {{"manufacturer", "Ac\"me \xC3\xA9"}, {"serial", "75735353238351F0B1A1"}});
    const std::string interface = device + "/1-3:1.0";
    t.link(interface + "/driver", "../../../../../../../bus/usb/drivers/cdc_acm");
    t.link(interface + "/subsystem", "../../../../../../../bus/usb");
    t.tty(interface, "ttyACM0");
}

// Linux 6.3 on: the port sits below a controller and a port device of the
// serial-base bus, whose drivers name nothing useful.
inline void uart_below_serial_base(Tree& t) {
    const std::string pnp = "sys/devices/pnp0/00:01";
    t.link(pnp + "/driver", "../../../bus/pnp/drivers/serial");
    for (const std::string& dir : {pnp + "/00:01:0", pnp + "/00:01:0/00:01:0.0"}) {
        t.link(dir + "/subsystem", "../../../../bus/serial-base");
        t.link(dir + "/driver", "../../../../bus/serial-base/drivers/port");
    }
    t.tty(pnp + "/00:01:0/00:01:0.0", "ttyS0", "4");
}

// The 8250 driver's placeholder: registered, with no UART behind it.
inline void placeholder(Tree& t) {
    const std::string base = "sys/devices/platform/serial8250";
    t.link(base + "/driver", "../../../bus/platform/drivers/serial8250");
    for (const std::string& dir : {base + "/serial8250:0", base + "/serial8250:0/serial8250:0.1"}) {
        t.link(dir + "/subsystem", "../../../../bus/serial-base");
    }
    t.tty(base + "/serial8250:0/serial8250:0.1", "ttyS1", "0");
}

// Before Linux 6.3: the port hangs right below the platform device.
inline void uart_of_older_kernels(Tree& t) {
    const std::string base = "sys/devices/platform/serial8250";
    t.link(base + "/driver", "../../../bus/platform/drivers/serial8250");
    t.tty(base, "ttyS2", "4");
}

// Ports of other names: on-chip UARTs, one on SPI, a vendor's USB driver
// with a name of its own, and a Bluetooth link whose adapter is on USB.
inline void other_ports(Tree& t) {
    for (const auto& [dir, name, driver] :
         {std::tuple{"sys/devices/platform/soc/fe201000.serial", "ttyAMA0", "uart-pl011"},
          std::tuple{"sys/devices/platform/soc/2020000.serial", "ttymxc0", "imx-uart"},
          std::tuple{"sys/devices/platform/soc/fe204000.spi/spi0.0", "ttySC0", "sc16is7xx"}}) {
        t.link(std::string(dir) + "/driver",
               std::string("../../../bus/platform/drivers/") + driver);
        t.tty(dir, name, "32");
    }
    const std::string exar = usb + "/1-6";
    t.usb_device(exar, "04e2", "1410", {});
    t.link(exar + "/1-6:1.0/driver", "../../../../../../../bus/usb/drivers/cdc_xr_usb_serial");
    t.link(exar + "/1-6:1.0/subsystem", "../../../../../../../bus/usb");
    t.tty(exar + "/1-6:1.0", "ttyXRUSB0");
    const std::string bluetooth = usb + "/1-5";
    t.usb_device(bluetooth, "8087", "0a2b", {});
    t.link(bluetooth + "/1-5:1.0/bluetooth/hci0/subsystem",
           "../../../../../../../../class/bluetooth");
    t.tty(bluetooth + "/1-5:1.0/bluetooth/hci0", "rfcomm0");
}
inline const std::string other_lines = "/dev/rfcomm0\n/dev/ttyAMA0  driver=uart-pl011 console\n"
                                       "/dev/ttySC0  driver=sc16is7xx\n"
                                       "/dev/ttyXRUSB0  driver=cdc_xr_usb_serial usb=04e2:1410\n"
                                       "/dev/ttymxc0  driver=imx-uart\n";

inline void consoles(Tree& t) {
    for (const char* name : {"tty0", "console", "ptmx", "ttyprintk"}) {
        fs::create_directories(fs::path(t.root()) / "sys/devices/virtual/tty" / name);
        t.link(std::string("sys/class/tty/") + name,
               std::string("../../devices/virtual/tty/") + name);
    }
    t.file("sys/devices/virtual/tty/console/active", "tty0 ttyAMA0");
}

inline const std::string ftdi_line =
    "/dev/ttyUSB2  driver=ftdi_sio usb=0403:6001 manufacturer=\"FTDI\" product=\"FT232R USB UART\" "
    "serial=\"A10K1234\" by-id=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\n";
inline const std::string bare_line = "/dev/ttyUSB10  driver=cp210x usb=10c4:ea60\n";
inline const std::string acm_line =
    "/dev/ttyACM0  driver=cdc_acm usb=2341:0043 "
    "manufacturer=\"Ac\\x22me \\xC3\\xA9\" serial=\"75735353238351F0B1A1\"\n";

} // namespace sysfs

#endif
