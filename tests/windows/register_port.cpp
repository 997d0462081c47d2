// Registers a ports-class device the way a driver's installation does, with
// the friendly name the Device Manager shows and the COM name it was given:
//   register_port.exe COM5 "USB Serial Port (COM5)" [USB\VID_0403&PID_6001\A10K1234]
// (the device's instance ID; ROOT\PORTS\COMn when not given).
// Wine makes no such records for the ports it maps; the port-list test needs
// one to see the name taken from them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fputs("usage: register_port COMn FRIENDLY-NAME [INSTANCE-ID]\n", stderr);
        return 2;
    }
    const std::string port = argv[1];
    const std::string friendly = argv[2];
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    const std::string id = argc == 4 ? argv[3] : "ROOT\\PORTS\\" + port;
    if (set == INVALID_HANDLE_VALUE ||
        !SetupDiCreateDeviceInfoA(set, id.c_str(), &GUID_DEVCLASS_PORTS, nullptr, nullptr, 0,
                                  &data) ||
        !SetupDiRegisterDeviceInfo(set, &data, 0, nullptr, nullptr, nullptr) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME,
                                           reinterpret_cast<const BYTE*>(friendly.c_str()),
                                           static_cast<DWORD>(friendly.size() + 1))) {
        std::fprintf(stderr, "register_port: error %lu\n", GetLastError());
        return 1;
    }
    HKEY key =
        SetupDiCreateDevRegKeyA(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE ||
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                       static_cast<DWORD>(port.size() + 1)) != ERROR_SUCCESS) {
        std::fprintf(stderr, "register_port: no PortName: error %lu\n", GetLastError());
        return 1;
    }
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
