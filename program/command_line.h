// The command line: which options, which mode, or the console.
#pragma once

#include "link/frame_link.h"
#include "link/wire_trace.h"

#include <cstdio>

struct ServeFronts;

// What the program runs with besides its arguments: where operator input
// comes from, where --list and usb: selectors look for ports ("/" unless a
// test gives a tree of its own, see list_ports), and the link and trace the
// console or a mode drives. These are static storage, as the command loop
// allocates nothing; the program's entry owns its own, tests theirs.
struct Surroundings {
    std::FILE* input;
    const char* port_root;
    FrameLink* link;
    WireTrace* trace;
    // The web server and MQTT publisher this build has, for --serve and
    // --mqtt (see service/serve.h); nullptr: none.
    const ServeFronts* fronts = nullptr;
};

// The program's main routine: reads the options and runs the console or a
// mode. Returns the exit status; a SIGINT or SIGTERM held during a frame
// ends the program here, once the port is closed.
int run_tolvaner(int argc, char** argv, const Surroundings& around);
