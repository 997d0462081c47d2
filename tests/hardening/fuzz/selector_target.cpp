// Fuzz target: a port given as usb:..., then, after a line end, a serial
// number as a port list might give it. Nothing may crash on either; a
// selector that is read must be read back the same from its own canonical
// form, must match the record the port lists would make for its device,
// whatever its serial number holds, and must not match another vendor's.
#include "ports/port_identity.h"
#include "ports/port_selector.h"
#include "tests/hardening/fuzz/fuzz_support.h"
#include "tests/support/fake_platform.h"

#include <cstdio>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset(); // the port code linked in here stands on the fake platform
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text = input.substr(0, input.find('\n')).c_str();
    const std::string serial =
        input.find('\n') == std::string::npos ? "" : input.substr(input.find('\n') + 1).c_str();
    UsbSelector selector{};
    bool read = parse_usb_selector(text.c_str(), selector);
    PortRecord port{};
    port.usb = true;
    std::snprintf(port.serial, sizeof port.serial, "%s", serial.c_str());
    usb_port_matches(port, selector);
    if (!read) {
        return 0;
    }
    char canonical[160];
    std::snprintf(canonical, sizeof canonical, "usb:%04x:%04x%s%s", selector.vendor,
                  selector.product, selector.serial[0] != '\0' ? ":" : "", selector.serial);
    UsbSelector again{};
    if (!parse_usb_selector(canonical, again) || again.vendor != selector.vendor ||
        again.product != selector.product || std::string(again.serial) != selector.serial) {
        fuzz::fail("the canonical form reads back otherwise", text, canonical);
    }
    port.vendor = selector.vendor;
    port.product = selector.product;
    std::snprintf(port.serial, sizeof port.serial, "%s", selector.serial);
    char identity[1600];
    port_identity_text(port, identity, sizeof identity);
    if (!usb_port_matches(port, selector)) {
        fuzz::fail("its own device's record does not match", text, fuzz::escape(identity));
    }
    selector.vendor = static_cast<std::uint16_t>(selector.vendor + 1);
    if (usb_port_matches(port, selector)) {
        fuzz::fail("another vendor's device matches", text, fuzz::escape(identity));
    }
    return 0;
}
