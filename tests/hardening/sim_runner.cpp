#include "tests/hardening/sim_runner.h"

#include "tests/support/pty_harness.h"

#include <sstream>
#include <thread>

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

SimRun run_one(const SimJob& job, int timeout_ms) {
    std::vector<std::string> args{TOLVANER_SIM_PATH, "--trace"};
    args.insert(args.end(), job.options.begin(), job.options.end());
    args.insert(args.end(), {"--", TOLVANER_PATH});
    e2e::Session session(args);
    session.type(job.input);
    SimRun run;
    run.ended = session.finish(timeout_ms);
    run.status = session.status;
    run.out = session.out;
    run.err = session.err;
    read_trace(run);
    return run;
}

} // namespace

std::vector<SimRun> run_with_simulator(const std::vector<SimJob>& jobs, int timeout_ms) {
    std::vector<SimRun> runs(jobs.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        threads.emplace_back([&, i] { runs[i] = run_one(jobs[i], timeout_ms); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    return runs;
}

} // namespace hardening
