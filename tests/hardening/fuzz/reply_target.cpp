// Fuzz target: whatever the port delivers, through receive, judge, decode and
// display. The input says what the receive buffer held before, what the
// start-up read finds, and then, step by step, what the operator asks and the
// 0 to 32 bytes that step's read delivers. The console must show exactly what
// the bytes of that one read say: a value only from exactly one whole frame
// with a zero XOR and room for the value, a fault otherwise, and nothing left
// over from earlier reads.
#include "link/frame_link.h"
#include "tests/hardening/fuzz/fuzz_support.h"
#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using fake::Bytes;

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return done() ? 0 : data_[pos_++]; }
    // A length byte (0 to 32), then that many bytes, fewer at the end of input.
    Bytes chunk() {
        std::size_t want = byte() % (frame_buffer_size + 1);
        Bytes out;
        while (out.size() < want && !done()) {
            out.push_back(data_[pos_++]);
        }
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

enum class Kind { product_id, code_revision, readback, setting, bad_item };

struct Step {
    Kind kind;
    const char* typed;
    char item; // readbacks only
};

constexpr Step steps[] = {
    {Kind::product_id, "i\n", 0},
    {Kind::code_revision, "c\n", 0},
    {Kind::readback, "r v\n", 'V'},
    {Kind::readback, "r s\n", 'S'},
    {Kind::readback, "r m\n", 'M'},
    {Kind::readback, "r d\n", 'D'},
    {Kind::readback, "r k\n", 'K'},
    {Kind::readback, "r a\n", 'A'},
    // A setting whose answer the next query must throw away.
    {Kind::setting, "d\n", 0},
    // No such item: nothing is sent and nothing read.
    {Kind::bad_item, "r q\n", 0},
};
constexpr std::size_t step_kinds = sizeof steps / sizeof steps[0];
constexpr int max_steps = 48;

const std::string prompt = "Enter user command: ";
const std::string item_prompt = "Enter V, S, M, D, K, or A: ";
const std::string fault = "Packet checksum fault\n";

// The payload of the frame at the start of what one read delivered, if that
// frame came whole (for a reply: and nothing after it) and its XOR is zero.
std::optional<Bytes> good_payload(const Bytes& got, bool reply = true) {
    if (got.size() < 3 || got[1] + 3u > got.size() || (reply && got[1] + 3u != got.size())) {
        return std::nullopt;
    }
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < got[1] + 3u; ++i) {
        sum ^= got[i];
    }
    if (sum != 0) {
        return std::nullopt;
    }
    return Bytes(got.begin() + 2, got.begin() + 2 + got[1]);
}

std::string format(const char* pattern, int value) {
    char line[64];
    std::snprintf(line, sizeof line, pattern, value);
    return line;
}

// A device byte as the console shows it: printable ASCII as it is, else \xNN.
std::string shown_byte(std::uint8_t b) {
    if (b >= 0x20 && b <= 0x7E) {
        return std::string(1, static_cast<char>(b));
    }
    return format("\\x%02X", b);
}

std::string readback_line(char item, const Bytes& p) {
    int wide = p[0] | (p.size() > 1 ? p[1] << 8 : 0);
    switch (item) {
    case 'V':
        return format("Pulse Value = %d watt-hours\n", wide);
    case 'S':
        return format("Full Scale value = %d kilowatts\n", wide);
    case 'K':
        return format("most recent KWH value = %d\n", wide);
    case 'M':
        return "Output Mode = " + shown_byte(p[0]) + "\n";
    case 'D':
        return format("most recent DAC value = %d\n", p[0]);
    default:
        return format("Average Interval = %d minutes\n", static_cast<std::int8_t>(p[0]));
    }
}

// What the console must print for a step whose read delivered `got`.
std::string expected_display(const Step& step, const Bytes& got) {
    std::optional<Bytes> p = good_payload(got);
    switch (step.kind) {
    case Kind::product_id: {
        if (!p) {
            return fault;
        }
        std::string id;
        for (std::size_t i = 0; i < p->size() && i < 4 && (*p)[i] != 0; ++i) {
            id += shown_byte((*p)[i]);
        }
        return "Product ID = " + id + "\n";
    }
    case Kind::code_revision:
        if (!p || p->empty()) {
            return fault;
        }
        return format("Code revision level = %d\n", static_cast<std::int8_t>((*p)[0]));
    case Kind::readback: {
        std::size_t needed = std::strchr("VSK", step.item) != nullptr ? 2 : 1;
        if (!p || p->size() < needed) {
            return item_prompt + fault +
                   format("number of bytes read = %d\n", static_cast<int>(got.size()));
        }
        return item_prompt + readback_line(step.item, *p);
    }
    case Kind::setting:
        return "";
    case Kind::bad_item:
        return item_prompt + "invalid entry\n";
    }
    return "";
}

Bytes request_for(const Step& step) {
    switch (step.kind) {
    case Kind::product_id:
        return {0x49, 0x00, 0x49};
    case Kind::code_revision:
        return {0x43, 0x00, 0x43};
    case Kind::readback:
        return {0x52, 0x01, static_cast<std::uint8_t>(step.item),
                static_cast<std::uint8_t>(0x53 ^ step.item)};
    case Kind::setting:
        return {0x44, 0x00, 0x44};
    case Kind::bad_item:
        return {};
    }
    return {};
}

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    fake::reset();
    FrameLink& link = fuzz::console_link();
    std::memset(link.tx_buffer, 0, sizeof link.tx_buffer);
    std::memset(link.rx_buffer, 0, sizeof link.rx_buffer);
    Bytes earlier = in.chunk();
    std::copy(earlier.begin(), earlier.end(), link.rx_buffer);
    link.bytes_read = static_cast<std::uint32_t>(earlier.size());

    Bytes waiting = in.chunk();
    fake::arrive(0, waiting);
    std::string expected;
    if (!waiting.empty() && !good_payload(waiting, false)) {
        expected += fault;
    }

    std::string typed;
    Bytes requests;
    for (int n = 0; n < max_steps && !in.done(); ++n) {
        const Step& step = steps[in.byte() % step_kinds];
        typed += step.typed;
        expected += prompt;
        if (step.kind == Kind::bad_item) {
            expected += expected_display(step, {});
            continue;
        }
        Bytes got = in.chunk();
        fake::platform().replies.push_back({got});
        expected += expected_display(step, got);
        Bytes request = request_for(step);
        requests.insert(requests.end(), request.begin(), request.end());
    }
    typed += "x\n";
    expected += prompt;

    std::FILE* input =
        fuzz::input_from(reinterpret_cast<const std::uint8_t*>(typed.data()), typed.size());
    fuzz::CapturedStdout captured;
    int status = fuzz::run_console_on(input);
    std::string shown = captured.take();
    std::fclose(input);

    if (shown != expected) {
        fuzz::fail("the console showed something other than what the replies say", expected, shown);
    }
    if (fake::wire() != requests) {
        fuzz::fail("the requests on the wire are not those asked for", text(requests),
                   text(fake::wire()));
    }
    if (status != 0) {
        fuzz::fail("the session did not end with status 0", "0", std::to_string(status));
    }
    return 0;
}
