// The simulator program itself over real pseudo-terminals: its command line,
// the port it serves, the line's raw bytes and timing, and running a program.
#include "tests/support/case_name.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace harness;

namespace {

const Bytes read_revision{0x43, 0x00, 0x43};
const Bytes revision_reply{0x43, 0x01, 0x0C, 0x4E};
const Bytes read_pulse_value{0x52, 0x01, 0x56, 0x05};

Bytes frame(std::uint8_t opcode, const Bytes& payload) {
    Bytes f{opcode, static_cast<std::uint8_t>(payload.size())};
    std::uint8_t sum = opcode ^ f[1];
    for (std::uint8_t b : payload) {
        f.push_back(b);
        sum ^= b;
    }
    f.push_back(sum);
    return f;
}

// Stops a standalone simulator and returns its exit status.
std::optional<int> stop(StandaloneSim& sim, int signal_number = SIGTERM) {
    kill(sim.process.pid(), signal_number);
    return sim.process.wait(after(10s));
}

class Standalone : public testing::TestWithParam<int> {};

TEST_P(Standalone, PrintsItsPortOnOneLineAndStopsCleanlyOnSignal) {
    StandaloneSim sim({});
    ASSERT_TRUE(std::regex_match(sim.first_line, std::regex("tolvaner-sim: device on /dev/.+\n")))
        << sim.first_line;
    struct stat st {};
    ASSERT_EQ(stat(sim.port.c_str(), &st), 0) << sim.port;
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(stop(sim, GetParam()), 0);
    EXPECT_EQ(sim.process.read_output(after(5s)), "");
    EXPECT_EQ(sim.process.read_errors(after(5s)), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, Standalone, testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return info.param == SIGINT ? "SIGINT" : "SIGTERM";
                         });

TEST(Standalone, ServesOneClientAfterAnother) {
    StandaloneSim sim({});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;
    {
        Port port(sim.port);
        ASSERT_TRUE(port.is_open());
        port.write_bytes(read_revision);
        EXPECT_EQ(port.read_bytes(4, after(5s)), revision_reply);
        port.write_bytes(frame('V', {0xE8, 0x03}));
    }
    // The settings stay with the device, and the port outlives its client.
    for (int session = 0; session < 2; ++session) {
        // Time for the simulator to see the last client go.
        std::this_thread::sleep_for(200ms);
        Port port(sim.port);
        ASSERT_TRUE(port.is_open());
        port.write_bytes(read_pulse_value);
        EXPECT_EQ(port.read_bytes(5, after(5s)), frame('R', {0xE8, 0x03})) << session;
    }
    EXPECT_EQ(stop(sim), 0);
}

TEST(Standalone, LinkNamesThePortUntilTheSimulatorStops) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string link = dir.path() + "/meter";
    StandaloneSim sim({"--link", link});
    ASSERT_FALSE(sim.port.empty()) << sim.first_line;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.port);
    {
        Port port(link);
        ASSERT_TRUE(port.is_open());
        port.write_bytes(read_revision);
        EXPECT_EQ(port.read_bytes(4, after(5s)), revision_reply);
    }
    EXPECT_EQ(stop(sim), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(Standalone, LinkThatCannotBeMadeIsAnError) {
    TempDir dir;
    Process sim({sim_path(), "--link", dir.path() + "/no/such/folder/meter"});
    EXPECT_EQ(sim.wait(after(10s)), 1);
    EXPECT_EQ(sim.read_output(after(5s)), "");
    EXPECT_NE(sim.read_errors(after(5s)).find("tolvaner-sim: cannot make the link"),
              std::string::npos);
}

// With --port the simulator serves a terminal it is given; here the slave of a
// pseudo-terminal left as the kernel makes it, the test on the master side as
// the client at the far end of a null-modem cable.
TEST(PortOption, MakesTheLineRawServesItAndEndsWhenItHangsUp) {
    Pty line(false);
    ASSERT_FALSE(line.path().empty());
    StandaloneSim sim({"--port", line.path()});
    ASSERT_EQ(sim.port, line.path()) << sim.first_line;
    termios tio{};
    ASSERT_EQ(tcgetattr(line.slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL), CS8 | CLOCAL);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);

    line.write(read_revision);
    Bytes reply;
    while (reply.size() < revision_reply.size() && readable(line.master(), after(5s))) {
        std::uint8_t buffer[16];
        const ssize_t got = read(line.master(), buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        reply.insert(reply.end(), buffer, buffer + got);
    }
    EXPECT_EQ(reply, revision_reply) << hex(reply);

    line.hang_up();
    EXPECT_EQ(sim.process.wait(after(5s)), 1);
    EXPECT_NE(sim.process.read_errors(after(5s)).find(line.path() + " hung up"), std::string::npos);
}

TEST(PortOption, APortThatCannotBeOpenedIsAnError) {
    TempDir dir;
    Process sim({sim_path(), "--port", dir.path() + "/no-such-port"});
    EXPECT_EQ(sim.wait(after(10s)), 1);
    EXPECT_NE(sim.read_errors(after(5s)).find("tolvaner-sim: cannot open"), std::string::npos);
}

// The client leaves the terminal settings alone: the simulator must have made
// the line raw, or line ends, flow-control and signal characters would be
// translated, swallowed or held back for a whole line.
TEST(Line, CarriesEveryByteValueBothWays) {
    StandaloneSim sim({});
    Port port(sim.port);
    ASSERT_TRUE(port.is_open()) << sim.first_line;
    for (unsigned low = 0; low < 256; low += 2) {
        const Bytes value{static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(low + 1)};
        port.write_bytes(frame('V', value));
        port.write_bytes(read_pulse_value);
        const Bytes reply = port.read_bytes(5, after(5s));
        ASSERT_EQ(reply, frame('R', value)) << hex(reply);
    }
    EXPECT_EQ(stop(sim), 0);
}

TEST(Line, TakesBytesSentWithTheConsolesGap) {
    StandaloneSim sim({});
    Port port(sim.port);
    port.write_paced(read_pulse_value, 50ms);
    EXPECT_EQ(port.read_bytes(5, after(5s)), frame('R', {10, 0}));
}

TEST(Line, DropsARequestThatPausesTooLong) {
    StandaloneSim sim({});
    Port port(sim.port);
    port.write_bytes({0x52, 0x01});
    // Well past the 100 ms the device waits for the rest of a request.
    std::this_thread::sleep_for(300ms);
    // Were the first two bytes kept, these would end a request with a bad
    // checksum and the device would say nothing.
    port.write_bytes(read_revision);
    EXPECT_EQ(port.read_bytes(4, after(5s)), revision_reply);
}

TEST(WireFault, LateAnswerComesAfterTheSettleTimeAndWhole) {
    StandaloneSim sim({"--fault", "late"});
    Port port(sim.port);
    ASSERT_TRUE(port.is_open()) << sim.first_line;
    port.write_bytes(read_pulse_value);
    // The device holds the answer 700 ms from the moment it has the request,
    // which is after we sent it.
    EXPECT_EQ(port.read_until(after(650ms)), Bytes{});
    EXPECT_EQ(port.read_bytes(5, after(5s)), frame('R', {10, 0}));
}

TEST(Ack, EverySettingIsAnsweredWithAnEmptyFrame) {
    StandaloneSim sim({"--ack"});
    Port port(sim.port);
    ASSERT_TRUE(port.is_open()) << sim.first_line;
    for (const Bytes& setting : {frame('V', {0xE8, 0x03}), frame('S', {2}), frame('M', {2}),
                                 frame('A', {9}), frame('D', {}), frame('T', {})}) {
        port.write_bytes(setting);
        EXPECT_EQ(port.read_bytes(3, after(5s)), (Bytes{setting[0], 0, setting[0]}));
    }
}

TEST(Trace, ShowsRequestsWithGapsAnswersAndRefusals) {
    StandaloneSim sim({"--trace"});
    Port port(sim.port);
    ASSERT_TRUE(port.is_open()) << sim.first_line;
    port.write_paced(read_revision, 50ms);
    ASSERT_EQ(port.read_bytes(4, after(5s)), revision_reply);
    port.write_bytes({0x52, 0x01, 0x56, 0x06});
    port.write_bytes({0x5A, 0x00, 0x5A});
    // An answered request after them shows that the device has traced them.
    port.write_bytes(read_revision);
    ASSERT_EQ(port.read_bytes(4, after(5s)), revision_reply);
    ASSERT_EQ(stop(sim), 0);
    const std::string trace = sim.process.read_errors(after(5s));
    const std::string time = R"( *[0-9]+\.[0-9]{3})";
    for (const std::string& line :
         {time + R"( rx 43 00 43  gaps [0-9]+\.[0-9] [0-9]+\.[0-9])", time + " tx 43 01 0C 4E",
          time + R"( rx 52 01 56 06  gaps .*\(bad checksum\))",
          time + R"( rx 5A 00 5A  gaps .*\(unknown opcode\))"}) {
        EXPECT_TRUE(std::regex_search(trace, std::regex("(^|\n)" + line + "\n"))) << line << "\n"
                                                                                  << trace;
    }
}

TEST(Program, GetsThePortAsItsLastArgumentAndItsStatusIsTheSimulators) {
    Process sim({sim_path(), "--", "/bin/sh", "-c", R"(test -c "$0" && printf '%s' "$0"; exit 7)"});
    const std::string out = sim.read_output(after(10s));
    EXPECT_EQ(sim.wait(after(10s)), 7);
    EXPECT_TRUE(out.starts_with("/dev/")) << out;
    EXPECT_EQ(out.find("tolvaner-sim"), std::string::npos) << "no port line with a program";
}

TEST(Program, InheritsStandardInputAndOutput) {
    Process sim({sim_path(), "--", "/bin/sh", "-c", R"(read line; echo "got $line")"});
    sim.send("hello\n", true);
    EXPECT_EQ(sim.read_output(after(10s)), "got hello\n");
    EXPECT_EQ(sim.wait(after(10s)), 0);
}

TEST(Program, KilledBySignalGives128PlusTheSignal) {
    Process sim({sim_path(), "--", "/bin/sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(sim.wait(after(10s)), 128 + SIGTERM);
}

TEST(Program, SigtermIsPassedOnAndSigintLeftToTheTerminal) {
    Process sim({sim_path(), "--", "/bin/sh", "-c", "echo started; read line; exec sleep 30"});
    ASSERT_EQ(sim.read_line(after(10s)), "started\n");
    // A SIGINT for the simulator alone does not end the session.
    kill(sim.pid(), SIGINT);
    EXPECT_EQ(sim.wait(after(300ms)), std::nullopt);
    sim.send("go\n");
    std::this_thread::sleep_for(100ms);
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.wait(after(10s)), 128 + SIGTERM);
}

TEST(Program, ThatCannotRunIsReported) {
    Process sim({sim_path(), "--", "/no/such/program"});
    EXPECT_EQ(sim.wait(after(10s)), 127);
    EXPECT_NE(sim.read_errors(after(5s)).find("cannot run /no/such/program"), std::string::npos);
}

class CommandLine : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(CommandLine, WrongOneSaysWhyOnStandardErrorAndExits2) {
    std::vector<std::string> argv{sim_path()};
    argv.insert(argv.end(), GetParam().begin(), GetParam().end());
    Process sim(argv);
    EXPECT_EQ(sim.wait(after(10s)), 2);
    EXPECT_EQ(sim.read_output(after(5s)), "");
    EXPECT_TRUE(sim.read_errors(after(5s)).starts_with("tolvaner-sim: "));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    testing::Values(std::vector<std::string>{"--fault", "loud"},
                    std::vector<std::string>{"--id", "TOOLONG"},
                    std::vector<std::string>{"--rev", "200"},
                    std::vector<std::string>{"--load", "-3"}, std::vector<std::string>{"--bogus"},
                    std::vector<std::string>{"tolvaner"}, std::vector<std::string>{"--"},
                    std::vector<std::string>{"--port", "/dev/null", "--", "/bin/true"}),
    [](const auto& info) { return support::case_name(info.index, info.param); });

TEST(CommandLine, HelpGoesToStandardOutput) {
    Process sim({sim_path(), "--help"});
    const std::string out = sim.read_output(after(10s));
    EXPECT_EQ(sim.wait(after(10s)), 0);
    EXPECT_TRUE(out.starts_with("Usage: tolvaner-sim [OPTIONS] [-- PROGRAM [ARGS...]]\n")) << out;
}

} // namespace
