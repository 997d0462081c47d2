// The command line: which options, which mode, or the console.
#pragma once

// The program's main routine: reads the options and runs the console or a
// mode. Returns the exit status.
struct ServeFronts;

// `fronts`: the web server and MQTT publisher this build has, for --serve and
// --mqtt (see service/serve.h); nullptr: none.
int run_tolvaner(int argc, char** argv, const ServeFronts* fronts = nullptr);

// Where `tolvaner --list` looks for ports: "/" unless a test gives a tree of
// its own (see platform_list_ports).
void set_port_root(const char* root);
