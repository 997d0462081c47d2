// One line of the trace, e.g.
//    12.304 rx 52 01 56 05  gaps 50.1 50.0 50.2
//    12.325 tx 52 02 E8 03 BF
#pragma once

#include "sim/line.h"

#include <string>

namespace tolvaner::sim {

std::string format_trace(const TraceEvent& event);

} // namespace tolvaner::sim
