// Runs the console against the simulated device, `tolvaner-sim [OPTIONS]
// --trace -- tolvaner`, several sessions at once: an exchange is mostly
// pauses, so sessions side by side cost little more than one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hardening {

struct SimJob {
    std::vector<std::string> options; // simulator options besides --trace
    std::string input;                // typed all at once, then the end of input
};

struct SimRun {
    bool ended = false; // before the deadline
    int status = -1;
    std::string out;              // the console's
    std::string err;              // the simulator's trace, and anything else
    std::vector<std::uint8_t> rx; // every byte the simulator received, in order
    int dropped = 0;              // requests the simulator dropped as broken
};

std::vector<SimRun> run_with_simulator(const std::vector<SimJob>& jobs, int timeout_ms);

} // namespace hardening
