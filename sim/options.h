// The simulator's command line: tolvaner-sim [OPTIONS] [-- PROGRAM [ARGS...]]
#pragma once

#include "sim/line.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvaner::sim {

// The command line admits loads up to this many kilowatts.
constexpr double max_load_kw = 1'000'000.0;

struct Options {
    DeviceConfig device;
    Fault fault = Fault::none;
    bool trace = false;
    bool help = false;
    std::optional<std::string> link;
    std::optional<std::string> port;  // an existing serial port to serve instead of a pty
    std::vector<std::string> program; // PROGRAM and its ARGS; empty to serve alone
};

struct ParsedOptions {
    std::optional<Options> options; // absent when the command line is wrong
    std::string error;              // what is wrong with it, for the operator
};

// `args` are the arguments after the program name.
ParsedOptions parse_options(std::span<const std::string> args);

const char* fault_name(Fault fault);

// The usage, the options and the device model in short.
std::string help_text();

} // namespace tolvaner::sim
