// The command loop allocates nothing: every heap allocation the process makes
// is counted, and a long session of every command, with good replies, faults,
// refused entries and junk, must add none once start-up is over. The system
// and the port here are a small device of fixed buffers, because the shared fake allocates
// as it records.
#include "console/console.h"
#include "port/serial_port.h"
#include "program/command_line.h"
#include "system/system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TOLVANER_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLVANER_UNDER_ASAN 1
#endif
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void count_one() {
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

#ifdef TOLVANER_UNDER_ASAN
// The sanitizer owns malloc; it calls this hook for every allocation.
#include <sanitizer/allocator_interface.h>

namespace {
void on_malloc(const volatile void*, std::size_t) { count_one(); }
void on_free(const volatile void*) {}
const int hooked = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
} // namespace
#else
// glibc lets a program replace malloc; operator new comes through here too.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
    count_one();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    count_one();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    count_one();
    return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    count_one();
    *out = __libc_memalign(alignment, size);
    return *out != nullptr ? 0 : ENOMEM;
}
void free(void* p) { __libc_free(p); }
}
#endif

// The device: answers each whole request at once from fixed buffers.
namespace {

std::uint8_t request[8];
int request_length;
std::uint8_t pending[32];
int pending_length;
long requests_seen;
long reads;

void answer(const std::uint8_t* body, int length) {
    std::uint8_t sum = 0;
    for (int i = 0; i < length; ++i) {
        pending[i] = body[i];
        sum ^= body[i];
    }
    pending[length] = sum;
    pending_length = length + 1;
}

void on_request() {
    ++requests_seen;
    static const std::uint8_t id[] = {'I', 4, 'T', 'L', 'V', '1'};
    static const std::uint8_t rev[] = {'C', 1, 12};
    static const std::uint8_t wide[] = {'R', 2, 0xE8, 0x03};
    static const std::uint8_t narrow[] = {'R', 1, 'A'};
    static const std::uint8_t ack[] = {'D', 0};
    switch (request[0]) {
    case 'I':
        answer(id, sizeof id);
        break;
    case 'C':
        // Every other one cut short, so that the fault paths run too.
        answer(rev, sizeof rev);
        if (requests_seen % 2 == 0) {
            pending_length = 2;
        }
        break;
    case 'R':
        if (request[2] == 'V' || request[2] == 'S' || request[2] == 'K') {
            answer(wide, sizeof wide);
        } else {
            answer(narrow, sizeof narrow);
        }
        break;
    default:
        // An answer to a setting, which the next query must throw away.
        answer(ack, sizeof ack);
        break;
    }
}

} // namespace

void system_guard_standard_streams() {}
PortOpenResult port_open(SerialPort&, const char*) { return PortOpenResult::ok; }
std::FILE* system_open_trace(const char* path, char*, int) { return std::fopen(path, "a"); }

void port_close(SerialPort&) { counting = false; }

bool port_write_byte(SerialPort&, std::uint8_t byte) {
    if (request_length < static_cast<int>(sizeof request)) {
        request[request_length++] = byte;
    }
    if (request_length >= 2 && request_length == request[1] + 3) {
        on_request();
        request_length = 0;
    }
    return true;
}

int port_read(SerialPort&, std::uint8_t* buffer, int capacity) {
    // The first read is the start-up read: from here on is the command loop.
    if (reads++ == 0) {
        counting = true;
    }
    int n = pending_length < capacity ? pending_length : capacity;
    std::memcpy(buffer, pending, static_cast<std::size_t>(n));
    pending_length = 0;
    return n;
}

namespace {
// Moved only by waits, so that a wait for a reply that never comes ends.
std::uint64_t clock_us;
} // namespace

int port_read_within(SerialPort& port, std::uint8_t* buffer, int capacity, unsigned timeout_ms) {
    const int got = port_read(port, buffer, capacity);
    if (got == 0) {
        clock_us += timeout_ms * 1000u;
    }
    return got;
}

void port_discard_input(SerialPort&) { pending_length = 0; }

void system_hold_signals() {}
void system_release_signals() {}
int system_held_signal() { return 0; }
void system_end_by_signal(int signal) { std::_Exit(128 + signal); }
bool system_sleep_or_interrupted(unsigned milliseconds) {
    clock_us += milliseconds * 1000u;
    return false;
}
bool system_stdout_is_terminal() { return false; }

void system_pause_ms(unsigned milliseconds) { clock_us += milliseconds * 1000u; }

std::uint64_t system_monotonic_us() { return clock_us; }

WallTime system_wall_time() { return WallTime{2026, 12, 7, 10, 0, 0, 0}; }

namespace {

TEST(Allocation, TheCountSeesAnAllocation) {
    allocations = 0;
    counting = true;
    void* volatile p = std::malloc(24);
    std::string* volatile s = new std::string(100, 'x');
    counting = false;
    std::free(p);
    delete s;
    EXPECT_GE(allocations.load(), 2) << "the count would miss what it is there to find";
}

TEST(Allocation, NoneInALongSessionAfterStartUp) {
    const std::string round = "? i c c r v r s r m r d r k r a r q v 1000 v 0 v 99999 s 4 s 9 "
                              "m 2 m 3 a 7 a 0x3 d t b 0 b 1 b x5 help 5x Verbose junk " +
                              std::string(200, 'j') + " r\t\r\n";
    std::string script;
    constexpr int rounds = 300;
    for (int i = 0; i < rounds; ++i) {
        script += round;
    }
    script += "x\n";

    // Input and output with buffers of their own, set before the session, so
    // that stdio has nothing to allocate later.
    static char in_buffer[4096];
    static char out_buffer[4096];
    std::FILE* in = fmemopen(script.data(), script.size(), "r");
    ASSERT_NE(in, nullptr);
    setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
    std::FILE* out = std::fopen("/dev/null", "w");
    ASSERT_NE(out, nullptr);
    setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

    std::fflush(stdout);
    std::FILE* saved = stdout;
    stdout = out; // glibc lets stdout be reassigned
    allocations = 0;
    // Traced, so that the trace's printing is counted too.
    char program[] = "tolvaner";
    char trace[] = "--trace";
    char trace_file[] = "/dev/null";
    char port[] = "COM1";
    char* argv[] = {program, trace, trace_file, port, nullptr};
    static FrameLink link;
    static WireTrace wire_trace;
    int status = run_tolvaner(4, argv, Surroundings{in, "/", &link, &wire_trace});
    counting = false;
    stdout = saved;
    std::fclose(in);
    std::fclose(out);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(requests_seen, rounds * 15L) << "the session did not run as scripted";
    EXPECT_EQ(allocations.load(), 0);
}

TEST(Allocation, NoneInTheModesAfterTheFirstRead) {
    static char out_buffer[4096];
    std::FILE* out = std::fopen("/dev/null", "w");
    ASSERT_NE(out, nullptr);
    setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
    std::fflush(stdout);
    std::FILE* saved = stdout;
    stdout = out;
    const std::vector<std::vector<std::string>> runs = {
        {"--read", "--json"},
        {"--set", "v=1000", "s=4", "--expect", "product_id=TLV1", "code_revision=12"},
        {"--watch", "0.001", "--count", "200", "--csv"},
        {"--watch", "0.001", "--count", "200"}};
    std::vector<std::pair<long, long>> found;
    found.reserve(runs.size());
    for (std::vector<std::string> args : runs) {
        args.insert(args.begin(), "tolvaner");
        args.push_back("COM1");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        reads = 0;
        allocations = 0;
        static FrameLink link;
        static WireTrace trace;
        run_tolvaner(static_cast<int>(args.size()), argv.data(),
                     Surroundings{stdin, "/", &link, &trace});
        counting = false;
        found.emplace_back(allocations.load(), reads);
    }
    stdout = saved;
    std::fclose(out);
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(found[i].first, 0) << runs[i][0];
        EXPECT_GE(found[i].second, 4) << runs[i][0] << " did not run as asked";
    }
}

} // namespace
