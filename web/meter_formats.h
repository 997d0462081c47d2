// What the front ends serve, made from copies of the board: the metrics in
// the Prometheus text format (0.0.4) or OpenMetrics (1.0.0), and the readings
// and their history as JSON. Pure functions of their arguments (the time
// comes in as a number), so that every byte of them can be checked.
//
// Text from outside the program (the device's product ID and output mode,
// port names, serial numbers) is written as the console prints it: printable
// ASCII as it is, any other byte as \xNN, so that the output is always plain
// ASCII, hence valid UTF-8. In JSON such bytes are \u00NN, as --read --json
// writes them.
#pragma once

#include "board/meter_board.h"

#include <cstdint>
#include <string>

enum class MetricsFormat : std::uint8_t {
    prometheus,  // text format 0.0.4
    openmetrics, // OpenMetrics 1.0.0
};

// The format an Accept header asks for: OpenMetrics when it ranks
// application/openmetrics-text (version 1.0.0 or none named) above zero and
// at least as high as the text format; otherwise, and with no header
// (nullptr), the text format.
MetricsFormat metrics_format_for(const char* accept);
// Its Content-Type.
const char* metrics_content_type(MetricsFormat format);

// Appends the metrics of `count` meters to `out`, families in a fixed order,
// meters in board order within each. A meter whose status is not up has
// tolvaner_up 0, its counters and the time of its last good reading, and no
// series of any value the device gives.
void render_metrics(std::string& out, const MeterState* meters, int count, MetricsFormat format);

// Appends {"now":..., "meters":[...]}: for each meter the keys of
// `--read --json` (values null unless the meter is up and the item was read
// well), its name, status, cause and counters, and the times of its last
// poll and last good reading.
void render_readings_json(std::string& out, const MeterState* meters, int count,
                          std::int64_t now_ms);

// One meter's part of the history.
struct MeterPoints {
    const MeterState* meter;
    const HistoryPoint* points;
    int count;
};
// Appends {"now":MS,"since":MS,"meters":[{"meter":NAME,"points":[[MS,DAC,KWH],...]}]}
// with null values for points that were no good reading.
void render_history_json(std::string& out, const MeterPoints* meters, int count,
                         std::int64_t since_ms, std::int64_t now_ms);

// The name every front end gives a meter: its label, else the port as given.
const char* meter_name(const MeterState& meter);
// "starting", "up", "no_reply", "port_lost" or "port_held".
const char* meter_status_name(MeterStatus status);
// `ms` (Unix milliseconds) as 2026-12-07T10:00:00.250Z, as the modes stamp
// their samples.
void format_utc_ms(char* out, int capacity, std::int64_t ms);

// The escapes, each for the text between the quotes of its format. Bytes
// outside printable ASCII become \xNN first (the console's form: a line end
// is \x0A), then backslash and quote are escaped as the exposition formats
// want, so that a label reads back as the console shows the text.
void append_label_value(std::string& out, const char* bytes, int count);
// As JSON strings are written by --read --json.
void append_json_string(std::string& out, const char* bytes, int count);
