// One meter's sampling loop in a long-running tolvaner (--serve, --mqtt):
// it opens the meter's port, reads every item, then the live values once a
// period, and publishes each poll on the board. A port that fails or goes
// away is looked for again once a second, under its name or, for a usb:
// selector, by resolving the selector anew (the adapter may come back under
// another name). Each meter's loop runs on a thread of its own with a link of
// its own, so each line is paced on its own. It only reads: nothing is ever
// set on a meter.
#pragma once

#include "board/meter_board.h"
#include "link/frame_link.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// What every sampler of one run shares: the board, and the word to stop.
struct SamplerShared {
    MeterBoard* board;
    const char* list_root; // where usb: selectors are looked up ("/")
    std::uint32_t period_ms;
    std::mutex lock; // guards only the wait for the next poll
    std::condition_variable wake;
    std::atomic<bool> stopping{false};
};

struct Sampler {
    SamplerShared* shared;
    int meter;         // its row on the board
    const char* given; // its port as the command line names it
    FrameLink link;
    MeterState state;
    bool open;
    // What was last said on standard error, so that a state is said once.
    MeterStatus said;
    char said_cause[160];
    // The identity and the settings: all of them are read when the port is
    // (re)opened, and again until they all came well; after that one of them
    // every few polls, in turn, so that no poll runs long.
    bool settings_due;
    int next_setting;
    std::uint32_t polls_since_settings;
    std::thread thread;
};

// Starts meter `meter`'s loop on its own thread.
void sampler_start(Sampler& sampler, SamplerShared& shared, int meter, const char* given);

// Asks every sampler sharing `shared` to stop: each finishes the exchange in
// progress, pays the device's gap and closes its port.
void samplers_stop(SamplerShared& shared);

// Waits for the sampler's thread to end.
void sampler_join(Sampler& sampler);
