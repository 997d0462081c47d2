// Fuzz target: a port given as usb:..., then, after a line end, an identity
// text as a port list might give it. Nothing may crash on either; a selector
// that is read must be read back the same from its own canonical form, must
// match an identity that the port lists would make for its device, whatever
// its serial number holds, and must not match another vendor's.
#include "link/port_identity.h"
#include "link/port_selector.h"
#include "tests/hardening/fuzz/fuzz_support.h"
#include "tests/support/fake_platform.h"

#include <cstdio>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset(); // the port code linked in here stands on the fake platform
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text = input.substr(0, input.find('\n')).c_str();
    const std::string identity =
        input.find('\n') == std::string::npos ? "" : input.substr(input.find('\n') + 1).c_str();
    UsbSelector selector{};
    bool read = parse_usb_selector(text.c_str(), selector);
    usb_identity_matches(identity.c_str(), selector);
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
    if (std::strlen(selector.serial) > 60) {
        return 0; // the port lists keep no more of a serial number, escaped
    }
    identity_clear();
    identity_add("driver", "x");
    char pair[16];
    std::snprintf(pair, sizeof pair, "%04X:%04X", selector.vendor, selector.product);
    identity_add("usb", pair);
    identity_add_quoted("serial", selector.serial);
    if (!usb_identity_matches(identity_text(), selector)) {
        fuzz::fail("its own device's identity does not match", text, fuzz::escape(identity_text()));
    }
    selector.vendor = static_cast<std::uint16_t>(selector.vendor + 1);
    if (usb_identity_matches(identity_text(), selector)) {
        fuzz::fail("another vendor's device matches", text, fuzz::escape(identity_text()));
    }
    return 0;
}
