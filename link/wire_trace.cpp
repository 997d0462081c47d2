#include "link/wire_trace.h"

#include "link/frame_link.h"
#include "system/system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::FILE* trace_file;
const char* trace_path;
// Set once a line could not be written; said once on standard error.
bool trace_lost;
// The trace is written from the command loop, which allocates nothing: stdio
// gets its buffer here instead of from the heap on the first write.
char trace_buffer[4096];

WallTime frame_start;
std::uint64_t byte_at_us[frame_buffer_size];

void stamp(const WallTime& t, const char* direction) {
    // A trace on standard error follows what standard output has shown.
    if (trace_file == stderr) {
        std::fflush(stdout);
    }
    std::fprintf(trace_file, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s", t.year, t.month, t.day,
                 t.hour, t.minute, t.second, t.millisecond, direction);
}

void bytes_in_hex(const std::uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        std::fprintf(trace_file, " %02X", bytes[i]);
    }
}

const char* plural(int count) { return count == 1 ? "" : "s"; }

// A line lost to a crash or a kill is the one that was wanted.
void end_line() {
    std::fputc('\n', trace_file);
    if ((std::fflush(trace_file) != 0 || std::ferror(trace_file)) && !trace_lost) {
        trace_lost = true;
        const int error = errno;
        std::fflush(stdout);
        std::fprintf(stderr, "tolvaner: %s: the trace cannot be written (%s); it is incomplete\n",
                     trace_path, std::strerror(error));
    }
}

char verdict_words[128];

} // namespace

const char* read_verdict_text(ReadVerdict verdict, const std::uint8_t* bytes, int count,
                              int payload_needed) {
    char* const out = verdict_words;
    const auto size = sizeof verdict_words;
    const int length = count >= 2 ? bytes[1] : 0;
    switch (verdict) {
    case ReadVerdict::good:
        return "good";
    case ReadVerdict::nothing_arrived:
        return "nothing arrived within the settle time";
    case ReadVerdict::shorter_than_header:
        std::snprintf(out, size, "%d byte%s, too short for any frame (3 bytes at least)", count,
                      plural(count));
        break;
    case ReadVerdict::length_over_buffer:
        std::snprintf(out, size, "length byte %d, over the %d a frame can carry", length,
                      max_payload_length);
        break;
    case ReadVerdict::shorter_than_length:
        std::snprintf(out, size, "%d bytes where a frame of length %d needs %d", count, length,
                      length + 3);
        break;
    case ReadVerdict::longer_than_frame:
        std::snprintf(out, size, "%d bytes where a frame of length %d has %d: more than one frame",
                      count, length, length + 3);
        break;
    case ReadVerdict::bad_checksum: {
        std::uint8_t sum = 0;
        for (int i = 0; i < length + 3 && i < count; ++i) {
            sum ^= bytes[i];
        }
        std::snprintf(out, size, "bad checksum: the %d bytes of the frame XOR to %02X, not 00",
                      length + 3, static_cast<unsigned>(sum));
        break;
    }
    case ReadVerdict::too_short_for_value:
        std::snprintf(out, size, "a frame of length %d, too short for its %d-byte value", length,
                      payload_needed);
        break;
    }
    return verdict_words;
}

namespace {} // namespace

bool wire_trace_open(const char* path, const char* port, char* why, int why_capacity) {
    // "-": standard error, left as it is (unbuffered), for it carries the
    // program's other messages too.
    const bool to_stderr = std::strcmp(path, "-") == 0;
    trace_file = to_stderr ? stderr : system_open_trace(path, why, why_capacity);
    if (trace_file == nullptr) {
        return false;
    }
    trace_path = to_stderr ? "standard error" : path;
    trace_lost = false;
    if (!to_stderr) {
        std::setvbuf(trace_file, trace_buffer, _IOFBF, sizeof trace_buffer);
    }
    // Sessions appended to one file stay apart.
    stamp(system_wall_time(), "session");
    std::fprintf(trace_file, " tolvaner %s on %s", TOLVANER_VERSION, port);
    end_line();
    return true;
}

bool wire_trace_close() {
    if (trace_file == nullptr) {
        return true;
    }
    const bool closed =
        trace_file == stderr ? std::fflush(stderr) == 0 : std::fclose(trace_file) == 0;
    trace_file = nullptr;
    return closed && !trace_lost;
}

bool wire_trace_on() { return trace_file != nullptr; }

void wire_trace_byte(int index) {
    if (trace_file == nullptr || index < 0 || index >= frame_buffer_size) {
        return;
    }
    if (index == 0) {
        frame_start = system_wall_time();
    }
    byte_at_us[index] = system_monotonic_us();
}

void wire_trace_sent(const std::uint8_t* frame, int count, const char* failure) {
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
    if (failure != nullptr) {
        std::fprintf(trace_file, "  write failed at byte %d: %s", count + 1, failure);
    }
    end_line();
}

void wire_trace_read(const std::uint8_t* bytes, int count, ReadVerdict verdict,
                     const char* verdict_text) {
    if (trace_file == nullptr) {
        return;
    }
    stamp(system_wall_time(), "rx");
    if (count == 0) {
        std::fputs(" (none)", trace_file);
    }
    bytes_in_hex(bytes, count);
    std::fprintf(trace_file, "  %d byte%s  %s%s", count, plural(count),
                 verdict == ReadVerdict::good ? "" : "fault: ", verdict_text);
    end_line();
}

void wire_trace_read_failed(const char* failure) {
    if (trace_file == nullptr) {
        return;
    }
    stamp(system_wall_time(), "rx");
    std::fprintf(trace_file, " read failed: %s", failure);
    end_line();
}

void wire_trace_dropped(const std::uint8_t* bytes, int count, const char* why) {
    if (trace_file == nullptr) {
        return;
    }
    stamp(system_wall_time(), "drop");
    bytes_in_hex(bytes, count);
    std::fprintf(trace_file, "  %d byte%s  thrown away %s", count, plural(count), why);
    end_line();
}
