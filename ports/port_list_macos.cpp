// Serial ports on macOS: the call-out devices /dev/cu.*. Their tty.* twins
// wait for carrier detect when opened, which a device without the line never
// raises, so only cu.* are offered. Nothing here opens a port.
#include "ports/port_record.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <vector>

namespace {

constexpr std::size_t max_ports = 256;
constexpr int name_capacity = 128;
struct Name {
    char text[name_capacity];
};

int compare_names(const void* a, const void* b) {
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

} // namespace

const char* port_name_examples() { return "/dev/cu.usbserial-A10K1234, /dev/cu.usbmodem1101"; }

void list_serial_ports(const char* root, PortFound found, void* context) {
    char dev_path[PATH_MAX];
    std::snprintf(dev_path, sizeof dev_path, "%s/dev", root);
    std::vector<Name> names;
    if (DIR* dir = opendir(dev_path)) {
        while (dirent* entry = readdir(dir)) {
            if (names.size() < max_ports && std::strncmp(entry->d_name, "cu.", 3) == 0 &&
                std::strlen(entry->d_name) + 5 < name_capacity) {
                names.emplace_back();
                std::snprintf(names.back().text, name_capacity, "/dev/%s", entry->d_name);
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
