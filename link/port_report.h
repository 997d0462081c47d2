// What the program says about its port beside the frames: causes on standard
// error, output that could not be written, and the port a name stands for.
#pragma once

#include "link/frame_link.h"
#include "link/tell_cause.h"

// Whether standard output has failed and that was said.
struct OutputCheck {
    bool lost;
};

// Flushes standard output. False when what was printed could not be written
// (a full disk, > /dev/full): the first time, one line on standard error
// (see tell_cause) gives the system's reason. The run then ends at once, as
// its results are lost.
bool output_written(OutputCheck& check, const char* port);

// Opens the port `named`: its name, or usb:VID:PID[:SERIAL] (see
// ports/port_selector.h), looked up among the ports under `root` ("/" but
// for tests) each time, so that a port that came back under another name
// after a replug is found again. False when no one port has that identity or
// the open failed: the link then keeps why (its fault_message, fault_cause
// and failure text), and link.name names what was asked for. Where several
// ports match, they are listed on standard error.
bool open_named_port(FrameLink& link, const char* named, const char* root);
