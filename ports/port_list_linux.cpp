// Serial ports on Linux, from sysfs: every tty with a device behind it (USB
// adapters, CDC ACM, on-chip and SPI/I2C UARTs, Bluetooth links) with what
// identifies it, but built-in ports only where a UART is present. Virtual
// terminals and pseudo-terminals have no device and are never listed. Nothing
// here opens a port.
#include "ports/port_record.h"

#include "system/text_escape.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t max_ports = 256;
constexpr int name_capacity = 32;
using Name = std::array<char, name_capacity>;

// USB adapters come first, built-in ports last: a PC's ttyS are mostly
// placeholders or the console. Every other kind goes between, by name.
int rank_of(const char* name) {
    const size_t n = std::strcspn(name, "0123456789");
    const char* const first[] = {"ttyUSB", "ttyACM"};
    for (int k = 0; k < 2; ++k) {
        if (n == std::strlen(first[k]) && std::strncmp(name, first[k], n) == 0) {
            return k;
        }
    }
    return n == 4 && std::strncmp(name, "ttyS", 4) == 0 ? 3 : 2;
}

// Saturates rather than wraps on an absurdly long number.
std::int64_t number_of(const char* name) {
    return std::strtoll(name + std::strcspn(name, "0123456789"), nullptr, 10);
}

// By kind, then by number: ttyUSB2 before ttyUSB10.
int compare_names(const void* a, const void* b) {
    const char* x = static_cast<const char*>(a);
    const char* y = static_cast<const char*>(b);
    const int rx = rank_of(x);
    const int ry = rank_of(y);
    if (rx != ry) {
        return rx < ry ? -1 : 1;
    }
    const size_t nx = std::strcspn(x, "0123456789");
    const size_t ny = std::strcspn(y, "0123456789");
    if (int kind = std::strncmp(x, y, nx < ny ? nx : ny); kind != 0 || nx != ny) {
        return kind != 0 ? kind : (nx < ny ? -1 : 1);
    }
    const std::int64_t mx = number_of(x);
    const std::int64_t my = number_of(y);
    return mx < my ? -1 : (mx > my ? 1 : std::strcmp(x, y));
}

using Path = char[PATH_MAX];

// Four hex digits, as sysfs writes a USB ID.
bool read_usb_id(const char* text, std::uint16_t& value) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 16);
    value = static_cast<std::uint16_t>(number);
    return end != text && *end == '\0' && number <= 0xFFFF && text[0] != '-' && text[0] != '+';
}

// `a` and `b` in `out`; false when the result would not fit.
bool join(Path& out, const char* a, const char* b) {
    int n = std::snprintf(out, sizeof out, "%s%s", a, b);
    return n >= 0 && n < static_cast<int>(sizeof out);
}

// The first line of a sysfs attribute, without its line end; false when the
// file is missing or empty.
bool read_attribute(const char* path, char* text, int capacity) {
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    bool got = std::fgets(text, capacity, file) != nullptr;
    std::fclose(file);
    if (!got) {
        return false;
    }
    text[std::strcspn(text, "\n")] = '\0';
    return text[0] != '\0';
}

// The 8250 driver registers every ttyS it could have; one without a UART
// behind it reports type 0 (unknown). Ports of other serial-core drivers
// always have one, and ports of no UART (USB, Bluetooth) have no type.
bool has_uart(const char* tty_dir) {
    Path path;
    char type[16];
    return !join(path, tty_dir, "/type") || !read_attribute(path, type, sizeof type) ||
           std::strcmp(type, "0") != 0;
}

// The base name of the link `dir`/`leaf` leads to, in `name`; false when
// there is no such link.
bool link_name(const char* dir, const char* leaf, Path& name) {
    Path path;
    Path target;
    ssize_t n = join(path, dir, leaf) ? readlink(path, target, sizeof target - 1) : -1;
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return join(name, slash != nullptr ? slash + 1 : target, "");
}

// Since Linux 6.3 a serial-core port hangs below two devices of the
// serial-base bus, whose drivers ("port", "ctrl") say nothing; the driver that
// matters is the one of the hardware above them (serial8250, serial, ...).
void add_driver(const char* tty_dir, PortRecord& port) {
    Path path;
    Path dir;
    if (!join(path, tty_dir, "/device") || realpath(path, dir) == nullptr) {
        return;
    }
    Path name;
    for (int up = 0;
         up < 4 && link_name(dir, "/subsystem", name) && std::strcmp(name, "serial-base") == 0;
         ++up) {
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr || slash == dir) {
            return;
        }
        *slash = '\0';
    }
    if (link_name(dir, "/driver", name)) {
        copy_text(port.driver, name);
    }
}

// The USB device is the nearest folder above the port's device that has a
// vendor ID: the interface's parent for ttyACM, one more up for ttyUSB. Only
// for a port on the USB or USB-serial bus: a Bluetooth link's adapter may be
// a USB device too, but it is not the device at the other end.
void add_usb(const char* tty_dir, PortRecord& port) {
    Path path;
    Path dir;
    Path bus;
    if (!join(path, tty_dir, "/device") || realpath(path, dir) == nullptr ||
        !link_name(dir, "/subsystem", bus) ||
        (std::strcmp(bus, "usb") != 0 && std::strcmp(bus, "usb-serial") != 0)) {
        return;
    }
    char vendor[16];
    char product_id[16];
    for (int up = 0; up < 4; ++up) {
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr || slash == dir) {
            return;
        }
        *slash = '\0';
        if (join(path, dir, "/idVendor") && read_attribute(path, vendor, sizeof vendor)) {
            break;
        }
        if (up == 3) {
            return;
        }
    }
    if (!join(path, dir, "/idProduct") || !read_attribute(path, product_id, sizeof product_id)) {
        product_id[0] = '\0';
    }
    port.usb = read_usb_id(vendor, port.vendor) && read_usb_id(product_id, port.product);
    struct Text {
        const char* leaf;
        char* field;
    };
    const Text texts[] = {{"/manufacturer", port.manufacturer},
                          {"/product", port.product_name},
                          {"/serial", port.serial}};
    for (const Text& text : texts) {
        if (!join(path, dir, text.leaf) ||
            !read_attribute(path, text.field, static_cast<int>(sizeof port.serial))) {
            text.field[0] = '\0';
        }
    }
}

// The stable name udev made for the port, if any: the first in name order
// of the links under /dev/serial/by-id that lead to it.
void add_by_id(const char* root, const char* name, PortRecord& port) {
    Path dir_path;
    DIR* dir = join(dir_path, root, "/dev/serial/by-id/") ? opendir(dir_path) : nullptr;
    if (dir == nullptr) {
        return;
    }
    char best[NAME_MAX + 1] = "";
    while (dirent* entry = readdir(dir)) {
        Path target;
        if (link_name(dir_path, entry->d_name, target) && std::strcmp(target, name) == 0 &&
            (best[0] == '\0' || std::strcmp(entry->d_name, best) < 0)) {
            std::memcpy(best, entry->d_name, std::strlen(entry->d_name) + 1);
        }
    }
    closedir(dir);
    if (best[0] != '\0') {
        Path link;
        if (join(link, "/dev/serial/by-id/", best) && std::strlen(link) < sizeof port.by_id) {
            copy_text(port.by_id, link);
        }
    }
}

// True for a tty with a device behind it; virtual terminals and
// pseudo-terminals have none.
bool has_device(const char* tty_dir) {
    Path path;
    return join(path, tty_dir, "/device") && access(path, F_OK) == 0;
}

// True when `name` is one of the blank-separated words of `words`.
bool among(const char* words, const char* name) {
    const size_t n = std::strlen(name);
    for (const char* p = words; *p != '\0'; p += std::strcspn(p, " ")) {
        p += std::strspn(p, " ");
        if (std::strncmp(p, name, n) == 0 && (p[n] == ' ' || p[n] == '\0')) {
            return true;
        }
    }
    return false;
}

} // namespace

const char* port_name_examples() { return "/dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0"; }

void list_serial_ports(const char* root, PortFound found, void* context) {
    Path class_path;
    std::vector<Name> names;
    names.reserve(16);
    if (DIR* dir = join(class_path, root, "/sys/class/tty/") ? opendir(class_path) : nullptr) {
        while (dirent* entry = readdir(dir)) {
            Path tty_dir;
            if (names.size() < max_ports && entry->d_name[0] != '.' &&
                std::strlen(entry->d_name) < name_capacity &&
                join(tty_dir, class_path, entry->d_name) && has_device(tty_dir) &&
                has_uart(tty_dir)) {
                names.emplace_back();
                std::memcpy(names.back().data(), entry->d_name, std::strlen(entry->d_name) + 1);
            }
        }
        closedir(dir);
    }
    std::qsort(names.data(), names.size(), sizeof(Name), compare_names);

    // The ports the kernel writes its console to: opening one by mistake
    // takes over the machine's console.
    Path path;
    char consoles[256];
    if (!join(path, class_path, "console/active") ||
        !read_attribute(path, consoles, sizeof consoles)) {
        consoles[0] = '\0';
    }

    for (const Name& entry : names) {
        const char* name = entry.data();
        Path tty_dir;
        Path device;
        if (!join(tty_dir, class_path, name) || !join(device, "/dev/", name)) {
            continue;
        }
        PortRecord port{};
        add_driver(tty_dir, port);
        add_usb(tty_dir, port);
        add_by_id(root, name, port);
        port.console = among(consoles, name);
        // sysfs writes the slash of a node in a subfolder of /dev as '!'.
        for (char* bang = std::strchr(device, '!'); bang != nullptr;
             bang = std::strchr(bang, '!')) {
            *bang = '/';
        }
        copy_text(port.name, device);
        found(port, context);
    }
}
