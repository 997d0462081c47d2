// tolvaner.exe under Wine against the device simulator, the simulator's COM
// port link made by the simulator itself.
#include "tests/support/pacing.h"
#include "tests/wine/wine_prefix.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <unistd.h>

using wine::exe_command;
using wine::unix_lines;

namespace {

const std::string simulator_path = TOLVANER_SIM_PATH;
const std::string prompt = "Enter user command: ";
const std::string item_prompt = "Enter V, S, M, D, K, or A: ";

class WineWithSimulator : public wine::WineTest {
  protected:
    void SetUp() override {
        wine::WineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        if (simulator_path.empty() || access(simulator_path.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "the device simulator tolvaner-sim is not built";
        }
    }
};

// The simulator serving on a fresh COM port of the prefix, tracing every frame
// on its standard error.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> options)
        : number_(wine::fresh_com_number()),
          link_(wine::prefix_path() + "/dosdevices/com" + std::to_string(number_)) {
        std::vector<std::string> args{simulator_path, "--trace", "--link", link_};
        args.insert(args.end(), options.begin(), options.end());
        session_ = std::make_unique<e2e::Session>(args);
        up_ = session_->pump_until([this] { return session_->out.find('\n') != std::string::npos; },
                                   10000);
    }
    ~Simulator() {
        session_.reset(); // killed: it cannot take its link away itself
        unlink(link_.c_str());
    }

    bool up() const { return up_ && session_->out.starts_with("tolvaner-sim: device on "); }
    std::string port() const { return wine::com_name(number_); }
    // The trace so far, after a moment for the last lines to come in.
    std::string trace() {
        session_->pump_until([] { return false; }, 200);
        return session_->err;
    }

  private:
    int number_;
    std::string link_;
    std::unique_ptr<e2e::Session> session_;
    bool up_ = false;
};

struct TracedRequest {
    std::string bytes;        // "52 01 56 05"
    std::vector<double> gaps; // between its bytes, in ms, as the device saw them
};

// The requests the device received, from lines like
//    12.304 rx 52 01 56 05  gaps 50.1 50.0 50.2
std::vector<TracedRequest> received(const std::string& trace) {
    std::vector<TracedRequest> requests;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t rx = line.find(" rx ");
        if (rx == std::string::npos) {
            continue;
        }
        const size_t gaps = line.find("  gaps ");
        TracedRequest r;
        r.bytes =
            line.substr(rx + 4, gaps == std::string::npos ? std::string::npos : gaps - rx - 4);
        if (gaps != std::string::npos) {
            std::istringstream numbers(line.substr(gaps + 7));
            double gap;
            while (numbers >> gap) {
                r.gaps.push_back(gap);
            }
        }
        requests.push_back(r);
    }
    return requests;
}

TEST_F(WineWithSimulator, AQuerySessionShowsTheDevicesSettings) {
    // No load: the live values are 0. Settings are acknowledged, and the
    // acknowledgements must never be taken for the next query's reply. A
    // pulse value of 0x1311 puts XON and XOFF on the line both ways.
    Simulator sim({"--ack", "--load", "0", "--id", "W1", "--rev", "-7"});
    ASSERT_TRUE(sim.up()) << sim.trace();
    e2e::Run r = e2e::run(exe_command({sim.port()}),
                          "i c r v v 4881 s 8 m 2 a 7 r v r s r m r a d r s r k r d x\n");
    const std::string out = unix_lines(r.out);
    EXPECT_EQ(out, prompt + "Product ID = W1\n" + prompt + "Code revision level = -7\n" + prompt +
                       item_prompt + "Pulse Value = 10 watt-hours\n" + prompt +
                       "Enter Pulse Value (1-65535): " + prompt + "Enter Full Scale range (1-8): " +
                       prompt + "Enter output mode (1=Instant, 2=Average): " + prompt +
                       "Enter average interval (1-7): " + prompt + item_prompt +
                       "Pulse Value = 4881 watt-hours\n" + prompt + item_prompt +
                       "Full Scale value = 200 kilowatts\n" + prompt + item_prompt +
                       "Output Mode = A\n" + prompt + item_prompt +
                       "Average Interval = 60 minutes\n" + prompt + prompt + item_prompt +
                       "Full Scale value = 10 kilowatts\n" + prompt + item_prompt +
                       "most recent KWH value = 0\n" + prompt + item_prompt +
                       "most recent DAC value = 0\n" + prompt);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // Every request reached the device whole and paced: a request with a
    // pause over 100 ms, or a checksum or length the device refuses, would
    // have gone unanswered above.
    std::vector<TracedRequest> requests = received(sim.trace());
    ASSERT_EQ(requests.size(), 15u) << sim.trace();
    EXPECT_EQ(requests[3].bytes, "56 02 11 13 56");
    EXPECT_EQ(requests[11].bytes, "44 00 44");
    std::vector<double> gaps;
    for (const TracedRequest& request : requests) {
        EXPECT_EQ(request.gaps.size(), (request.bytes.size() + 1) / 3 - 1) << request.bytes;
        gaps.insert(gaps.end(), request.gaps.begin(), request.gaps.end());
    }
    EXPECT_TRUE(support::paced(gaps));
}

TEST_F(WineWithSimulator, FaultModesShowAsFaults) {
    struct {
        const char* fault;
        std::string product_id;
        std::string readback;
    } cases[] = {
        {"corrupt", "Packet checksum fault\n", "Packet checksum fault\nnumber of bytes read = 5\n"},
        {"truncate", "Packet checksum fault\n",
         "Packet checksum fault\nnumber of bytes read = 3\n"},
        {"silent", "Packet checksum fault\n", "Packet checksum fault\nnumber of bytes read = 0\n"},
    };
    for (const auto& c : cases) {
        Simulator sim({"--fault", c.fault});
        ASSERT_TRUE(sim.up()) << c.fault << ": " << sim.trace();
        e2e::Run r = e2e::run(exe_command({sim.port()}), "i r v x\n");
        EXPECT_EQ(unix_lines(r.out),
                  prompt + c.product_id + prompt + item_prompt + c.readback + prompt)
            << c.fault;
        EXPECT_EQ(r.status, 0) << c.fault;
        EXPECT_EQ(received(sim.trace()).size(), 2u) << c.fault;
    }
}

// One row per mode: tolvaner.exe's results, status and the pacing the device
// saw, with the fast exchange's waits done by the Windows port time-outs.
TEST_F(WineWithSimulator, EachModeRunsAndKeepsThePacing) {
    const std::string stamp = R"(20[0-9-]{8}T[0-9:]{8}\.[0-9]{3}Z)";
    struct {
        std::vector<std::string> options;
        std::vector<std::string> args;
        std::string out; // a pattern
        int status;
        size_t requests;
    } cases[] = {
        {{"--load", "0", "--id", "W1", "--rev", "-7"},
         {"--read"},
         "product_id        W1\ncode_revision     -7\npulse_value       10 watt-hours\n"
         "full_scale        10 kilowatts\noutput_mode       I\naverage_interval  5 minutes\n"
         "dac_value         0\nkwh_value         0 kilowatt-hours\n",
         0,
         8},
        {{"--ack"},
         {"--set", "v=4881", "s=8", "--expect=full_scale=200", "output_mode=A"},
         "pulse_value       4881 watt-hours\nfull_scale        200 kilowatts\noutput_mode       "
         "I\n",
         4,
         5},
        {{},
         {"--watch=0.3", "--count", "2", "--csv"},
         "time,dac_value,kwh_value,status\n(" + stamp + ",51,0,ok\n){2}",
         0,
         4},
    };
    for (const auto& c : cases) {
        Simulator sim(c.options);
        ASSERT_TRUE(sim.up()) << sim.trace();
        std::vector<std::string> args = c.args;
        args.push_back(sim.port());
        e2e::Run r = e2e::run(exe_command(args), "");
        EXPECT_TRUE(std::regex_match(unix_lines(r.out), std::regex(c.out))) << r.out << r.err;
        EXPECT_EQ(r.status, c.status) << c.args[0] << r.err;
        std::vector<TracedRequest> requests = received(sim.trace());
        EXPECT_EQ(requests.size(), c.requests) << sim.trace();
        std::vector<double> gaps;
        for (const TracedRequest& request : requests) {
            gaps.insert(gaps.end(), request.gaps.begin(), request.gaps.end());
        }
        EXPECT_TRUE(support::paced(gaps)) << c.args[0];
    }
}

} // namespace
