#include "link/wire_trace.h"

#include "system/system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void stamp(WireTrace& trace, const WallTime& t, const char* direction) {
    // A trace on standard error follows what standard output has shown.
    if (trace.file == stderr) {
        std::fflush(stdout);
    }
    std::fprintf(trace.file, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s", t.year, t.month, t.day,
                 t.hour, t.minute, t.second, t.millisecond, direction);
}

void bytes_in_hex(WireTrace& trace, const std::uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        std::fprintf(trace.file, " %02X", bytes[i]);
    }
}

const char* plural(int count) { return count == 1 ? "" : "s"; }

// A line lost to a crash or a kill is the one that was wanted.
void end_line(WireTrace& trace) {
    std::fputc('\n', trace.file);
    if ((std::fflush(trace.file) != 0 || std::ferror(trace.file)) && !trace.lost) {
        trace.lost = true;
        const int error = errno;
        std::fflush(stdout);
        std::fprintf(stderr, "tolvaner: %s: the trace cannot be written (%s); it is incomplete\n",
                     trace.path, std::strerror(error));
    }
}

} // namespace

const char* read_verdict_text(VerdictWords& words, ReadVerdict verdict, const std::uint8_t* bytes,
                              int count, int payload_needed) {
    char* const out = words.text;
    const auto size = sizeof words.text;
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
    return words.text;
}

bool wire_trace_open(WireTrace& trace, const char* path, const char* port) {
    // "-": standard error, left as it is (unbuffered), for it carries the
    // program's other messages too.
    const bool to_stderr = std::strcmp(path, "-") == 0;
    trace.file = to_stderr ? stderr : system_open_trace(path, trace.why, sizeof trace.why);
    if (trace.file == nullptr) {
        return false;
    }
    trace.path = to_stderr ? "standard error" : path;
    trace.lost = false;
    if (!to_stderr) {
        std::setvbuf(trace.file, trace.buffer, _IOFBF, sizeof trace.buffer);
    }
    // Sessions appended to one file stay apart.
    stamp(trace, system_wall_time(), "session");
    std::fprintf(trace.file, " tolvaner %s on %s", TOLVANER_VERSION, port);
    end_line(trace);
    return true;
}

bool wire_trace_close(WireTrace& trace) {
    if (trace.file == nullptr) {
        return true;
    }
    const bool closed =
        trace.file == stderr ? std::fflush(stderr) == 0 : std::fclose(trace.file) == 0;
    trace.file = nullptr;
    return closed && !trace.lost;
}

bool wire_trace_on(const WireTrace* trace) { return trace != nullptr && trace->file != nullptr; }

void wire_trace_byte(WireTrace* trace, int index) {
    if (!wire_trace_on(trace) || index < 0 || index >= frame_buffer_size) {
        return;
    }
    if (index == 0) {
        trace->frame_start = system_wall_time();
    }
    trace->byte_at_us[index] = system_monotonic_us();
}

void wire_trace_sent(WireTrace* trace, const std::uint8_t* frame, int count, const char* failure) {
    if (!wire_trace_on(trace)) {
        return;
    }
    WireTrace& t = *trace;
    stamp(t, t.frame_start, "tx");
    bytes_in_hex(t, frame, count);
    if (count > 1) {
        std::fputs("  gaps", t.file);
        for (int i = 1; i < count; ++i) {
            // Milliseconds to a tenth, in whole numbers: no floating point
            // in the command loop's printing.
            unsigned long long tenths = (t.byte_at_us[i] - t.byte_at_us[i - 1] + 50) / 100;
            std::fprintf(t.file, " %llu.%llu", tenths / 10, tenths % 10);
        }
    }
    if (failure != nullptr) {
        std::fprintf(t.file, "  write failed at byte %d: %s", count + 1, failure);
    }
    end_line(t);
}

void wire_trace_read(WireTrace* trace, const std::uint8_t* bytes, int count, ReadVerdict verdict,
                     const char* verdict_text) {
    if (!wire_trace_on(trace)) {
        return;
    }
    stamp(*trace, system_wall_time(), "rx");
    if (count == 0) {
        std::fputs(" (none)", trace->file);
    }
    bytes_in_hex(*trace, bytes, count);
    std::fprintf(trace->file, "  %d byte%s  %s%s", count, plural(count),
                 verdict == ReadVerdict::good ? "" : "fault: ", verdict_text);
    end_line(*trace);
}

void wire_trace_read_failed(WireTrace* trace, const char* failure) {
    if (!wire_trace_on(trace)) {
        return;
    }
    stamp(*trace, system_wall_time(), "rx");
    std::fprintf(trace->file, " read failed: %s", failure);
    end_line(*trace);
}

void wire_trace_dropped(WireTrace* trace, const std::uint8_t* bytes, int count, const char* why) {
    if (!wire_trace_on(trace)) {
        return;
    }
    stamp(*trace, system_wall_time(), "drop");
    bytes_in_hex(*trace, bytes, count);
    std::fprintf(trace->file, "  %d byte%s  thrown away %s", count, plural(count), why);
    end_line(*trace);
}
