// The option-led modes (--read, --set, --watch) against the simulated
// device: results on standard output, causes on standard error, the status,
// and the pacing on the wire.
#include "tests/support/harness.h"
#include "tests/support/sim_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

using namespace harness;
using namespace sim_session;

namespace {

const std::string stamp =
    R"(20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3}Z)";

struct ModeCase {
    const char* name;
    std::vector<std::string> sim_options;
    std::vector<std::string> args;
    std::string out; // a pattern for the whole of standard output
    int status;
    std::string errors;         // a pattern for the whole of standard error
    std::string stdout_to = ""; // a file for standard output instead of a pipe
};

// Results on standard output, causes on standard error, and the status.
class Modes : public testing::TestWithParam<ModeCase> {};

TEST_P(Modes, Run) {
    const ModeCase& c = GetParam();
    const Session s = run_session(c.sim_options, "", c.args, c.stdout_to);
    EXPECT_EQ(s.status, c.status);
    EXPECT_TRUE(std::regex_match(s.output, std::regex(c.out))) << s.output;
    EXPECT_TRUE(std::regex_match(s.errors, std::regex(c.errors))) << s.errors;
}

// Every line a run writes on standard error names the port.
const std::string on_port = "tolvaner: /dev/pts/[0-9]+: ";
const std::string no_reply =
    on_port + "([a-z_]+): no good reply \\(nothing arrived within the settle time\\)\n";
const std::string full_disk =
    on_port + "standard output cannot be written \\(No space left on device\\)\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Modes,
    testing::Values(
        ModeCase{"read_every_key",
                 {"--id", "AB", "--rev", "-7"},
                 {"--read"},
                 "product_id        AB\ncode_revision     -7\npulse_value       10 watt-hours\n"
                 "full_scale        10 kilowatts\noutput_mode       I\n"
                 "average_interval  5 minutes\ndac_value         51\n"
                 "kwh_value         0 kilowatt-hours\n",
                 0,
                 ""},
        ModeCase{"read_silent_device",
                 {"--fault", "silent"},
                 {"--read"},
                 "(\\w+ +-\n){8}",
                 3,
                 "(" + no_reply + "){8}"},
        ModeCase{"read_late_answers",
                 {"--fault", "late"},
                 {"--read"},
                 "(\\w+ +-\n){8}",
                 3,
                 "(" + on_port + "\\w+: no good reply \\(.+\\)\n){8}"},
        ModeCase{"set_and_expect_in_device_units",
                 {"--ack"},
                 {"--set", "v=1000", "full_scale=8", "M=2", "--set=a=7", "--expect",
                  "full_scale=200", "output_mode=A", "--expect=average_interval=60"},
                 "pulse_value       1000 watt-hours\nfull_scale        200 kilowatts\n"
                 "output_mode       A\naverage_interval  60 minutes\n",
                 0,
                 ""},
        ModeCase{"expect_differs",
                 {},
                 {"--set", "s=2", "--expect", "full_scale=3", "product_id=TLV2"},
                 "product_id        TLV1\nfull_scale        2 kilowatts\n",
                 4,
                 on_port + "full_scale: read back 2, but 3 was expected\n" + on_port +
                     "product_id: read back 'TLV1', but TLV2 was expected\n"},
        // Checked before anything is sent: the simulator's trace stays empty.
        ModeCase{"refused_value_sends_nothing",
                 {"--trace"},
                 {"--set", "v=1000", "a=8"},
                 "",
                 1,
                 "tolvaner: --set average_interval: 8 is out of range \\(1 to 7\\)\n"},
        ModeCase{"item_given_twice",
                 {"--trace"},
                 {"--set", "v=500", "v=1000"},
                 "",
                 1,
                 "tolvaner: --set pulse_value: given twice\n"},
        ModeCase{"port_alone_after_dashes",
                 {"--trace"},
                 {"--", "--read"},
                 "unknown option --\nEnter: .*\nEnter: .*\n",
                 1,
                 "tolvaner: only the port may follow --\n"},
        ModeCase{"watch_count_csv",
                 {},
                 {"--watch=0.3", "--count", "3", "--csv"},
                 "time,dac_value,kwh_value,status\n(" + stamp + ",51,0,ok\n){3}",
                 0,
                 on_port +
                     "3 samples, 0 without a good reply, dac_value 51 to 51, kwh_value 0 to 0\n"},
        ModeCase{"watch_text_no_bar_in_a_pipe",
                 {"--fault", "silent"},
                 {"--watch", "1", "--count=1"},
                 stamp + "  dac_value -  kwh_value -\n",
                 3,
                 "(" + no_reply + "){2}" + on_port + "1 sample, 1 without a good reply\n"},
        // Results that cannot be written end the run at once, with the reason.
        ModeCase{"read_into_a_full_disk", {}, {"--read"}, "", 1, full_disk, "/dev/full"},
        ModeCase{"watch_into_a_full_disk", {}, {"--watch", "0.2"}, "", 1, full_disk, "/dev/full"},
        ModeCase{"console_into_a_full_disk", {}, {}, "", 1, full_disk, "/dev/full"}),
    [](const auto& info) { return std::string(info.param.name); });

// A real JSON parser reads every object the modes print; it gives them back
// with sorted keys, one per line, and the port as the bytes it decodes to, in
// hex. Nothing when there is no parser.
std::optional<std::string> parsed_json(const std::string& text) {
    if (std::system("python3 -c '' 2>/dev/null") != 0) {
        return std::nullopt;
    }
    Process python({"/bin/sh", "-c",
                    "exec python3 -c 'import json, sys\n"
                    "for line in sys.stdin:\n"
                    "    o = json.loads(line)\n"
                    "    o[\"port\"] = o[\"port\"].encode(\"utf-8\", \"surrogateescape\").hex()\n"
                    "    print(json.dumps(o, sort_keys=True))'"});
    python.send(text, true);
    const std::string out = python.read_output(after(20s));
    const std::string errors = python.read_errors(after(5s));
    // Text that is not JSON fails the test: it is never taken for a missing
    // parser.
    return python.wait(after(10s)) == 0 ? out : "not JSON: " + errors;
}

// A finished run of `tolvaner ARGS`.
Session run_program(std::vector<std::string> args) {
    args.insert(args.begin(), console_path());
    Process p(args);
    Session s;
    s.output = p.read_output(after(30s));
    s.errors = p.read_errors(after(10s));
    s.status = p.wait(after(10s));
    return s;
}

std::string hex_of(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        out += "0123456789abcdef"[c >> 4];
        out += "0123456789abcdef"[c & 15];
    }
    return out;
}

TEST(Modes, JsonIsJson) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // A port named with a quote, a backslash, UTF-8 and a byte that is no
    // UTF-8 comes back as the same bytes, and so can open the port again.
    const std::string odd = dir.path() + "/m\"e\\t\xC3\xA9r\xFF";
    StandaloneSim sim({"--id", "A\"B", "--link", odd});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;
    const Session read = run_program({"--read", "--json", odd});
    const Session set = run_session({"--fault", "silent"}, "", {"--set", "m=1", "--json"});
    const Session watch = run_session({}, "", {"--watch", "0.2", "--count", "2", "--json"});
    // A port that cannot be opened still has its object.
    const std::string missing = dir.path() + "/ttyUSB9";
    const Session none = run_program({"--read", "--json", missing});
    const std::optional<std::string> objects =
        parsed_json(read.output + set.output + watch.output + none.output);
    if (!objects) {
        GTEST_SKIP() << "python3 is not there to parse JSON";
    }
    const std::regex port(R"("port": "[0-9a-f]+")");
    const std::regex time(R"("time": ")" + stamp + "\"");
    EXPECT_EQ(std::regex_replace(std::regex_replace(*objects, port, "PORT"), time, "TIME"),
              "{\"average_interval\": 5, \"code_revision\": 12, \"dac_value\": 51, "
              "\"full_scale\": 10, \"kwh_value\": 0, \"output_mode\": \"I\", PORT, "
              "\"product_id\": \"A\\\"B\", \"pulse_value\": 10}\n"
              "{\"output_mode\": null, PORT}\n"
              "{\"dac_value\": 51, \"kwh_value\": 0, PORT, \"status\": \"ok\", TIME}\n"
              "{\"dac_value\": 51, \"kwh_value\": 0, PORT, \"status\": \"ok\", TIME}\n"
              "{\"error\": \"serial port does not exist: No such file or directory: no such port "
              "(tolvaner --list shows the ports)\", PORT}\n")
        << read.output << set.output << watch.output << none.output;
    EXPECT_NE(objects->find("\"port\": \"" + hex_of(odd) + "\""), std::string::npos) << *objects;
    EXPECT_NE(objects->find("\"port\": \"" + hex_of(missing) + "\""), std::string::npos);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(set.status, 3);
    EXPECT_EQ(watch.status, 0);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.errors, "tolvaner: " + missing +
                               ": serial port does not exist: No such file or directory: no such "
                               "port (tolvaner --list shows the ports)\n");
    kill(sim.process.pid(), SIGTERM);
    EXPECT_EQ(sim.process.wait(after(10s)), 0);
}

// The simulator taken away and started again on the same link stands in for
// an adapter pulled and plugged back: the watch marks the samples between as
// lost, looks for the port once a second and goes on; --no-reconnect ends at
// the first failure, as a one-shot run does.
TEST(Modes, AWatchLivesThroughAReplug) {
    for (const bool reconnect : {true, false}) {
        TempDir dir;
        ASSERT_FALSE(dir.path().empty());
        const std::string link = dir.path() + "/meter";
        auto sim = std::make_unique<StandaloneSim>(std::vector<std::string>{"--link", link});
        ASSERT_FALSE(sim->port.empty()) << sim->first_line;
        std::vector<std::string> argv{console_path(), "--watch", "0.3", "--count", "12", "--csv"};
        if (!reconnect) {
            argv.push_back("--no-reconnect");
        }
        argv.push_back(link);
        Process watch(argv);
        EXPECT_EQ(watch.read_line(after(10s)), "time,dac_value,kwh_value,status\n");
        EXPECT_NE(watch.read_line(after(10s)).find(",51,0,ok"), std::string::npos);
        kill(sim->process.pid(), SIGTERM);
        EXPECT_EQ(sim->process.wait(after(10s)), 0);
        sim.reset();
        std::this_thread::sleep_for(1s);
        StandaloneSim again({"--link", link});
        ASSERT_FALSE(again.port.empty()) << again.first_line;
        const std::optional<int> status = watch.wait(after(30s));
        const std::string out = watch.read_output(after(1s));
        const std::string err = watch.read_errors(after(1s));
        if (!reconnect) {
            EXPECT_EQ(status, 1) << err;
            EXPECT_EQ(out.find(",lost"), std::string::npos) << out;
            EXPECT_NE(err.find("tolvaner: " + link + ": error occurred during "), std::string::npos)
                << err;
            continue;
        }
        EXPECT_EQ(status, 0) << err;
        // Lost samples have no values and say so; good ones follow again.
        EXPECT_TRUE(std::regex_search(out, std::regex(stamp + ",,,lost\n"))) << out;
        EXPECT_TRUE(std::regex_search(out, std::regex(",,,lost\n(.*\n)*.*,51,0,ok\n$"))) << out;
        // Each change of state once, and the summary counts them.
        EXPECT_TRUE(std::regex_search(
            err, std::regex("^tolvaner: " + link +
                            ": lost \\([^\n]+\\); looking for it once "
                            "a second\ntolvaner: " +
                            link + ": back, on " + link + "\ntolvaner: " + link +
                            ": 12 samples, 0 without a good reply, "
                            "[1-9][0-9]* lost, back 1 time, dac_value 51 to 51, kwh_value 0 "
                            "to 0\n$")))
            << err;
    }
}

TEST(Modes, ReadShowsEachItemAsItsReplyComes) {
    StandaloneSim sim({"--fault", "silent"});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;
    Process read({console_path(), "--read", sim.port});
    const std::string first = read.read_line(after(30s));
    const Clock::time_point first_at = Clock::now();
    const std::string second = read.read_line(after(30s));
    // The second item has the settle time to answer, and as long again after
    // a fault, before its line can come.
    EXPECT_GE(Clock::now() - first_at, 800ms);
    EXPECT_EQ(first + second, "product_id        -\ncode_revision     -\n");
    read.read_output(after(30s));
    EXPECT_EQ(read.wait(after(10s)), 3);
    kill(sim.process.pid(), SIGTERM);
    EXPECT_EQ(sim.process.wait(after(10s)), 0);
}

TEST(Modes, SetThenReadAgreeAndThePacingHolds) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    StandaloneSim sim({});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), console_path());
        args.push_back(sim.port);
        Process p(args);
        Session s;
        s.output = p.read_output(after(30s));
        s.status = p.wait(after(10s));
        return s;
    };
    // A test machine that stalls this process for over 100 ms inside a
    // request makes the device drop it, as a real device would (status 3):
    // that is the machine, not the program, so such a run is made again.
    auto run_again_if_dropped = [&](const std::vector<std::string>& args) {
        Session s = run(args);
        return s.status == 3 ? run(args) : s;
    };
    const Session set = run_again_if_dropped({"--set", "v=4321", "s=3", "m=2", "a=2"});
    const std::string file = dir.path() + "/wire.log";
    Session read = run({"--trace=" + file, "--read"});
    if (read.status == 3) {
        std::remove(file.c_str());
        read = run({"--trace=" + file, "--read"});
    }
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(read.status, 0);
    std::istringstream lines(set.output);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(read.output.find(line + "\n"), std::string::npos) << line << "\n" << read.output;
    }
    // Every byte, the last of a frame too, is followed by the device's 50 ms.
    std::ifstream in(file);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex tx(
        R"(T[0-9]{2}:([0-9]{2}):([0-9]{2})\.([0-9]{3})Z tx [^g]*  gaps ([0-9. ]+))");
    double previous_end = -1;
    int frames = 0;
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), tx);
         it != std::sregex_iterator(); ++it, ++frames) {
        const double start =
            std::stoi((*it)[1]) * 60000.0 + std::stoi((*it)[2]) * 1000.0 + std::stoi((*it)[3]);
        if (previous_end >= 0) {
            // The stamps are whole milliseconds.
            EXPECT_GE(start - previous_end, 49.0) << trace;
        }
        std::istringstream numbers((*it)[4].str());
        previous_end = start;
        for (double gap; numbers >> gap;) {
            EXPECT_GE(gap, 50.0) << trace;
            previous_end += gap;
        }
    }
    EXPECT_EQ(frames, 8) << trace;
    kill(sim.process.pid(), SIGTERM);
    EXPECT_EQ(sim.process.wait(after(10s)), 0);
}

struct WatchEnd {
    const char* name;
    bool sigint_ignored; // inherited as ignored, as nohup and a script's background jobs have it
    std::vector<int> signals; // sent one after another, each after two more samples
    int status;
};

class WatchEnds : public testing::TestWithParam<WatchEnd> {};

// The summary, then the end by the signal itself, as a shell expects of a
// program that catches it: a script that ran the watch stops too.
TEST_P(WatchEnds, WithItsSummaryAndTheSignalAsItsStatus) {
    const WatchEnd& c = GetParam();
    StandaloneSim sim({});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;
    std::vector<std::string> argv{console_path(), "--watch", "0.2", sim.port};
    if (c.sigint_ignored) {
        argv = {"/bin/sh", "-c", "trap '' INT; exec \"$0\" --watch 0.2 \"$1\"", console_path(),
                sim.port};
    }
    Process watch(argv);
    std::string lines;
    for (int signal_number : c.signals) {
        lines += watch.read_line(after(10s));
        lines += watch.read_line(after(10s));
        kill(watch.pid(), signal_number);
    }
    watch.read_output(after(10s));
    EXPECT_EQ(watch.wait(after(10s)), c.status);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2 * std::ssize(c.signals)) << lines;
    EXPECT_TRUE(
        std::regex_match(lines, std::regex("(" + stamp + "  dac_value 51  kwh_value 0\n)+")))
        << lines;
    EXPECT_TRUE(std::regex_match(watch.read_errors(after(5s)),
                                 std::regex("tolvaner: " + sim.port +
                                            ": [0-9]+ samples, 0 without a good reply, "
                                            "dac_value 51 to 51, kwh_value 0 to 0\n")));
    kill(sim.process.pid(), SIGTERM);
    EXPECT_EQ(sim.process.wait(after(10s)), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, WatchEnds,
                         testing::Values(WatchEnd{"ctrl_c", false, {SIGINT}, 128 + SIGINT},
                                         WatchEnd{"sigterm", false, {SIGTERM}, 128 + SIGTERM},
                                         WatchEnd{"ctrl_c_ignored_from_the_start",
                                                  true,
                                                  {SIGINT, SIGTERM},
                                                  128 + SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
