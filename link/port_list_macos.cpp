// Serial ports on macOS: the call-out devices /dev/cu.*. Their tty.* twins
// wait for carrier detect when opened, which a device without the line never
// raises, so only cu.* are offered. Nothing here opens a port.
#include "link/platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace {

constexpr int max_ports = 256;
constexpr int name_capacity = 128;
char names[max_ports][name_capacity];

int compare_names(const void* a, const void* b) {
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

} // namespace

const char* platform_port_names() { return "/dev/cu.usbserial-A10K1234, /dev/cu.usbmodem1101"; }

void platform_list_ports(const char* root, PortFound found) {
    char dev_path[PATH_MAX];
    std::snprintf(dev_path, sizeof dev_path, "%s/dev", root);
    int count = 0;
    if (DIR* dir = opendir(dev_path)) {
        while (dirent* entry = readdir(dir)) {
            if (count < max_ports && std::strncmp(entry->d_name, "cu.", 3) == 0 &&
                std::strlen(entry->d_name) + 5 < name_capacity) {
                std::snprintf(names[count++], name_capacity, "/dev/%s", entry->d_name);
            }
        }
        closedir(dir);
    }
    std::qsort(names, static_cast<size_t>(count), name_capacity, compare_names);
    for (int i = 0; i < count; ++i) {
        found(names[i], "");
    }
}
