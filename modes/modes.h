// The option-led modes beside the console: read every item, set and verify,
// watch the live values. Each runs once over the port and ends with a status
// a script can act on.
#pragma once

#include "link/frame_link.h"
#include "protocol/device_items.h"

#include <cstdint>

enum class Mode : std::uint8_t { none, read, set, watch };
enum class Format : std::uint8_t { text, json, csv };

// The exit statuses of the modes (1 is a command line or port failure, as in
// the console).
constexpr int status_good = 0;
constexpr int status_failure = 1;
constexpr int status_no_good_reply = 3;
constexpr int status_value_differs = 4;

// KEY=VALUE of --set and --expect.
struct Assignment {
    const DeviceItem* item;
    std::int32_t number; // the value of a numeric item
    const char* text;    // the value of a product ID or output mode, as given
    int text_length;
};

constexpr int max_assignments = 16;

struct ModeRequest {
    Mode mode;
    Format format;
    const char* port;
    const char* trace_file; // nullptr: no trace
    Assignment sets[max_assignments];
    int set_count;
    Assignment expects[max_assignments];
    int expect_count;
    std::uint32_t period_ms; // --watch
    std::uint32_t count;     // --count; 0: until Ctrl-C
    // --watch: a port that fails ends the run (--no-reconnect) rather than
    // being looked for again once a second.
    bool no_reconnect;
};

// Why a KEY=VALUE word was refused.
struct Refusal {
    char text[160];
};

// Reads one KEY=VALUE word. A setting (`expect` false) takes a settable key
// or its console letter and a plain decimal integer in the console's range
// for it; an expectation takes any key and the value as the device reports
// it (text for the product ID and the output mode). Returns nullptr when
// taken, else why not (in `refusal`), in words that name the key and, for a
// setting, its range.
const char* parse_assignment(const char* word, bool expect, Assignment& out, Refusal& refusal);

// Runs the mode over `link` (its port looked up under `root` when a usb:
// selector names it; its trace in link.trace) and returns its exit status,
// or status_signalled. Results go to standard output, one line per faulted
// or differing item to standard error.
int run_mode(FrameLink& link, const ModeRequest& request, const char* root);
