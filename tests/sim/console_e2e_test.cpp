// The console against the simulated device: `tolvaner-sim -- tolvaner` with
// scripted input, and the standalone simulator used by consoles started on
// their own. Transcripts are compared whole.
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

const std::string command = "Enter user command: ";
const std::string item = "Enter V, S, M, D, K, or A: ";
const std::string pulse = "Enter Pulse Value (1-65535): ";
const std::string scale = "Enter Full Scale range (1-8): ";
const std::string mode = "Enter output mode (1=Instant, 2=Average): ";
const std::string interval = "Enter average interval (1-7): ";
const std::string fault = "Packet checksum fault\n";

// A console started on its own on `port`.
Session run_console(const std::string& port, const std::string& input) {
    Process console({console_path(), port});
    console.send(input, true);
    Session s;
    s.output = console.read_output(after(60s));
    s.status = console.wait(after(10s));
    return s;
}

// The values of every line of `output` that starts with `label`.
std::vector<int> values_after(const std::string& output, const std::string& label) {
    std::vector<int> values;
    const std::regex line(label + " = (-?[0-9]+)");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), line);
         it != std::sregex_iterator(); ++it) {
        values.push_back(std::stoi((*it)[1]));
    }
    return values;
}

struct SettingsCase {
    const char* name;
    const char* input;
    const char* pulse_value;
    const char* full_scale;
    char mode;
    const char* interval;
};

class ConsoleSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(ConsoleSettings, AreSetAndReadBack) {
    const SettingsCase& c = GetParam();
    const Session s = run_session({}, c.input);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.output, command + pulse + command + scale + command + mode + command + interval +
                            command + item + "Pulse Value = " + c.pulse_value + " watt-hours\n" +
                            command + item + "Full Scale value = " + c.full_scale + " kilowatts\n" +
                            command + item + "Output Mode = " + c.mode + "\n" + command + item +
                            "Average Interval = " + c.interval + " minutes\n" + command);
}

INSTANTIATE_TEST_SUITE_P(Values, ConsoleSettings,
                         testing::Values(SettingsCase{"highest",
                                                      "V 65535 S 8 M 2 A 7 R V R S R M R A x",
                                                      "65535", "200", 'A', "60"},
                                         SettingsCase{"lowest", "v 1 s 1 m 1 a 1 r v r s r m r a x",
                                                      "1", "1", 'I', "1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Console, DefaultsRestoreEverySetting) {
    const Session s = run_session({}, "V 1000 S 8 M 2 A 7 D R V R S R M R A");
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.output, command + pulse + command + scale + command + mode + command + interval +
                            command + command + item + "Pulse Value = 10 watt-hours\n" + command +
                            item + "Full Scale value = 10 kilowatts\n" + command + item +
                            "Output Mode = I\n" + command + item +
                            "Average Interval = 5 minutes\n" + command + "\n");
}

TEST(Console, ProductIdAndRevisionAsConfigured) {
    for (const auto& [options, id, rev] :
         {std::tuple<std::vector<std::string>, std::string, std::string>{{}, "TLV1", "12"},
          {{"--id", "AB", "--rev", "-123"}, "AB", "-123"}}) {
        const Session s = run_session(options, "I C x");
        EXPECT_EQ(s.status, 0);
        EXPECT_EQ(s.output, command + "Product ID = " + id + "\n" + command +
                                "Code revision level = " + rev + "\n" + command);
    }
}

TEST(Console, LiveValuesFollowTheLoad) {
    // 2 kW of the default 10 kW scale; no whole kWh yet.
    const Session idle = run_session({}, "R D R K x");
    EXPECT_EQ(idle.output, command + item + "most recent DAC value = 51\n" + command + item +
                               "most recent KWH value = 0\n" + command);
    // 36000 kW make 10 kWh a second, and fill a 200 kW scale.
    const Session busy = run_session({"--load", "36000"}, "S 8 R K R K R D x");
    EXPECT_EQ(busy.status, 0);
    const std::vector<int> kwh = values_after(busy.output, "most recent KWH value");
    ASSERT_EQ(kwh.size(), 2U) << busy.output;
    EXPECT_GT(kwh[0], 0);
    // The readbacks are at least 600 ms apart: 6 kWh or more.
    EXPECT_GE(kwh[1] - kwh[0], 6) << busy.output;
    EXPECT_EQ(values_after(busy.output, "most recent DAC value"), std::vector<int>{255});
}

TEST(Console, TestModeSweepsTheDac) {
    const Session s = run_session({}, "T R D R D V 1000 R D x");
    EXPECT_EQ(s.status, 0);
    const std::vector<int> dac = values_after(s.output, "most recent DAC value");
    ASSERT_EQ(dac.size(), 3U) << s.output;
    // One step each 100 ms, and the readbacks are at least 600 ms apart.
    EXPECT_GE(dac[1] - dac[0], 6) << s.output;
    // The pulse value taken ends test mode: back to the load's 51.
    EXPECT_EQ(dac[2], 51) << s.output;
}

TEST(Console, AcknowledgedSettingsDoNotDisturbTheReadbacks) {
    const Session s = run_session({"--ack"}, "V 1000 T D V 2000 R V I x");
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.output, command + pulse + command + command + command + pulse + command + item +
                            "Pulse Value = 2000 watt-hours\n" + command + "Product ID = TLV1\n" +
                            command);
}

// The exchanges in a trace: each request's bytes in hex, and the bytes of
// every answer line up to the next request. The program's trace says tx for
// what the simulator's says rx, and the other way round.
using Exchanges = std::vector<std::pair<std::string, std::string>>;

Exchanges exchanges(const std::string& trace, const std::string& request) {
    static const std::regex line(R"(^\s*\S+ (tx|rx)( \(none\))?((?: [0-9A-F]{2})*))");
    Exchanges found;
    std::istringstream in(trace);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (!std::regex_search(text, m, line)) {
            continue;
        }
        if (m[1] == request) {
            found.emplace_back(m[3], "");
        } else if (!found.empty()) {
            found.back().second += m[3];
        }
    }
    return found;
}

// What the program's trace says of each read after a request.
std::vector<std::string> verdicts(const std::string& trace) {
    static const std::regex line(R"( rx .*  [0-9]+ bytes?  (.*)$)");
    std::vector<std::string> found;
    std::istringstream in(trace);
    bool requested = false;
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        requested = requested || text.find(" tx ") != std::string::npos;
        if (requested && std::regex_search(text, m, line)) {
            found.push_back(m[1]);
        }
    }
    return found;
}

// The gaps between the bytes sent, in milliseconds, from the program's trace.
std::vector<double> sent_gaps(const std::string& trace) {
    static const std::regex line(R"( tx [^g]*  gaps ([0-9. ]+)$)");
    std::vector<double> gaps;
    std::istringstream in(trace);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, line)) {
            std::istringstream numbers(m[1].str());
            for (double gap; numbers >> gap;) {
                gaps.push_back(gap);
            }
        }
    }
    return gaps;
}

struct FaultCase {
    const char* mode;
    const char* bytes_read; // of a readback of the pulse value
    const char* verdict;    // in the trace, of each of the three replies
};

class ConsoleFault : public testing::TestWithParam<FaultCase> {};

// Traced on both ends: the program's trace must show the frames the
// simulator's shows, and say why each reply was refused.
TEST_P(ConsoleFault, EveryQueryReportsAChecksumFault) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.path() + "/wire.log";
    const Session s =
        run_session({"--trace", "--fault", GetParam().mode}, "I C R V x", {"--trace", file});
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.output, command + fault + command + fault + command + item + fault +
                            "number of bytes read = " + GetParam().bytes_read + "\n" + command);

    std::ifstream in(file);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Exchanges ours = exchanges(trace, "tx");
    EXPECT_EQ(ours.size(), 3U) << trace;
    EXPECT_EQ(ours, exchanges(s.errors, "rx")) << "the program's trace:\n"
                                               << trace << "the simulator's:\n"
                                               << s.errors;
    // Each reply's verdict, which standard error repeats after the fault.
    const std::vector<std::string> said = verdicts(trace);
    EXPECT_EQ(said.size(), 3U) << trace;
    for (const std::string& verdict : said) {
        EXPECT_EQ(verdict.rfind(GetParam().verdict, 0), 0U) << trace;
        EXPECT_NE(s.errors.find(": " + verdict.substr(7) + "\n"), std::string::npos) << s.errors;
    }
    // Traced, the pacing still gives the device its 50 ms after every byte.
    const std::vector<double> gaps = sent_gaps(trace);
    EXPECT_EQ(gaps.size(), 2U + 2U + 3U) << trace;
    for (double gap : gaps) {
        EXPECT_GE(gap, 50.0) << trace;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConsoleFault,
    testing::Values(FaultCase{"silent", "0", "fault: nothing arrived within the settle time"},
                    FaultCase{"corrupt", "5", "fault: bad checksum: the "},
                    FaultCase{"truncate", "3", "fault: 3 bytes where a frame "},
                    FaultCase{"noise", "6", "fault: length byte "}),
    [](const auto& info) { return std::string(info.param.mode); });

TEST(ConsoleFault, LateAnswerMissesTheRead) {
    // One query only: a second one would find this late answer waiting.
    const Session s = run_session({"--fault", "late"}, "R V x");
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.output, command + item + fault + "number of bytes read = 0\n" + command);
}

TEST(ConsoleStandalone, SessionsOneAfterAnotherByPortAndByLink) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string link = dir.path() + "/meter";
    // With acknowledgements, the first session leaves one unread on the line
    // for the next session's start-up read.
    StandaloneSim sim({"--link", link, "--ack"});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;

    const Session first = run_console(sim.port, "V 1000 S 2 x");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.output, command + pulse + command + scale + command);

    const Session second = run_console(link, "R V R S");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.output, command + item + "Pulse Value = 1000 watt-hours\n" + command + item +
                                 "Full Scale value = 2 kilowatts\n" + command + "\n");

    kill(sim.process.pid(), SIGTERM);
    EXPECT_EQ(sim.process.wait(after(10s)), 0);
}

} // namespace
