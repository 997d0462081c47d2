#include "sim/options.h"
#include "sim/pty_host.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    tolvaner::sim::ParsedOptions parsed = tolvaner::sim::parse_options(args);
    if (!parsed.options) {
        std::fprintf(stderr, "tolvaner-sim: %s\nTry 'tolvaner-sim --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(tolvaner::sim::help_text().c_str(), stdout);
        return 0;
    }
    return tolvaner::sim::run_simulator(*parsed.options);
}
