// The web server and the MQTT publisher of the long-running run, as this
// build has them. Linked beside the program's entry, so that the core of the
// program builds with only a compiler and CMake.
#include "service/serve.h"

#ifdef TOLVANER_HAVE_HTTP
#include "web/http_service.h"
#include "web/serve_config.h"
#endif
#ifdef TOLVANER_HAVE_MQTT
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_publisher.h"
#endif

#include <cstdio>
#include <cstdlib>

namespace {

struct Fronts {
#ifdef TOLVANER_HAVE_HTTP
    ServeConfig http_config;
    HttpService http;
#endif
#ifdef TOLVANER_HAVE_MQTT
    MqttOptions mqtt_options;
    MqttPublisher mqtt;
    bool mqtt_on;
#endif
};

// One run of fronts for the program's one long-running run; made when it
// starts.
Fronts* fronts_of_the_run() {
    static Fronts* fronts = new Fronts{};
    return fronts;
}

bool take(const ServeRequest& r, [[maybe_unused]] Fronts& f) {
    if (r.serve_address != nullptr) {
#ifdef TOLVANER_HAVE_HTTP
        char why[300];
        if (!serve_address_parse(r.serve_address, f.http_config, why, sizeof why)) {
            std::fprintf(stderr, "tolvaner: --serve %s\n", why);
            return false;
        }
#else
        std::fputs("tolvaner: --serve is not built into this program (built without "
                   "cpp-httplib)\n",
                   stderr);
        return false;
#endif
    }
    if (r.mqtt_count > 0) {
#ifdef TOLVANER_HAVE_MQTT
        for (int i = 0; i < r.mqtt_count; ++i) {
            if (const char* why =
                    mqtt_take_option(f.mqtt_options, r.mqtt_names[i], r.mqtt_values[i])) {
                std::fprintf(stderr, "tolvaner: %s\n", why);
                return false;
            }
        }
        if (const char* why =
                mqtt_finish_options(f.mqtt_options, std::getenv(mqtt_password_variable))) {
            std::fprintf(stderr, "tolvaner: %s\n", why);
            return false;
        }
#else
        std::fputs("tolvaner: --mqtt is not built into this program (built without "
                   "libmosquitto)\n",
                   stderr);
        return false;
#endif
    }
    return true;
}

void stop() {
    [[maybe_unused]] Fronts& f = *fronts_of_the_run();
#ifdef TOLVANER_HAVE_MQTT
    if (f.mqtt_on) {
        mqtt_stop(f.mqtt);
        f.mqtt_on = false;
    }
#endif
#ifdef TOLVANER_HAVE_HTTP
    http_service_stop(f.http);
#endif
}

bool start(const ServeRequest& r, [[maybe_unused]] MeterBoard& board) {
    Fronts& f = *fronts_of_the_run();
    if (!take(r, f)) {
        return false;
    }
#ifdef TOLVANER_HAVE_HTTP
    if (r.serve_address != nullptr) {
        char why[300];
        if (!http_service_start(f.http, f.http_config, board, why, sizeof why)) {
            std::fprintf(stderr, "tolvaner: --serve %s: %s\n", r.serve_address, why);
            return false;
        }
        std::fprintf(stderr, "tolvaner: serving %s\n", f.http.url);
    }
#endif
#ifdef TOLVANER_HAVE_MQTT
    if (r.mqtt_count > 0) {
        if (!mqtt_start(f.mqtt, f.mqtt_options, board, r.ports[0])) {
            stop();
            return false;
        }
        f.mqtt_on = true;
    }
#endif
    return true;
}

const ServeFronts fronts_table{start, stop};

} // namespace

const ServeFronts* built_in_serve_fronts() { return &fronts_table; }
