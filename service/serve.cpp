#include "service/serve.h"

#include "service/sampler.h"
#include "system/system.h"

#ifdef TOLVANER_HAVE_HTTP
#include "service/http_service.h"
#include "service/serve_config.h"
#endif
#ifdef TOLVANER_HAVE_MQTT
#include "service/mqtt_options.h"
#include "service/mqtt_publisher.h"
#endif

#include <cstdio>
#include <cstdlib>

namespace {

// Everything one run holds, in static storage: the board and each meter's
// loop are large, and live as long as the run.
struct ServeRun {
    MeterBoard board;
    SamplerShared shared;
    Sampler samplers[board_max_meters];
#ifdef TOLVANER_HAVE_HTTP
    ServeConfig http_config;
    HttpService http;
#endif
#ifdef TOLVANER_HAVE_MQTT
    MqttOptions mqtt_options;
    MqttPublisher mqtt;
#endif
};

ServeRun& the_run() {
    static ServeRun run;
    return run;
}

// Takes what the command line asked for, before anything is opened.
bool take_request(ServeRun& run, const ServeRequest& r) {
    if (r.serve_address != nullptr) {
#ifdef TOLVANER_HAVE_HTTP
        char why[300];
        if (!serve_address_parse(r.serve_address, run.http_config, why, sizeof why)) {
            std::fprintf(stderr, "tolvaner: --serve %s\n", why);
            return false;
        }
#else
        std::fputs("tolvaner: --serve is not built into this program (it was built without "
                   "cpp-httplib)\n",
                   stderr);
        return false;
#endif
    }
    if (r.mqtt_count > 0) {
#ifdef TOLVANER_HAVE_MQTT
        run.mqtt_options = MqttOptions{};
        for (int i = 0; i < r.mqtt_count; ++i) {
            if (const char* why = mqtt_take_option(run.mqtt_options, r.mqtt_names[i],
                                                   r.mqtt_values[i])) {
                std::fprintf(stderr, "tolvaner: %s\n", why);
                return false;
            }
        }
        if (const char* why =
                mqtt_finish_options(run.mqtt_options, std::getenv(mqtt_password_variable))) {
            std::fprintf(stderr, "tolvaner: %s\n", why);
            return false;
        }
#else
        std::fputs("tolvaner: --mqtt is not built into this program (it was built without "
                   "libmosquitto)\n",
                   stderr);
        return false;
#endif
    }
    return true;
}

} // namespace

bool serve_has_http() {
#ifdef TOLVANER_HAVE_HTTP
    return true;
#else
    return false;
#endif
}

bool serve_has_mqtt() {
#ifdef TOLVANER_HAVE_MQTT
    return true;
#else
    return false;
#endif
}

int run_serve(const ServeRequest& r) {
    ServeRun& run = the_run();
    if (!take_request(run, r)) {
        return 1;
    }
    // From here SIGINT and SIGTERM are only noted: the loops started below
    // inherit them held, and this thread waits for them.
    system_hold_signals();
    board_init(run.board, r.port_count);
#ifdef TOLVANER_HAVE_HTTP
    if (r.serve_address != nullptr) {
        char why[300];
        if (!http_service_start(run.http, run.http_config, run.board, why, sizeof why)) {
            std::fprintf(stderr, "tolvaner: --serve %s: %s\n", r.serve_address, why);
            return 1;
        }
        std::fprintf(stderr, "tolvaner: serving %s\n", run.http.url);
    }
#endif
#ifdef TOLVANER_HAVE_MQTT
    if (r.mqtt_count > 0 && !mqtt_start(run.mqtt, run.mqtt_options, run.board, r.ports[0])) {
#ifdef TOLVANER_HAVE_HTTP
        http_service_stop(run.http);
#endif
        return 1;
    }
#endif
    run.shared.board = &run.board;
    run.shared.list_root = r.list_root;
    run.shared.period_ms = r.period_ms;
    run.shared.stopping.store(false);
    for (int i = 0; i < r.port_count; ++i) {
        sampler_start(run.samplers[i], run.shared, i, r.ports[i]);
    }
    while (!system_sleep_or_interrupted(1000)) {
    }
    samplers_stop(run.shared);
    for (int i = 0; i < r.port_count; ++i) {
        sampler_join(run.samplers[i]);
    }
#ifdef TOLVANER_HAVE_MQTT
    mqtt_stop(run.mqtt);
#endif
#ifdef TOLVANER_HAVE_HTTP
    http_service_stop(run.http);
#endif
    // Asked to stop, it stopped cleanly: that is success for a service.
    return 0;
}
