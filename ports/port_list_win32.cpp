// Serial ports on Windows: those the serial drivers registered under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, each with the name the Device Manager
// shows for it and, for a USB adapter, its IDs and serial number. Nothing
// here opens a port.
#include "ports/port_record.h"

#include "system/text_escape.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t max_ports = 256;
constexpr int text_capacity = 256;

struct Port {
    char name[text_capacity];   // COM3
    char device[text_capacity]; // \Device\Serial0
};

// COMn by number, anything else after them by name.
std::int64_t com_number(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '0' || name[3] > '9') {
        return -1;
    }
    return std::strtoll(name + 3, nullptr, 10);
}

int compare_ports(const void* a, const void* b) {
    const char* x = static_cast<const Port*>(a)->name;
    const char* y = static_cast<const Port*>(b)->name;
    std::int64_t nx = com_number(x);
    std::int64_t ny = com_number(y);
    if ((nx < 0) != (ny < 0)) {
        return nx < 0 ? 1 : -1;
    }
    if (nx >= 0 && nx != ny) {
        return nx < ny ? -1 : 1;
    }
    return std::strcmp(x, y);
}

void read_serialcomm(std::vector<Port>& ports) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0; ports.size() < max_ports; ++index) {
        Port port{};
        DWORD device_size = sizeof port.device;
        DWORD name_size = sizeof port.name - 1;
        DWORD type = 0;
        LONG result = RegEnumValueA(key, index, port.device, &device_size, nullptr, &type,
                                    reinterpret_cast<BYTE*>(port.name), &name_size);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ || name_size == 0) {
            continue;
        }
        port.name[name_size] = '\0'; // the data need not end in a zero
        ports.push_back(port);
    }
    RegCloseKey(key);
}

// The four hex digits after `tag` in a USB hardware ID.
bool usb_id_after(const char* hardware_id, const char* tag, std::uint16_t& value) {
    const char* at = std::strstr(hardware_id, tag);
    if (at == nullptr) {
        return false;
    }
    char digits[5];
    std::snprintf(digits, sizeof digits, "%s", at + 4);
    char* end = nullptr;
    value = static_cast<std::uint16_t>(std::strtoul(digits, &end, 16));
    return end == digits + 4;
}

// "VID_0403&PID_6001" in a USB hardware ID.
bool usb_ids(const char* hardware_id, PortRecord& port) {
    port.usb = usb_id_after(hardware_id, "VID_", port.vendor) &&
               usb_id_after(hardware_id, "PID_", port.product);
    return port.usb;
}

// The instance ID of the USB device behind a port, USB\VID_0403&PID_6001\A10K1234:
// the port's own, or a parent's where the port is one interface of the device
// (...&MI_00\...) or a child of an adapter maker's own bus driver.
bool usb_device_id(HDEVINFO set, SP_DEVINFO_DATA& data, char* id, DWORD capacity) {
    DEVINST device = data.DevInst;
    bool got = SetupDiGetDeviceInstanceIdA(set, &data, id, capacity, nullptr) != FALSE;
    for (int up = 0; got && up < 3; ++up) {
        if (_strnicmp(id, "USB\\", 4) == 0 && std::strstr(id, "VID_") != nullptr &&
            std::strstr(id, "&MI_") == nullptr) {
            return true;
        }
        DEVINST parent = 0;
        got = CM_Get_Parent(&parent, device, 0) == CR_SUCCESS &&
              CM_Get_Device_IDA(parent, id, capacity, 0) == CR_SUCCESS;
        device = parent;
    }
    return false;
}

// The friendly name, USB IDs and serial number of the ports-class device whose PortName is
// `name`, from the Device Manager's records.
void add_device_manager_names(const char* name, PortRecord& port) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
        HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        char port_name[text_capacity] = "";
        DWORD size = sizeof port_name - 1;
        DWORD type = 0;
        LONG result = RegQueryValueExA(key, "PortName", nullptr, &type,
                                       reinterpret_cast<BYTE*>(port_name), &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS || type != REG_SZ || _stricmp(port_name, name) != 0) {
            continue;
        }
        char text[text_capacity];
        if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr)) {
            text[sizeof text - 1] = '\0';
            copy_text(port.description, text);
        }
        char id[text_capacity] = "";
        bool usb_device = usb_device_id(set, data, id, sizeof id);
        if (!(usb_device && usb_ids(id, port)) &&
            SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr)) {
            text[sizeof text - 1] = '\0';
            usb_ids(text, port);
        }
        // The last part of the device's ID is its serial number, unless the
        // device has none: then Windows made one up, with '&' in it.
        const char* serial = std::strrchr(id, '\\');
        if (usb_device && serial != nullptr && serial[1] != '\0' &&
            std::strchr(serial, '&') == nullptr) {
            copy_text(port.serial, serial + 1);
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

const char* port_name_examples() { return "COM1 to COM9, \\\\.\\COM10"; }

void list_serial_ports(const char*, PortFound found, void* context) {
    std::vector<Port> ports;
    read_serialcomm(ports);
    std::qsort(ports.data(), ports.size(), sizeof(Port), compare_ports);
    for (const Port& port : ports) {
        PortRecord record{};
        add_device_manager_names(port.name, record);
        copy_text(record.device, port.device);
        // Only COM1 to COM9 open by their plain name; every other needs the
        // device form.
        std::int64_t number = com_number(port.name);
        if (number >= 1 && number <= 9 && port.name[4] == '\0') {
            copy_text(record.name, port.name);
        } else {
            std::snprintf(record.name, sizeof record.name, "\\\\.\\%s", port.name);
        }
        found(record, context);
    }
}
