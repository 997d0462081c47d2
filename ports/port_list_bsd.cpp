// Serial ports on the BSDs, by their names in /dev: the call-out devices
// (FreeBSD and OpenBSD cuaU* for USB, cuau* and cua0* for built-in UARTs;
// NetBSD dtyU*, dty0*). Their dial-in twins (tty*) wait for carrier detect
// when opened, which a device without the line never raises. FreeBSD's
// .init and .lock nodes only hold settings and are no ports. Nothing here
// opens a port.
#include "ports/port_record.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <vector>

namespace {

constexpr std::size_t max_ports = 256;
constexpr int name_capacity = 64;
struct Name {
    char text[name_capacity];
};

bool is_port(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (dot != nullptr && (std::strcmp(dot, ".init") == 0 || std::strcmp(dot, ".lock") == 0)) {
        return false;
    }
    const char* const prefixes[] = {"cuaU", "cuau", "cua0", "dtyU", "dty0"};
    for (const char* prefix : prefixes) {
        if (std::strncmp(name, prefix, 4) == 0) {
            return true;
        }
    }
    return false;
}

// By kind, then by number: cuaU2 before cuaU10.
int compare_names(const void* a, const void* b) {
    const char* x = static_cast<const char*>(a);
    const char* y = static_cast<const char*>(b);
    const size_t nx = std::strcspn(x, "0123456789");
    const size_t ny = std::strcspn(y, "0123456789");
    if (nx != ny || std::strncmp(x, y, nx) != 0) {
        return std::strcmp(x, y);
    }
    const std::int64_t mx = std::strtoll(x + nx, nullptr, 10);
    const std::int64_t my = std::strtoll(y + ny, nullptr, 10);
    return mx < my ? -1 : (mx > my ? 1 : std::strcmp(x, y));
}

} // namespace

const char* port_name_examples() { return "/dev/cuaU0, /dev/cuau0"; }

void list_serial_ports(const char* root, PortFound found, void* context) {
    char dev_path[PATH_MAX];
    std::snprintf(dev_path, sizeof dev_path, "%s/dev", root);
    std::vector<Name> names;
    if (DIR* dir = opendir(dev_path)) {
        while (dirent* entry = readdir(dir)) {
            if (names.size() < max_ports && is_port(entry->d_name) &&
                std::strlen(entry->d_name) + 5 < name_capacity) {
                names.emplace_back();
                std::snprintf(names.back().text, name_capacity, "/dev/%.*s", name_capacity - 6,
                              entry->d_name);
            }
        }
        closedir(dir);
    }
    std::qsort(names.data(), names.size(), sizeof(Name), compare_names);
    for (const Name& name : names) {
        PortRecord port{};
        std::snprintf(port.name, sizeof port.name, "%s", name.text);
        found(port, context);
    }
}
