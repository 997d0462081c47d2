// Serial ports on the BSDs, by their names in /dev: the call-out devices
// (FreeBSD and OpenBSD cuaU* for USB, cuau* and cua0* for built-in UARTs;
// NetBSD dtyU*, dty0*). Their dial-in twins (tty*) wait for carrier detect
// when opened, which a device without the line never raises. FreeBSD's
// .init and .lock nodes only hold settings and are no ports. Nothing here
// opens a port.
#include "link/platform.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace {

constexpr int max_ports = 256;
constexpr int name_capacity = 64;
char names[max_ports][name_capacity];

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

const char* platform_port_names() { return "/dev/cuaU0, /dev/cuau0"; }

void platform_list_ports(const char* root, PortFound found) {
    char dev_path[PATH_MAX];
    std::snprintf(dev_path, sizeof dev_path, "%s/dev", root);
    int count = 0;
    if (DIR* dir = opendir(dev_path)) {
        while (dirent* entry = readdir(dir)) {
            if (count < max_ports && is_port(entry->d_name) &&
                std::strlen(entry->d_name) + 5 < name_capacity) {
                std::snprintf(names[count++], name_capacity, "/dev/%.*s", name_capacity - 6,
                              entry->d_name);
            }
        }
        closedir(dir);
    }
    std::qsort(names, static_cast<size_t>(count), name_capacity, compare_names);
    for (int i = 0; i < count; ++i) {
        found(names[i], "");
    }
}
