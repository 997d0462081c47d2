// Stands in for `tolvaner --serve` in the tests of the web server: the same
// command line and the same start line, but its meters are made up. Each
// sample changes every value a meter has; a meter whose name holds "silent"
// stops answering on SIGUSR1, and one whose name holds "odd" sends bytes
// that must be escaped. SIGTERM or SIGINT stop it; it then says on standard
// error how many samples it published and how long the longest publish took,
// which no client of the server may stretch.
//
// serve_fixture --serve [ADDR:]PORTNUMBER [--watch SECONDS] PORT...
#include "web/http_service.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t silence_requested = 0;

void on_stop(int) { stop_requested = 1; }
void on_silence(int) { silence_requested = 1; }

using Clock = std::chrono::steady_clock;

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void copy_text(char* out, std::size_t capacity, const char* text) {
    std::snprintf(out, capacity, "%s", text);
}

void set_item(MeterState& m, int index, std::int32_t number, const char* text = nullptr,
              int text_length = 0) {
    ItemValue& item = m.items[index];
    item.good = true;
    item.number = number;
    item.text_length = text_length;
    if (text != nullptr) {
        std::memcpy(item.text, text, static_cast<std::size_t>(text_length));
    }
    item.text[text_length] = '\0';
}

// One sample of meter `index`, the `n`th.
void sample(MeterState& m, int index, std::uint64_t n, bool silent, std::int64_t now) {
    ++m.reads_total;
    m.polled_ms = now;
    if (silent) {
        m.status = MeterStatus::no_reply;
        ++m.read_errors_total;
        copy_text(m.cause, sizeof m.cause, "nothing arrived within the settle time");
        return;
    }
    m.status = MeterStatus::up;
    m.cause[0] = '\0';
    m.good_ms = now;
    if (std::strstr(m.given, "odd") != nullptr) {
        const char odd_id[4] = {'T', '"', '\\', static_cast<char>(0x80)};
        set_item(m, 0, 0, odd_id, 4);
        set_item(m, 4, '\n', "\n", 1);
    } else {
        set_item(m, 0, 0, "TLV1", 4);
        set_item(m, 4, 'A', "A", 1);
    }
    set_item(m, 1, 12);
    set_item(m, 2, 1000);
    set_item(m, 3, 200);
    set_item(m, 5, 60);
    set_item(m, 6,
             static_cast<std::int32_t>((n * 37 + static_cast<std::uint64_t>(index) * 50) % 256));
    set_item(m, 7, static_cast<std::int32_t>(n / 2));
}

int usage() {
    std::fprintf(stderr,
                 "usage: serve_fixture --serve [ADDR:]PORTNUMBER [--watch SECONDS] PORT...\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    ServeConfig config;
    double period_s = 1.0;
    int first_port = 1;
    char why[300];
    for (; first_port < argc && std::strncmp(argv[first_port], "--", 2) == 0; first_port += 2) {
        if (first_port + 1 >= argc) {
            return usage();
        }
        if (std::strcmp(argv[first_port], "--serve") == 0) {
            if (!serve_address_parse(argv[first_port + 1], config, why, sizeof why)) {
                std::fprintf(stderr, "serve_fixture: --serve %s\n", why);
                return 1;
            }
        } else if (std::strcmp(argv[first_port], "--watch") == 0) {
            period_s = std::atof(argv[first_port + 1]);
        } else {
            return usage();
        }
    }
    const int meter_count = argc - first_port;
    if (meter_count < 1 || meter_count > board_max_meters || period_s <= 0) {
        return usage();
    }

    auto board = std::make_unique<MeterBoard>();
    board_init(*board, meter_count);
    auto states = std::make_unique<MeterState[]>(static_cast<std::size_t>(meter_count));
    for (int i = 0; i < meter_count; ++i) {
        MeterState& m = states[static_cast<std::size_t>(i)];
        copy_text(m.given, sizeof m.given, argv[first_port + i]);
        copy_text(m.port, sizeof m.port, argv[first_port + i]);
        copy_text(m.label, sizeof m.label, argv[first_port + i]);
        board_publish(*board, i, m, nullptr);
    }

    std::signal(SIGTERM, on_stop);
    std::signal(SIGINT, on_stop);
    std::signal(SIGUSR1, on_silence);
    HttpService service;
    if (!http_service_start(service, config, *board, why, sizeof why)) {
        std::fprintf(stderr, "tolvaner: --serve: %s\n", why);
        return 1;
    }
    std::fprintf(stderr, "tolvaner: serving %s\n", service.url);

    const auto period = std::chrono::microseconds(static_cast<std::int64_t>(period_s * 1e6));
    auto due = Clock::now();
    std::uint64_t samples = 0;
    Clock::duration longest{};
    while (!stop_requested) {
        const std::int64_t now = wall_ms();
        for (int i = 0; i < meter_count; ++i) {
            MeterState& m = states[static_cast<std::size_t>(i)];
            const bool silent = silence_requested && std::strstr(m.given, "silent") != nullptr;
            sample(m, i, samples, silent, now);
            const HistoryPoint point{now, !silent, m.items[6].number, m.items[7].number};
            const auto before = Clock::now();
            board_publish(*board, i, m, &point);
            longest = std::max(longest, Clock::now() - before);
        }
        ++samples;
        due += period;
        while (!stop_requested && Clock::now() < due) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(10)));
        }
    }
    http_service_stop(service);
    std::fprintf(stderr, "serve_fixture: %llu samples; the longest publish took %lld us\n",
                 static_cast<unsigned long long>(samples),
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::microseconds>(longest).count()));
    return 0;
}
