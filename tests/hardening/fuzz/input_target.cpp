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

#include "modes/modes.h"

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

// The first word typed, given to --set as each setting's value, must be taken
// exactly when the console takes it at that setting's prompt, as the same value.
void check_set_values(const std::uint8_t* data, std::size_t size) {
    std::string word;
    for (std::size_t i = 0;
         i < size && data[i] != 0 && std::strchr(" \t\n\v\f\r", data[i]) == nullptr; ++i) {
        word += static_cast<char>(data[i]);
    }
    for (const char* letter : {"v", "s", "m", "a"}) {
        const std::string typed = std::string(letter) + " " + word + "\n";
        const Bytes console =
            expected_requests(reinterpret_cast<const std::uint8_t*>(typed.data()), typed.size());
        Assignment a{};
        Refusal refusal;
        const std::string argument = std::string(letter) + "=" + word;
        const bool taken = parse_assignment(argument.c_str(), false, a, refusal) == nullptr;
        if (taken != !console.empty()) {
            fuzz::fail("--set and the console disagree on taking a value", typed, argument);
        }
        const std::int32_t value =
            console.size() > 3 ? console[2] | (console[1] == 2 ? console[3] << 8 : 0) : -1;
        if (taken && value != a.number) {
            fuzz::fail("--set and the console take a value differently", std::to_string(value),
                       std::to_string(a.number));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_set_values(data, size);
    fake::reset();
    FrameLink& link = fuzz::console_link();
    std::memset(link.tx_buffer, 0, sizeof link.tx_buffer);
    std::memset(link.rx_buffer, 0, sizeof link.rx_buffer);
    link.bytes_read = 0;
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
