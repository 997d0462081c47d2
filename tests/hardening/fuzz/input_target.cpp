// Fuzz target: whatever the operator types, through the token reader, the
// number reader and the command dispatch, against the fake platform with a
// device that answers every query. Every frame on the wire must be one of the
// device's requests, whole, with a good checksum and a value in its range, and
// the frames must be exactly those that the typed words ask for: a setting
// only with a plain decimal number in its range as its next word.
#include "link/frame_link.h"
#include "tests/hardening/fuzz/fuzz_support.h"
#include "tests/hardening/operator_model.h"
#include "tests/support/fake_platform.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using fake::Bytes;
using hardening::catalogue_fault;
using hardening::expected_requests;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    std::memset(tx_buffer, 0, sizeof tx_buffer);
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    bytes_read = 0;
    // Every query gets a good answer, so that the displays run too.
    for (std::size_t i = 0; i <= size / 2; ++i) {
        fake::platform().replies.push_back({fake::frame({0x52, 2, 0x0D, 0x0A})});
    }

    std::FILE* input = fuzz::input_from(data, size);
    int status;
    {
        fuzz::CapturedStdout captured;
        status = fuzz::run_console_on(input);
    }
    std::fclose(input);

    Bytes wire = fake::wire();
    if (const char* what = catalogue_fault(wire)) {
        fuzz::fail(what, "", text(wire));
    }
    Bytes expected = expected_requests(data, size);
    if (wire != expected) {
        fuzz::fail("the requests on the wire are not those typed", text(expected), text(wire));
    }
    if (status != 0) {
        fuzz::fail("the session did not end with status 0", "0", std::to_string(status));
    }
    return 0;
}
