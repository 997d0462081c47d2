// The POSIX system's own signal handling, each case in a process of its
// own (a death test): signals and their dispositions belong to the process.
#include "system/system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

struct HeldCase {
    const char* name;
    int signal;
    bool ignored_from_start; // as nohup or a script's background job leaves it
};

class HeldSignal : public testing::TestWithParam<HeldCase> {};

// Raised while held, the signal comes after the program's last look and
// before its sleep, the moment a check-then-sleep loses it: the sleep must
// end at once, however long it was to be. One inherited as ignored is
// nothing: the sleep runs its time, and the signal stays ignored.
TEST_P(HeldSignal, EndsTheSleepAfterItAndThenTheProgram) {
    const HeldCase& c = GetParam();
    const auto run = [&c] {
        if (c.ignored_from_start) {
            std::signal(c.signal, SIG_IGN);
        }
        system_hold_signals();
        std::raise(c.signal);
        const auto start = std::chrono::steady_clock::now();
        const bool interrupted = system_sleep_or_interrupted(c.ignored_from_start ? 30 : 86400000);
        const auto took = std::chrono::steady_clock::now() - start;
        const int held = system_held_signal();
        if (interrupted == c.ignored_from_start || held != (c.ignored_from_start ? 0 : c.signal) ||
            took > std::chrono::seconds(5) ||
            (c.ignored_from_start && took < std::chrono::milliseconds(30))) {
            std::fprintf(stderr, "interrupted %d, held %d, after %lld ms\n", interrupted, held,
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
            _exit(1);
        }
        system_release_signals();
        if (c.ignored_from_start) {
            std::raise(c.signal);
            _exit(std::signal(c.signal, SIG_IGN) == SIG_IGN ? 0 : 2);
        }
        system_end_by_signal(held);
    };
    if (c.ignored_from_start) {
        EXPECT_EXIT(run(), testing::ExitedWithCode(0), "");
    } else {
        EXPECT_EXIT(run(), testing::KilledBySignal(c.signal), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, HeldSignal,
                         testing::Values(HeldCase{"sigint", SIGINT, false},
                                         HeldCase{"sigterm", SIGTERM, false},
                                         HeldCase{"sigint_ignored", SIGINT, true},
                                         HeldCase{"sigterm_ignored", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Holds nest across threads as they do in one: while other threads hold and
// release around their own frames, the outermost hold keeps a signal, and
// its release lets the signal act.
TEST(HeldSignalThreads, HoldsFromSeveralThreadsNestAsOne) {
    const auto run = [] {
        system_hold_signals();
        const auto frames = [] {
            for (int i = 0; i < 20000; ++i) {
                system_hold_signals();
                system_release_signals();
            }
        };
        std::thread first(frames);
        std::thread second(frames);
        first.join();
        second.join();
        std::raise(SIGTERM);
        if (system_held_signal() != SIGTERM) {
            _exit(1);
        }
        system_release_signals();
        _exit(2); // not reached: the kept signal acts at the release
    };
    EXPECT_EXIT(run(), testing::KilledBySignal(SIGTERM), "");
}

} // namespace
