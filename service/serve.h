// The long-running run: one sampling loop per meter, and what serves the
// readings: the web server (--serve) and the MQTT publisher (--mqtt), each
// only where the program was built with its library. Runs until SIGINT or
// SIGTERM, then lets every loop finish its exchange, pay the device's gap and
// close its port, and returns 0.
#pragma once

#include "service/meter_board.h"

#include <cstdint>

struct ServeRequest {
    const char* ports[board_max_meters]; // as given: names or usb: selectors
    int port_count;
    std::uint32_t period_ms;
    const char* serve_address; // [ADDR:]PORTNUMBER of --serve; nullptr: no web server
    // The --mqtt options as given, name and value (nullptr for none), taken
    // by the publisher before anything is opened.
    const char* mqtt_names[8];
    const char* mqtt_values[8];
    int mqtt_count;
    const char* list_root; // where usb: selectors are looked up
};

// True when this build has the web server / the MQTT publisher.
bool serve_has_http();
bool serve_has_mqtt();

// Runs it; the exit status. 1 when what was asked cannot be done (an address
// refused or taken, an option of --mqtt refused, a part not built in), said
// on standard error before any port is opened.
int run_serve(const ServeRequest& request);
