// Serial ports on Linux, from sysfs: USB adapters (ttyUSB*, ttyACM*) with
// what identifies them, and built-in ports (ttyS*) only where a UART is
// present. Nothing here opens a port.
#include "link/platform.h"
#include "link/port_identity.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

constexpr int max_ports = 256;
constexpr int name_capacity = 32;
char names[max_ports][name_capacity];
int name_count;

// The kinds of port listed, in the order they are shown.
const char* const kinds[] = {"ttyUSB", "ttyACM", "ttyS"};
constexpr int kind_count = 3;
constexpr int builtin_kind = 2;

// The kind of `name` (its index in kinds), or -1 when it is none of them.
int kind_of(const char* name) {
    for (int k = 0; k < kind_count; ++k) {
        size_t n = std::strlen(kinds[k]);
        if (std::strncmp(name, kinds[k], n) == 0 && name[n] != '\0' &&
            std::strspn(name + n, "0123456789") == std::strlen(name + n)) {
            return k;
        }
    }
    return -1;
}

// Saturates rather than wraps on an absurdly long number.
std::int64_t number_of(const char* name) {
    return std::strtoll(name + std::strcspn(name, "0123456789"), nullptr, 10);
}

// USB adapters first, then by number: ttyUSB2 before ttyUSB10.
int compare_names(const void* a, const void* b) {
    const char* x = static_cast<const char*>(a);
    const char* y = static_cast<const char*>(b);
    int kx = kind_of(x);
    int ky = kind_of(y);
    if (kx != ky) {
        return kx < ky ? -1 : 1;
    }
    std::int64_t nx = number_of(x);
    std::int64_t ny = number_of(y);
    return nx < ny ? -1 : (nx > ny ? 1 : 0);
}

using Path = char[PATH_MAX];

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
// behind it reports type 0 (unknown). Ports of other drivers always have one.
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
void add_driver(const char* tty_dir) {
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
        identity_add("driver", name);
    }
}

// The USB device is the nearest folder above the port's device that has a
// vendor ID: the interface's parent for ttyACM, one more up for ttyUSB.
void add_usb(const char* tty_dir) {
    Path path;
    Path dir;
    if (!join(path, tty_dir, "/device") || realpath(path, dir) == nullptr) {
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
    char pair[40];
    if (std::snprintf(pair, sizeof pair, "%s:%s", vendor, product_id) <
        static_cast<int>(sizeof pair)) {
        identity_add("usb", pair);
    }
    const char* const keys[] = {"/manufacturer", "/product", "/serial"};
    for (const char* key : keys) {
        char text[256];
        if (join(path, dir, key) && read_attribute(path, text, sizeof text)) {
            identity_add_quoted(key + 1, text);
        }
    }
}

// The stable name udev made for the port, if any: the first in name order
// of the links under /dev/serial/by-id that lead to it.
void add_by_id(const char* root, const char* name) {
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
        if (join(link, "/dev/serial/by-id/", best)) {
            identity_add("by-id", link);
        }
    }
}

} // namespace

void platform_list_ports(const char* root, PortFound found) {
    Path class_path;
    name_count = 0;
    if (DIR* dir = join(class_path, root, "/sys/class/tty/") ? opendir(class_path) : nullptr) {
        while (dirent* entry = readdir(dir)) {
            if (name_count < max_ports && kind_of(entry->d_name) >= 0 &&
                std::strlen(entry->d_name) < name_capacity) {
                std::memcpy(names[name_count++], entry->d_name, std::strlen(entry->d_name) + 1);
            }
        }
        closedir(dir);
    }
    std::qsort(names, static_cast<size_t>(name_count), name_capacity, compare_names);

    for (int i = 0; i < name_count; ++i) {
        const char* name = names[i];
        Path tty_dir;
        if (!join(tty_dir, class_path, name)) {
            continue;
        }
        bool usb = kind_of(name) != builtin_kind;
        if (!usb && !has_uart(tty_dir)) {
            continue;
        }
        identity_clear();
        add_driver(tty_dir);
        if (usb) {
            add_usb(tty_dir);
            add_by_id(root, name);
        }
        Path device;
        if (join(device, "/dev/", name)) {
            found(device, identity_text());
        }
    }
}
