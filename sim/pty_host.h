// The device on a pseudo-terminal (POSIX): the simulator's side of the line is
// the master, the port a client opens is the slave. With --port, the device on
// an existing serial port instead, the client at the line's far end.
#pragma once

#include "sim/options.h"

namespace tolvaner::sim {

// Serves the device as `options` say and returns the simulator's exit status:
// 0 after SIGINT or SIGTERM when serving alone, PROGRAM's status (128 + the
// signal if it was killed) when running one, 1 when the port cannot be made or
// opened, or a serial port given with --port hangs up.
int run_simulator(const Options& options);

} // namespace tolvaner::sim
