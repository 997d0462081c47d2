#include "link/wire_trace.h"

#include "link/frame_link.h"
#include "link/platform.h"

#include <cstdio>

namespace {

std::FILE* trace_file;
// The trace is written from the command loop, which allocates nothing: stdio
// gets its buffer here instead of from the heap on the first write.
char trace_buffer[4096];

WallTime frame_start;
std::uint64_t byte_at_us[frame_buffer_size];

void stamp(const WallTime& t, const char* direction) {
    std::fprintf(trace_file, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s", t.year, t.month, t.day,
                 t.hour, t.minute, t.second, t.millisecond, direction);
}

void bytes_in_hex(const std::uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        std::fprintf(trace_file, " %02X", bytes[i]);
    }
}

// A line lost to a crash or a kill is the one that was wanted.
void end_line() {
    std::fputc('\n', trace_file);
    std::fflush(trace_file);
}

} // namespace

const char* read_verdict_text(ReadVerdict verdict) {
    switch (verdict) {
    case ReadVerdict::good:
        return "good";
    case ReadVerdict::nothing_arrived:
        return "fault: nothing arrived";
    case ReadVerdict::shorter_than_header:
        return "fault: too short for a frame";
    case ReadVerdict::length_over_buffer:
        return "fault: length byte over 29";
    case ReadVerdict::shorter_than_length:
        return "fault: shorter than its length byte says";
    case ReadVerdict::longer_than_frame:
        return "fault: longer than one frame";
    case ReadVerdict::bad_checksum:
        return "fault: bad checksum";
    }
    return "fault";
}

bool wire_trace_open(const char* path, const char* port) {
    trace_file = std::fopen(path, "a");
    if (trace_file == nullptr) {
        return false;
    }
    std::setvbuf(trace_file, trace_buffer, _IOFBF, sizeof trace_buffer);
    // Sessions appended to one file stay apart.
    stamp(platform_wall_time(), "session");
    std::fprintf(trace_file, " tolvaner %s on %s", TOLVANER_VERSION, port);
    end_line();
    return true;
}

void wire_trace_close() {
    if (trace_file != nullptr) {
        std::fclose(trace_file);
        trace_file = nullptr;
    }
}

void wire_trace_byte(int index) {
    if (trace_file == nullptr || index < 0 || index >= frame_buffer_size) {
        return;
    }
    if (index == 0) {
        frame_start = platform_wall_time();
    }
    byte_at_us[index] = platform_monotonic_us();
}

void wire_trace_sent(const std::uint8_t* frame, int count) {
    if (trace_file == nullptr) {
        return;
    }
    stamp(frame_start, "tx");
    bytes_in_hex(frame, count);
    if (count > 1) {
        std::fputs("  gaps", trace_file);
        for (int i = 1; i < count; ++i) {
            // Milliseconds to a tenth, in whole numbers: no floating point
            // in the command loop's printing.
            unsigned long long tenths = (byte_at_us[i] - byte_at_us[i - 1] + 50) / 100;
            std::fprintf(trace_file, " %llu.%llu", tenths / 10, tenths % 10);
        }
    }
    end_line();
}

void wire_trace_read(const std::uint8_t* bytes, int count, ReadVerdict verdict) {
    if (trace_file == nullptr) {
        return;
    }
    stamp(platform_wall_time(), "rx");
    if (count == 0) {
        std::fputs(" (none)", trace_file);
    }
    bytes_in_hex(bytes, count);
    std::fprintf(trace_file, "  %d byte%s  %s", count, count == 1 ? "" : "s",
                 read_verdict_text(verdict));
    end_line();
}
