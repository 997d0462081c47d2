#include "tests/hardening/sim_runner.h"

#include "tests/support/pty_harness.h"

#include <memory>
#include <sstream>

namespace hardening {

namespace {

bool is_hex_byte(const std::string& word) {
    return word.size() == 2 && std::isxdigit(static_cast<unsigned char>(word[0])) &&
           std::isxdigit(static_cast<unsigned char>(word[1]));
}

// Trace lines look like "   12.304 rx 52 01 56 05  gaps 50.1 50.0 50.2".
void read_trace(SimRun& run) {
    std::istringstream lines(run.err);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string time, direction, word;
        if (!(words >> time >> direction) || direction != "rx") {
            continue;
        }
        while (words >> word && is_hex_byte(word)) {
            run.rx.push_back(static_cast<std::uint8_t>(std::stoi(word, nullptr, 16)));
        }
        if (line.find("dropped") != std::string::npos) {
            ++run.dropped;
        }
    }
}

} // namespace

// One thread pumps every session in turn: the harness forks, and a child
// forked from a threaded process may hang in the allocator before exec.
std::vector<SimRun> run_with_simulator(const std::vector<SimJob>& jobs, int timeout_ms) {
    std::vector<std::unique_ptr<e2e::Session>> sessions;
    for (const SimJob& job : jobs) {
        std::vector<std::string> args{TOLVANER_SIM_PATH, "--trace"};
        args.insert(args.end(), job.options.begin(), job.options.end());
        args.insert(args.end(), {"--", TOLVANER_PATH});
        sessions.push_back(std::make_unique<e2e::Session>(args));
        sessions.back()->type(job.input);
        sessions.back()->close_input();
    }
    const double deadline = e2e::now_ms() + timeout_ms;
    for (bool running = true; running && e2e::now_ms() < deadline;) {
        running = false;
        for (auto& s : sessions) {
            if (s->status == -1) {
                s->pump_until([&s] { return s->status != -1; }, 2);
                running = true;
            }
        }
    }
    std::vector<SimRun> runs(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        e2e::Session& s = *sessions[i];
        runs[i].ended = s.status != -1 && s.finish(1000);
        runs[i].status = s.status;
        runs[i].out = s.out;
        runs[i].err = s.err;
        read_trace(runs[i]);
    }
    return runs;
}

} // namespace hardening
