#include "tests/support/fake_platform.h"

#include "link/frame_link.h"
#include "port/serial_port.h"
#include "system/system.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake {

namespace {
Platform state;
}

Platform& platform() { return state; }

void reset() { state = Platform{}; }

void arrive(unsigned long at_ms, const Bytes& bytes) {
    for (std::uint8_t b : bytes) {
        state.incoming.emplace_back(at_ms, b);
    }
    std::stable_sort(state.incoming.begin(), state.incoming.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

Bytes wire() {
    Bytes out;
    for (const WireByte& w : state.written) {
        out.push_back(w.value);
    }
    return out;
}

unsigned long gap_unpaid_at_close() {
    if (state.written.empty()) {
        return 0;
    }
    const unsigned long paid_at = state.written.back().at_ms + byte_gap_ms;
    return state.closed_at_ms >= paid_at ? 0 : paid_at - state.closed_at_ms;
}

} // namespace fake

using fake::state;

namespace {

// The one scripted port stands for whichever SerialPort is given; a call
// that fails leaves the script's reason in it.
template <typename Result>
Result failed(SerialPort& port, Result result) {
    std::snprintf(port.failure, sizeof port.failure, "%s", state.failure_text.c_str());
    return result;
}

} // namespace

void system_guard_standard_streams() {}

PortOpenResult port_open(SerialPort& port, const char* name) {
    state.opened_name = name;
    state.is_open = state.open_result == PortOpenResult::ok;
    if (!state.is_open) {
        return failed(port, state.open_result);
    }
    port.handle = 3;
    return state.open_result;
}

// A real file: the tests read back what the trace wrote.
std::FILE* system_open_trace(const char* path, char* why, int why_capacity) {
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        state.failure_text = std::strerror(errno);
        std::snprintf(why, static_cast<std::size_t>(why_capacity), "%s",
                      state.failure_text.c_str());
    }
    return file;
}

void port_close(SerialPort& port) {
    port.handle = -1;
    const bool was_open = state.is_open;
    state.is_open = false;
    ++state.closes;
    if (!was_open) {
        return;
    }
    state.closed_at_ms = state.now_ms;
    if (state.say_close) {
        std::fprintf(stderr, "fake: closed after %zu bytes, %lu ms of the gap unpaid\n",
                     state.written.size(), fake::gap_unpaid_at_close());
    }
}

bool port_write_byte(SerialPort& port, std::uint8_t byte) {
    if (state.write_fails) {
        return failed(port, false);
    }
    state.written.push_back({byte, state.now_ms});
    fake::Bytes& request = state.partial_request;
    request.push_back(byte);
    if (request.size() >= 2 && request.size() == static_cast<size_t>(request[1]) + 3) {
        request.clear();
        if (!state.replies.empty()) {
            fake::Reply reply = state.replies.front();
            state.replies.pop_front();
            fake::arrive(state.now_ms + reply.delay_ms, reply.bytes);
        }
    }
    return true;
}

int port_read(SerialPort& port, std::uint8_t* buffer, int capacity) {
    if (state.read_fails) {
        return failed(port, -1);
    }
    int count = 0;
    while (count < capacity && !state.incoming.empty() &&
           state.incoming.front().first <= state.now_ms) {
        buffer[count++] = state.incoming.front().second;
        state.incoming.pop_front();
    }
    return count;
}

int port_read_within(SerialPort& port, std::uint8_t* buffer, int capacity, unsigned timeout_ms) {
    if (!state.read_fails &&
        (state.incoming.empty() || state.incoming.front().first > state.now_ms)) {
        // Waiting moves the clock to the next arrival or to the deadline.
        unsigned long deadline = state.now_ms + timeout_ms;
        unsigned long next = state.incoming.empty() ? deadline : state.incoming.front().first;
        state.now_ms = std::min(next, deadline);
    }
    return port_read(port, buffer, capacity);
}

void system_hold_signals() { ++state.hold_depth; }

void system_release_signals() { --state.hold_depth; }

int system_held_signal() { return state.now_ms >= state.signal_at_ms ? state.signal_number : 0; }

void system_end_by_signal(int signal) {
    std::fflush(stdout);
    std::fprintf(stderr, "fake: ended by signal %d\n", signal);
    std::fflush(stderr);
    std::_Exit(128 + signal);
}

bool system_sleep_or_interrupted(unsigned milliseconds) {
    state.now_ms =
        std::min(state.now_ms + milliseconds, std::max(state.now_ms, state.signal_at_ms));
    return system_held_signal() != 0;
}

bool system_stdout_is_terminal() { return state.stdout_terminal; }

void port_discard_input(SerialPort&) {
    ++state.discards;
    while (!state.incoming.empty() && state.incoming.front().first <= state.now_ms) {
        state.incoming.pop_front();
    }
}

void system_pause_ms(unsigned milliseconds) {
    state.pauses.push_back(milliseconds);
    state.now_ms += milliseconds;
}

std::uint64_t system_monotonic_us() { return state.now_ms * 1000u; }

WallTime system_wall_time() {
    // A fixed day, and the virtual clock for the time of day.
    const unsigned long ms = state.now_ms;
    return WallTime{2026,
                    12,
                    7,
                    10,
                    static_cast<int>(ms / 60000 % 60),
                    static_cast<int>(ms / 1000 % 60),
                    static_cast<int>(ms % 1000)};
}
