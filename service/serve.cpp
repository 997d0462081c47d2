#include "service/serve.h"

#include "service/sampler.h"
#include "system/system.h"

#include <cstdio>

namespace {

// Everything one run holds: the board and each meter's loop are large, and
// live as long as the run.
struct ServeRun {
    MeterBoard board;
    SamplerShared shared;
    Sampler samplers[board_max_meters];
};

} // namespace

int run_serve(const ServeRequest& r, const ServeFronts* fronts) {
    if ((r.serve_address != nullptr || r.mqtt_count > 0) && fronts == nullptr) {
        std::fputs("tolvaner: --serve and --mqtt are not built into this program\n", stderr);
        return 1;
    }
    static ServeRun run;
    board_init(run.board, r.port_count);
    // From here SIGINT and SIGTERM are only noted: the loops started below
    // inherit them held, and this thread waits for them.
    system_hold_signals();
    if (fronts != nullptr && !fronts->start(r, run.board)) {
        return 1;
    }
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
    if (fronts != nullptr) {
        fronts->stop();
    }
    // Asked to stop, it stopped cleanly: that is success for a service.
    return 0;
}
