// A soak of the console against the simulated device in each of its fault
// modes and with answered settings: a few hundred queries each, mixed with
// settings, typed ahead. No crash, no hang; a good reply is shown with the
// value the device holds, and every spoiled one is reported as a fault and
// never shown as a value, neither for its own query nor for the next.
#include "tests/hardening/sim_runner.h"

#include "sim/device.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace sim = tolvaner::sim;

const std::string prompt = "Enter user command: ";
const std::string item_prompt = "Enter V, S, M, D, K, or A: ";
const std::string fault = "Packet checksum fault\n";

enum class Answer { good, none, spoiled, cut, with_stray };

struct Mode {
    const char* name;
    std::vector<std::string> options;
    Answer answer;
};

const Mode modes[] = {
    {"none", {"--fault", "none"}, Answer::good},
    {"ack", {"--ack"}, Answer::good},
    {"silent", {"--fault", "silent"}, Answer::none},
    {"late", {"--fault", "late"}, Answer::none},
    {"corrupt", {"--fault", "corrupt"}, Answer::spoiled},
    {"truncate", {"--fault", "truncate"}, Answer::cut},
    {"noise", {"--fault", "noise"}, Answer::with_stray},
};

// Sessions side by side per mode, and queries in each.
constexpr int sessions_per_mode = 4;
constexpr int queries_per_session = 50;

// A piece of what the console must print: `text`, with '#' standing for a
// number that the device computes from time and load; or, for a reply, the
// fault `stalled` if the machine stalled in the middle of the request and the
// device dropped it as broken.
struct Piece {
    std::string text;
    std::string stalled;
};

// Types a random session and says what the console must print for it.
class Script {
  public:
    Script(unsigned seed, Answer answer, std::string id, int revision)
        : random_(seed), answer_(answer), id_(std::move(id)), revision_(revision) {}

    void add_query() {
        say(prompt);
        switch (pick(8)) {
        case 0:
            typed += "i ";
            reply(good() ? "Product ID = " + id_ + "\n" : fault, fault);
            return;
        case 1:
            typed += "c ";
            reply(good() ? "Code revision level = " + std::to_string(revision_) + "\n" : fault,
                  fault);
            return;
        default:
            break;
        }
        const char items[] = "VSMDKA";
        char item = items[pick(6)];
        typed += std::string("r ") + static_cast<char>(item + ('a' - 'A')) + " ";
        say(item_prompt);
        const std::string stalled = fault + "number of bytes read = #\n";
        bool wide = item == 'V' || item == 'S' || item == 'K';
        if (!good()) {
            int length = wide ? 5 : 4;
            int count = answer_ == Answer::none      ? 0
                        : answer_ == Answer::cut     ? 3
                        : answer_ == Answer::spoiled ? length
                                                     : length + 1;
            reply(fault + "number of bytes read = " + std::to_string(count) + "\n", stalled);
            return;
        }
        std::string line;
        switch (item) {
        case 'V':
            line = "Pulse Value = " + std::to_string(settings_.pulse_value_wh) + " watt-hours\n";
            break;
        case 'S':
            line = "Full Scale value = " +
                   std::to_string(sim::full_scale_kw_by_range[settings_.full_scale_range - 1]) +
                   " kilowatts\n";
            break;
        case 'M':
            line =
                std::string("Output Mode = ") + sim::mode_character(settings_.output_mode) + "\n";
            break;
        case 'D':
            line = "most recent DAC value = #\n";
            break;
        case 'K':
            line = "most recent KWH value = #\n";
            break;
        default:
            line = "Average Interval = " +
                   std::to_string(sim::interval_minutes_by_number[settings_.average_interval - 1]) +
                   " minutes\n";
            break;
        }
        reply(line, stalled);
    }

    void add_setting() {
        say(prompt);
        int value;
        switch (pick(6)) {
        case 0:
            value = 1 + pick(65535);
            settle("v", "Enter Pulse Value (1-65535): ", value, value <= 65535);
            settings_.pulse_value_wh = static_cast<std::uint16_t>(value);
            break;
        case 1:
            value = pick(10); // 0 and 9 are refused
            if (settle("s", "Enter Full Scale range (1-8): ", value, value >= 1 && value <= 8)) {
                settings_.full_scale_range = static_cast<std::uint8_t>(value);
            }
            break;
        case 2:
            value = 1 + pick(2);
            settle("m", "Enter output mode (1=Instant, 2=Average): ", value, true);
            settings_.output_mode = static_cast<std::uint8_t>(value);
            break;
        case 3:
            value = pick(9); // 0 and 8 are refused
            if (settle("a", "Enter average interval (1-7): ", value, value >= 1 && value <= 7)) {
                settings_.average_interval = static_cast<std::uint8_t>(value);
            }
            break;
        default:
            typed += "d ";
            settings_ = sim::default_settings;
            break;
        }
    }

    std::string typed;
    std::vector<Piece> expected;
    void say(const std::string& text) { expected.push_back({text, ""}); }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool good() const { return answer_ == Answer::good; }
    void reply(const std::string& text, const std::string& stalled) {
        expected.push_back({text, stalled});
    }

    bool settle(const char* command, const std::string& value_prompt, int value, bool accepted) {
        typed += std::string(command) + " " + std::to_string(value) + " ";
        say(value_prompt + (accepted ? "" : "invalid entry\n"));
        return accepted;
    }

    std::mt19937 random_;
    Answer answer_;
    std::string id_;
    int revision_;
    sim::Settings settings_ = sim::default_settings;
};

// Whether `pattern` is at `at` in `got`, each '#' standing for one or more
// digits; if so `at` moves past it.
bool match_at(const std::string& pattern, const std::string& got, size_t& at) {
    size_t g = at;
    for (char p : pattern) {
        if (p == '#') {
            size_t digits = g;
            while (g < got.size() && std::isdigit(static_cast<unsigned char>(got[g]))) {
                ++g;
            }
            if (g == digits) {
                return false;
            }
        } else if (g < got.size() && got[g] == p) {
            ++g;
        } else {
            return false;
        }
    }
    at = g;
    return true;
}

// Whether `got` is the pieces in order; counts the replies that were the
// stalled fault, or says where the output parts from them.
bool matches(const std::vector<Piece>& expected, const std::string& got, int& stalls,
             std::string& where) {
    size_t at = 0;
    for (const Piece& piece : expected) {
        if (match_at(piece.text, got, at)) {
            continue;
        }
        if (!piece.stalled.empty() && match_at(piece.stalled, got, at)) {
            ++stalls;
            continue;
        }
        size_t from = at > 200 ? at - 200 : 0;
        where = "after: ..." + got.substr(from, at - from) + "\nexpected next: " + piece.text +
                "\ngot next: " + got.substr(at, 120);
        return false;
    }
    if (at != got.size()) {
        where = "more than expected: " + got.substr(at, 120);
        return false;
    }
    return true;
}

// Everything on standard error must be trace lines: nothing from the console.
// The simulator's trace and the program's causes of refused replies, and
// nothing that says the port or the program failed.
bool only_trace(const std::string& err) {
    std::istringstream lines(err);
    std::string line, time, direction;
    while (std::getline(lines, line)) {
        if (line.rfind("tolvaner: ", 0) == 0 && line.find(": reply to ") != std::string::npos) {
            continue;
        }
        std::istringstream words(line);
        if (!(words >> time >> direction) || (direction != "rx" && direction != "tx")) {
            return false;
        }
    }
    return true;
}

TEST(SimulatorSoak, EveryModeEveryReplyShownOrReportedAsAFault) {
    std::vector<hardening::SimJob> jobs;
    std::vector<Script> scripts;
    for (const Mode& mode : modes) {
        for (int s = 0; s < sessions_per_mode; ++s) {
            unsigned seed = static_cast<unsigned>(jobs.size() + 1);
            std::string id = "Q" + std::to_string(s) + (s % 2 == 0 ? "a" : " z");
            int revision = s % 2 == 0 ? 12 + s : -100 - s;
            Script script(seed, mode.answer, id, revision);
            std::mt19937 mix(seed);
            for (int q = 0; q < queries_per_session;) {
                if (mix() % 3 == 0) {
                    script.add_setting();
                } else {
                    script.add_query();
                    ++q;
                }
            }
            script.typed += "x\n";
            script.say(prompt);
            std::vector<std::string> options = mode.options;
            options.insert(options.end(), {"--id", id, "--rev", std::to_string(revision)});
            jobs.push_back({options, script.typed});
            scripts.push_back(script);
        }
    }

    std::vector<hardening::SimRun> runs = hardening::run_with_simulator(jobs, 300000);

    for (size_t m = 0; m < std::size(modes); ++m) {
        int exchanges = 0;
        int stalls = 0;
        int queries = 0;
        for (int s = 0; s < sessions_per_mode; ++s) {
            size_t i = m * sessions_per_mode + static_cast<size_t>(s);
            const hardening::SimRun& run = runs[i];
            SCOPED_TRACE(std::string(modes[m].name) + " session " + std::to_string(s));
            EXPECT_TRUE(run.ended) << "hung";
            EXPECT_EQ(run.status, 0);
            EXPECT_TRUE(only_trace(run.err)) << run.err;
            std::string where;
            int stalled = 0;
            EXPECT_TRUE(matches(scripts[i].expected, run.out, stalled, where)) << where;
            // A request broken by a stall may take the next one with it.
            EXPECT_LE(stalled, 2 * run.dropped) << "faults where the device answered";
            stalls += stalled;
            for (const Piece& piece : scripts[i].expected) {
                queries += piece.stalled.empty() ? 0 : 1;
            }
            for (size_t at = 0; at + 1 < run.rx.size(); at += run.rx[at + 1] + 3u) {
                ++exchanges;
            }
        }
        std::printf("%-8s %d queries, %d requests received in %d sessions; %d replies lost to a "
                    "stalled machine\n",
                    modes[m].name, queries, exchanges, sessions_per_mode, stalls);
    }
}

} // namespace
