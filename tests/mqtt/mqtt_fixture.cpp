// Stands in for the sampler: feeds two meters to the board every PERIOD_MS and
// publishes the board with the MQTT options given (as NAME or NAME=VALUE).
// Meter 0 has the USB serial number FIX-0A; meter 1 is /dev/ttyFIX1, without.
// Usage: mqtt_fixture PERIOD_MS [MQTT OPTIONS...]
// Standard input, a command a line: "silent N" (meter N stops answering),
// "up N", "set N KEY VALUE", "quit". Standard output: "ready" once the
// publisher runs; after "quit", "slowest_feed_ms N", the longest that handing
// a sample to the board took.
#include "protocol/device_items.h"
#include "mqtt/mqtt_publisher.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

struct Fixture {
    MeterBoard board;
    MqttOptions options;
    MqttPublisher publisher;
    MeterState meters[2];
    std::int64_t slowest_feed_us;
    char input[512];
    std::size_t input_length;
};

void make_meter(MeterState& s, int m) {
    std::snprintf(s.given, sizeof s.given, m == 0 ? "usb:FIX-0A" : "/dev/ttyFIX1");
    std::snprintf(s.port, sizeof s.port, m == 0 ? "/dev/ttyUSB0" : "/dev/ttyFIX1");
    std::snprintf(s.serial, sizeof s.serial, m == 0 ? "FIX-0A" : "");
    std::snprintf(s.label, sizeof s.label, m == 0 ? "FIX-0A" : "/dev/ttyFIX1");
    s.status = MeterStatus::up;
    const std::int32_t numbers[board_item_count] = {0, 7, 1000, 4, 'I', 3, 0, 100 * (m + 1)};
    for (int i = 0; i < board_item_count; ++i) {
        s.items[i] = ItemValue{true, numbers[i], {}, i == 0 ? 4 : i == 4 ? 1 : 0};
    }
    std::memcpy(s.items[0].text, "TV10", 4);
    s.items[4].text[0] = 'I';
}

// A poll: new live values while the meter answers; while it is silent the
// values it gave before stay on the board, marked by its status only.
void feed(Fixture& f, MeterState& s, int m) {
    using namespace std::chrono;
    s.polled_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    ++s.reads_total;
    if (s.status == MeterStatus::up) {
        s.items[6].number = static_cast<std::int32_t>(s.reads_total % 256);
        ++s.items[7].number;
        s.good_ms = s.polled_ms;
    }
    const HistoryPoint point{s.polled_ms, s.status == MeterStatus::up, s.items[6].number,
                             s.items[7].number};
    const auto start = steady_clock::now();
    board_publish(f.board, m, s, &point);
    const std::int64_t took = duration_cast<microseconds>(steady_clock::now() - start).count();
    f.slowest_feed_us = took > f.slowest_feed_us ? took : f.slowest_feed_us;
}

// False on "quit".
bool command(Fixture& f, const char* line) {
    char verb[16] = "", key[32] = "";
    int m = 0, value = 0;
    const int n = std::sscanf(line, "%15s %d %31s %d", verb, &m, key, &value);
    MeterState& s = f.meters[m == 1 ? 1 : 0];
    const DeviceItem* item = item_by_key(key, static_cast<int>(std::strlen(key)));
    if (std::strcmp(verb, "silent") == 0 || std::strcmp(verb, "up") == 0) {
        s.status = verb[0] == 's' ? MeterStatus::no_reply : MeterStatus::up;
        std::snprintf(s.cause, sizeof s.cause, verb[0] == 's' ? "no reply" : "");
    } else if (std::strcmp(verb, "set") == 0 && n == 4 && item != nullptr) {
        s.items[item - device_items].number = value;
    }
    return std::strcmp(verb, "quit") != 0;
}

} // namespace

int main(int argc, char** argv) {
    static Fixture f;
    for (int i = 2; i < argc; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%.*s", static_cast<int>(std::strcspn(argv[i], "=")),
                      argv[i]);
        const char* equals = std::strchr(argv[i], '=');
        if (const char* why = mqtt_take_option(f.options, name, equals ? equals + 1 : nullptr)) {
            std::fprintf(stderr, "mqtt_fixture: %s\n", why);
            return 1;
        }
    }
    if (const char* why = mqtt_finish_options(f.options, std::getenv(mqtt_password_variable))) {
        std::fprintf(stderr, "mqtt_fixture: %s\n", why);
        return 1;
    }
    board_init(f.board, 2);
    make_meter(f.meters[0], 0);
    make_meter(f.meters[1], 1);
    if (argc < 2 || !mqtt_start(f.publisher, f.options, f.board, f.meters[0].given)) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const auto period = std::chrono::milliseconds(std::atoi(argv[1]));
    auto next = std::chrono::steady_clock::now();
    for (bool running = true; running;) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, wait.count() > 0 ? static_cast<int>(wait.count()) : 0) > 0) {
            const ssize_t n =
                read(STDIN_FILENO, f.input + f.input_length, sizeof f.input - 1 - f.input_length);
            running = n > 0;
            f.input_length += n > 0 ? static_cast<std::size_t>(n) : 0;
            f.input[f.input_length] = '\0';
            for (char* end; (end = std::strchr(f.input, '\n')) != nullptr;) {
                *end = '\0';
                running = command(f, f.input) && running;
                f.input_length -= static_cast<std::size_t>(end + 1 - f.input);
                std::memmove(f.input, end + 1, f.input_length + 1);
            }
        }
        if (std::chrono::steady_clock::now() >= next) {
            feed(f, f.meters[0], 0);
            feed(f, f.meters[1], 1);
            next += period;
        }
    }
    mqtt_stop(f.publisher);
    std::printf("slowest_feed_ms %lld\n", static_cast<long long>(f.slowest_feed_us / 1000));
    return 0;
}
