// Stands in for the sampler: feeds two meters to the board every PERIOD_MS
// and publishes the board with the MQTT options given, as `tolvaner --mqtt`
// does. Meter 0 has the USB serial number FIX-0A, meter 1 is /dev/ttyFIX1
// without one.
// Usage: mqtt_fixture PERIOD_MS [MQTT OPTIONS...]
// Standard input, a command a line: "silent N" (meter N stops answering),
// "up N", "set N KEY VALUE", "quit". Standard output: "ready" once the
// publisher runs; after "quit", "slowest_feed_ms N": the longest that
// handing one sample to the board took.
#include "protocol/device_items.h"
#include "service/mqtt_publisher.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int meter_count = 2;

struct Fixture {
    MeterBoard board;
    MqttOptions options;
    MqttPublisher publisher;
    MeterState meters[meter_count];
    std::int64_t slowest_feed_us;
    char input[512];
    std::size_t input_length;
};

std::int64_t wall_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void make_meter(MeterState& s, int m) {
    s = MeterState{};
    std::snprintf(s.given, sizeof s.given, m == 0 ? "usb:FIX-0A" : "/dev/ttyFIX1");
    std::snprintf(s.port, sizeof s.port, m == 0 ? "/dev/ttyUSB0" : "/dev/ttyFIX1");
    std::snprintf(s.serial, sizeof s.serial, m == 0 ? "FIX-0A" : "");
    std::snprintf(s.label, sizeof s.label, m == 0 ? "FIX-0A" : "/dev/ttyFIX1");
    s.status = MeterStatus::up;
    const std::int32_t numbers[board_item_count] = {0, 7, 1000, 4, 'I', 3, 0, 100 * (m + 1)};
    for (int i = 0; i < board_item_count; ++i) {
        s.items[i] = ItemValue{true, numbers[i], {}, 0};
    }
    std::memcpy(s.items[0].text, "TV10", 4);
    s.items[0].text_length = 4;
    s.items[4].text[0] = 'I';
    s.items[4].text_length = 1;
}

// A poll of the meter: new live values while it answers; while it is silent
// the values it gave before stay on the board, marked by its status only.
void feed(Fixture& f, int m) {
    MeterState& s = f.meters[m];
    s.polled_ms = wall_ms();
    ++s.reads_total;
    if (s.status == MeterStatus::up) {
        s.items[6].number = static_cast<std::int32_t>(s.reads_total % 256);
        ++s.items[7].number;
        s.good_ms = s.polled_ms;
    } else {
        ++s.read_errors_total;
    }
    const HistoryPoint point{s.polled_ms, s.status == MeterStatus::up, s.items[6].number,
                             s.items[7].number};
    const auto start = std::chrono::steady_clock::now();
    board_publish(f.board, m, s, &point);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    f.slowest_feed_us = took > f.slowest_feed_us ? took : f.slowest_feed_us;
}

// False on "quit".
bool command(Fixture& f, const char* line) {
    char verb[16] = "";
    char key[32] = "";
    int m = 0;
    int value = 0;
    const int n = std::sscanf(line, "%15s %d %31s %d", verb, &m, key, &value);
    if (std::strcmp(verb, "quit") == 0) {
        return false;
    }
    if (n < 2 || m < 0 || m >= meter_count) {
        return true;
    }
    MeterState& s = f.meters[m];
    if (std::strcmp(verb, "silent") == 0 || std::strcmp(verb, "up") == 0) {
        s.status = verb[0] == 's' ? MeterStatus::no_reply : MeterStatus::up;
        std::snprintf(s.cause, sizeof s.cause, verb[0] == 's' ? "no reply" : "");
    } else if (const DeviceItem* item = item_by_key(key, static_cast<int>(std::strlen(key)));
               std::strcmp(verb, "set") == 0 && n == 4 && item != nullptr) {
        s.items[item - device_items].number = value;
    }
    return true;
}

// Takes the options as the command line does: NAME=VALUE or NAME VALUE.
bool take_options(Fixture& f, int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%.*s", static_cast<int>(std::strcspn(argv[i], "=")),
                      argv[i]);
        const char* equals = std::strchr(argv[i], '=');
        const char* value = equals != nullptr ? equals + 1 : nullptr;
        for (const MqttOptionName& option : mqtt_option_names) {
            if (std::strcmp(option.name, name) == 0 && value == nullptr &&
                option.value == MqttValue::required && i + 1 < argc) {
                value = argv[++i];
            }
        }
        if (const char* why = mqtt_take_option(f.options, name, value)) {
            std::fprintf(stderr, "mqtt_fixture: %s\n", why);
            return false;
        }
    }
    if (const char* why = mqtt_finish_options(f.options, std::getenv(mqtt_password_variable))) {
        std::fprintf(stderr, "mqtt_fixture: %s\n", why);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    static Fixture f;
    if (argc < 2 || !take_options(f, argc, argv)) {
        return 1;
    }
    const int period_ms = std::atoi(argv[1]);
    board_init(f.board, meter_count);
    for (int m = 0; m < meter_count; ++m) {
        make_meter(f.meters[m], m);
    }
    if (!mqtt_start(f.publisher, f.options, f.board, f.meters[0].given)) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    auto next = std::chrono::steady_clock::now();
    for (bool running = true; running;) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            next - std::chrono::steady_clock::now());
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, wait.count() > 0 ? static_cast<int>(wait.count()) : 0) > 0) {
            const ssize_t n =
                read(STDIN_FILENO, f.input + f.input_length, sizeof f.input - 1 - f.input_length);
            running = n > 0;
            f.input_length += n > 0 ? static_cast<std::size_t>(n) : 0;
            f.input[f.input_length] = '\0';
            while (char* end = std::strchr(f.input, '\n')) {
                *end = '\0';
                running = running && command(f, f.input);
                f.input_length -= static_cast<std::size_t>(end + 1 - f.input);
                std::memmove(f.input, end + 1, f.input_length + 1);
            }
        }
        if (std::chrono::steady_clock::now() >= next) {
            for (int m = 0; m < meter_count; ++m) {
                feed(f, m);
            }
            next += std::chrono::milliseconds(period_ms);
        }
    }
    mqtt_stop(f.publisher);
    std::printf("slowest_feed_ms %lld\n", static_cast<long long>(f.slowest_feed_us / 1000));
    return 0;
}
