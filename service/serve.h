// The long-running run: one sampling loop per meter, and what serves the
// readings: the web server (--serve) and the MQTT publisher (--mqtt), each
// only where the program was built with its library. Runs until SIGINT or
// SIGTERM, then lets every loop finish its exchange, pay the device's gap and
// close its port, and returns 0.
#pragma once

#include "board/meter_board.h"

#include <cstdint>

struct ServeRequest {
    const char* ports[board_max_meters]; // as given: names or usb: selectors
    int port_count;
    std::uint32_t period_ms;
    const char* serve_address; // [ADDR:]PORTNUMBER of --serve; nullptr: no web server
    // The --mqtt options as given, name and value (nullptr for none).
    const char* mqtt_names[8];
    const char* mqtt_values[8];
    int mqtt_count;
    const char* list_root; // where usb: selectors are looked up
};

// What serves the board, as the program was built: the web server and the
// MQTT publisher need libraries that a build may not have
// (service/serve_fronts.cpp, linked beside the program's entry).
struct ServeFronts {
    // Takes the request's --serve address and --mqtt options and starts what
    // they ask for on `board`. False, with why said on standard error, when
    // one is refused, cannot start, or is not built in; nothing is left
    // running then.
    bool (*start)(const ServeRequest& request, MeterBoard& board);
    // Stops what start started: the MQTT publisher marks every meter offline.
    void (*stop)();
};

// The fronts of this build (nullptr where the entry has none: tests).
const ServeFronts* built_in_serve_fronts();

// Runs it; the exit status. 1 when what was asked cannot be done, said on
// standard error before any port is opened.
int run_serve(const ServeRequest& request, const ServeFronts* fronts);
