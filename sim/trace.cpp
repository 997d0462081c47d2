#include "sim/trace.h"

#include <cstdio>

namespace tolvaner::sim {

namespace {

double to_ms(Micros t) { return static_cast<double>(t.count()) / 1000.0; }

} // namespace

std::string format_trace(const TraceEvent& event) {
    char piece[32];
    std::snprintf(piece, sizeof piece, "%9.3f %s", to_ms(event.at) / 1000.0,
                  event.direction == TraceEvent::Direction::rx ? "rx" : "tx");
    std::string line = piece;
    for (std::uint8_t b : event.bytes) {
        std::snprintf(piece, sizeof piece, " %02X", b);
        line += piece;
    }
    if (!event.gaps.empty()) {
        line += "  gaps";
        for (Micros gap : event.gaps) {
            std::snprintf(piece, sizeof piece, " %.1f", to_ms(gap));
            line += piece;
        }
    }
    if (!event.note.empty()) {
        line += "  (" + event.note + ")";
    }
    return line;
}

} // namespace tolvaner::sim
