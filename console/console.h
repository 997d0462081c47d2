// The interactive console: the command loop and its handlers.
#pragma once

#include "link/frame_link.h"

#include <cstdio>

// Opens `port` (its name, or a usb: selector looked up under `root`) on
// `link` and runs the command loop on what is typed on `input` until the exit
// command or the end of input; with `trace_file` (else nullptr) every frame
// is logged to link.trace. Returns the exit status, or status_signalled.
int run_console(FrameLink& link, const char* port, const char* trace_file, std::FILE* input,
                const char* root);
