// A session of the built program under the simulator, for the end-to-end
// suites of the console and the modes (their targets define TOLVANER_PATH).
#pragma once

#include "tests/support/harness.h"

#include <optional>
#include <string>
#include <vector>

namespace sim_session {

using namespace harness;

inline std::string console_path() { return TOLVANER_PATH; }

struct Session {
    std::string output;
    std::string errors;
    std::optional<int> status;
};

// One console session under `tolvaner-sim OPTIONS -- tolvaner ARGS`, with its
// standard output into `stdout_to` when given.
inline Session run_session(std::vector<std::string> options, const std::string& input,
                           std::vector<std::string> args = {}, const std::string& stdout_to = "") {
    std::vector<std::string> argv{sim_path()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    if (!stdout_to.empty()) {
        argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + stdout_to});
    }
    argv.push_back(console_path());
    argv.insert(argv.end(), args.begin(), args.end());
    Process sim(argv);
    sim.send(input, true);
    Session s;
    s.output = sim.read_output(after(60s));
    s.errors = sim.read_errors(after(10s));
    s.status = sim.wait(after(10s));
    return s;
}

} // namespace sim_session
