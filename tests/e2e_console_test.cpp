// The built program over real pseudo-terminals, the test playing the device.
#include "tests/support/late_device.h"
#include "tests/support/pacing.h"
#include "tests/support/pty_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

using e2e::Bytes;
using e2e::frame;
using namespace std::chrono_literals;

namespace {

const std::string program = TOLVANER_PATH;
const std::string prompt = "Enter user command: ";

TEST(EndToEnd, UsageOnAWrongArgumentCount) {
    const std::string usage = "Enter: 'tolvaner      COMn' where n = 1-9\n"
                              "Enter: 'tolvaner  \\\\.\\COMm' where m > 9\n";
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {{{program}, ""},
                 {{program, "/dev/null", "extra"}, ""},
                 // A mistake beside the usage lines is said on standard error.
                 {{program, "-read", "/dev/null"},
                  "tolvaner: unknown option -read (an option begins with --: --read)\n"},
                 {{program, "/dev/null", "--read"},
                  "tolvaner: --read after the port /dev/null: the port comes last\n"}};
    for (const auto& c : cases) {
        e2e::Run r = e2e::run(c.args, "");
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

TEST(EndToEnd, OpenFailures) {
    e2e::TempDir dir;
    std::string file = dir.path() + "/not-a-port";
    std::ofstream(file) << "data";
    const std::string not_serial = "Inappropriate ioctl for device: not a serial port";
    struct {
        std::string port;
        const char* message;
        std::string cause; // on standard error
    } cases[] = {{dir.path() + "/ttyUSB9", "serial port does not exist\n",
                  "No such file or directory: no such port (tolvaner --list shows the ports)"},
                 {file, "error getting comm state\n", not_serial},
                 {"/dev/null", "error getting comm state\n", not_serial},
                 {dir.path(), "error occurred while opening comm port\n", "Is a directory"}};
    for (const auto& c : cases) {
        e2e::Run r = e2e::run({program, c.port}, "x\n");
        EXPECT_EQ(r.out, c.message) << c.port;
        EXPECT_EQ(r.err, "tolvaner: " + c.port + ": " + c.cause + "\n") << c.port;
        EXPECT_EQ(r.status, 1) << c.port;
    }
}

TEST(EndToEnd, ASecondProgramCannotTakeABusyPort) {
    e2e::Pty pty;
    e2e::Session first({program, pty.path()}, &pty);
    ASSERT_TRUE(first.pump_until([&] { return first.out == prompt; }));

    e2e::Run second = e2e::run({program, pty.path()}, "x\n", &pty);
    EXPECT_EQ(second.out, "error occurred while opening comm port\n");
    EXPECT_EQ(second.status, 1);

    first.type("x\n");
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(first.status, 0);
    // Free again once the first has ended.
    e2e::Run third = e2e::run({program, pty.path()}, "x\n", &pty);
    EXPECT_EQ(third.out, prompt);
    EXPECT_EQ(third.status, 0);
}

TEST(EndToEnd, TheLineIsBinaryCleanAt57600_8N1) {
    e2e::Pty pty;
    termios before{};
    tcgetattr(pty.slave(), &before);
    // Settings a terminal may come with that would corrupt frames.
    before.c_iflag |= ICRNL | IXON | IXOFF | INLCR | ISTRIP;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    tcsetattr(pty.slave(), TCSANOW, &before);

    e2e::Session s({program, pty.path()}, &pty);
    ASSERT_TRUE(s.pump_until([&] { return s.out == prompt; }));
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware handshaking, whatever was left on";
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    // Opened non-blocking: a blocking open of a real port with CLOCAL cleared
    // waits for carrier.
    std::string fd_dir = "/proc/" + std::to_string(s.pid()) + "/fd/";
    bool found = false;
    for (int fd = 0; fd < 64 && !found; ++fd) {
        char target[256] = {};
        std::string link = fd_dir + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && target == pty.path()) {
            found = true;
            std::ifstream info("/proc/" + std::to_string(s.pid()) + "/fdinfo/" +
                               std::to_string(fd));
            std::string key;
            unsigned long flags = 0;
            while (info >> key && key != "flags:") {
            }
            info >> std::oct >> flags;
            EXPECT_NE(flags & O_NONBLOCK, 0u);
        }
    }
    EXPECT_TRUE(found) << "the program holds the port";
    s.type("x\n");
    ASSERT_TRUE(s.finish());
}

TEST(EndToEnd, StartUpReadTakesInWhatIsWaiting) {
    struct {
        Bytes waiting;
        std::string out;
    } cases[] = {{frame({0x44, 0x00}), ""}, {Bytes{0x44, 0x00, 0x45}, "Packet checksum fault\n"}};
    for (const auto& c : cases) {
        e2e::Pty pty;
        pty.write(c.waiting);
        e2e::Run r = e2e::run({program, pty.path()}, "b 1 x\n", &pty);
        std::string dump = c.waiting[2] == 0x44 ? "68 0 68 0 0 0 0 0\n" : "68 0 69 0 0 0 0 0\n";
        EXPECT_EQ(r.out, c.out + prompt + "Enter buffer selection (0=Tx, 1=Rx): " + dump + prompt)
            << "nothing waiting was flushed";
        EXPECT_EQ(r.status, 0);
    }
}

TEST(EndToEnd, RequestsLeaveWithTheDevicesByteGap) {
    e2e::Pty pty;
    e2e::Run r = e2e::run({program, pty.path()}, "v 1000 d t s 8 x\n", &pty);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.requests.size(), 4u);
    EXPECT_EQ(r.requests[0], (Bytes{0x56, 0x02, 0xE8, 0x03, 0xBF}));
    EXPECT_EQ(r.requests[1], (Bytes{0x44, 0x00, 0x44}));
    EXPECT_EQ(r.requests[2], (Bytes{0x54, 0x00, 0x54}));
    EXPECT_EQ(r.requests[3], (Bytes{0x53, 0x01, 0x08, 0x5A}));
    std::vector<double> gaps;
    for (size_t i = 1; i < r.wire.size(); ++i) {
        gaps.push_back(r.wire[i].at_ms - r.wire[i - 1].at_ms);
    }
    EXPECT_TRUE(support::paced(gaps));
}

// A device that answers every query with a fixed reply after a delay.
e2e::Device answering(std::vector<Bytes> replies, double delay_ms = 20) {
    auto queue = std::make_shared<std::vector<Bytes>>(std::move(replies));
    return [queue, delay_ms](const Bytes& request) -> std::optional<e2e::Answer> {
        if (std::string("ICR").find(static_cast<char>(request[0])) == std::string::npos ||
            queue->empty()) {
            return std::nullopt;
        }
        Bytes reply = queue->front();
        queue->erase(queue->begin());
        return e2e::Answer{reply, delay_ms};
    };
}

TEST(EndToEnd, QueriesShowWhatTheDeviceSent) {
    // A terminal as the kernel makes it: any setting the program leaves on
    // would echo, swallow or translate the control bytes in these replies.
    e2e::Pty pty(false);
    // Payload bytes a terminal would take as control characters.
    e2e::Run r = e2e::run(
        {program, pty.path()}, "i c r v r k r d r a r m r q x\n", &pty,
        answering({frame({0x49, 3, 'A', 0x11, 'Z'}), frame({0x43, 1, 0x80}),
                   frame({0x52, 2, 0x11, 0x13}), frame({0x52, 2, 0x0D, 0x0A}),
                   frame({0x52, 1, 0x03}), frame({0x52, 1, 0x7F}), frame({0x52, 1, '2'})}));
    const std::string item = "Enter V, S, M, D, K, or A: ";
    EXPECT_EQ(r.out, prompt + "Product ID = A\\x11Z\n" + prompt + "Code revision level = -128\n" +
                         prompt + item + "Pulse Value = 4881 watt-hours\n" + prompt + item +
                         "most recent KWH value = 2573\n" + prompt + item +
                         "most recent DAC value = 3\n" + prompt + item +
                         "Average Interval = 127 minutes\n" + prompt + item + "Output Mode = 2\n" +
                         prompt + item + "invalid entry\n" + prompt);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.requests.size(), 7u) << "the bad item sent nothing";
    EXPECT_EQ(r.requests[3], (Bytes{0x52, 0x01, 0x4B, 0x18}));
}

TEST(EndToEnd, BadRepliesAreFaultsNeverValues) {
    const std::string item = "Enter V, S, M, D, K, or A: ";
    Bytes too_long(32, 0);
    too_long[0] = 0x52;
    too_long[1] = 30;
    struct {
        std::optional<Bytes> reply; // nullopt: silent
        std::string shown;
    } cases[] = {
        {std::nullopt, "Packet checksum fault\nnumber of bytes read = 0\n"},
        {Bytes{0x52, 0x02, 0xE8}, "Packet checksum fault\nnumber of bytes read = 3\n"},
        {Bytes{0x52, 0x02, 0xE8, 0x03, 0xBA}, "Packet checksum fault\nnumber of bytes read = 5\n"},
        {too_long, "Packet checksum fault\nnumber of bytes read = 32\n"},
        // More than one frame, or the first reply less its checksum byte (left in
        // the buffer by the first read): faults, never values.
        {Bytes{0x52, 0x02, 0xE8, 0x03, 0xBB, 0x13, 0x11, 0x00},
         "Packet checksum fault\nnumber of bytes read = 8\n"},
        {Bytes{0x52, 0x02, 0x10, 0x27}, "Packet checksum fault\nnumber of bytes read = 4\n"},
    };
    for (const auto& c : cases) {
        e2e::Pty pty;
        // A good reply first, so that a fault can't pass off the old one.
        auto replies = std::make_shared<std::vector<std::optional<Bytes>>>(
            std::vector<std::optional<Bytes>>{frame({0x52, 2, 0x10, 0x27}), c.reply});
        e2e::Run r = e2e::run({program, pty.path()}, "r v r v x\n", &pty,
                              [replies](const Bytes&) -> std::optional<e2e::Answer> {
                                  std::optional<Bytes> next = replies->front();
                                  replies->erase(replies->begin());
                                  if (!next) {
                                      return std::nullopt;
                                  }
                                  return e2e::Answer{*next};
                              });
        EXPECT_EQ(r.out, prompt + item + "Pulse Value = 10000 watt-hours\n" + prompt + item +
                             c.shown + prompt);
    }
}

TEST(EndToEnd, AnAnswerToASettingIsNotTakenForTheNextReply) {
    e2e::Pty pty;
    e2e::Run r = e2e::run({program, pty.path()}, e2e::late_device_input, &pty, e2e::late_device);
    EXPECT_EQ(r.out, e2e::late_device_transcript(prompt));
}

TEST(EndToEnd, LostOutputIsAFailure) {
    // A closed stream must never become the port: the device gets exactly the
    // frames typed. Output that cannot be written ends the session at its
    // first prompt, before anything is sent; no input ends it.
    struct {
        const char* streams;
        const char* input;
        Bytes wire;
        int status;
    } cases[] = {{"> /dev/full", "? x\n", {}, 1},
                 {">&-", "r v d x\n", {}, 1},
                 {"<&-", "d x\n", {}, 0},
                 {"2>&-", "c d x\n", {0x43, 0x00, 0x43, 0x44, 0x00, 0x44}, 0},
                 {"<&- >&- 2>&-", "d\n", {}, 1}};
    for (const auto& c : cases) {
        e2e::Pty pty;
        e2e::Run r = e2e::run(
            {"/bin/sh", "-c", std::string("exec \"$0\" \"$1\" ") + c.streams, program, pty.path()},
            c.input, &pty);
        Bytes wire;
        for (const e2e::WireByte& b : r.wire) {
            wire.push_back(b.value);
        }
        EXPECT_EQ(wire, c.wire) << c.streams;
        EXPECT_EQ(r.status, c.status) << c.streams;
    }
}

// What has come out of the terminal `pty` by now.
std::string shown_on(const e2e::Pty& pty) {
    std::string text;
    char buffer[4096];
    while (harness::readable(pty.master(), harness::after(std::chrono::milliseconds(200)))) {
        const ssize_t got = read(pty.master(), buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

TEST(EndToEnd, ATraceIsNeverWrittenToAnotherTerminal) {
    // $1 is another terminal (a port named twice, arguments swapped), $2 the
    // port. Refused before the port is opened, nothing sent; the terminal
    // standard error is on, and "-", are where a person watches.
    const std::string refused = "a device (a serial port, a terminal), where no trace may go: "
                                "give a file, a pipe, /dev/null, or - for standard error\n";
    struct {
        const char* shell;
        int status;
        std::string out;
        std::string err; // of a refusal
    } cases[] = {
        {"--trace \"$1\" --read \"$2\"", 1, "",
         "tolvaner: $2: cannot open the trace file $1: " + refused},
        {"--trace \"$1\" \"$2\"", 1, "cannot open the trace file $1\n", "tolvaner: $1: " + refused},
        {"--trace /nonexistent/trace.log --read \"$2\"", 1, "",
         "tolvaner: $2: cannot open the trace file /nonexistent/trace.log: No such file or "
         "directory\n"},
        {"--trace \"$1\" \"$2\" 2>\"$1\"", 0, prompt + prompt, ""},
        {"--trace - \"$2\"", 0, prompt + prompt, ""},
    };
    for (const auto& c : cases) {
        e2e::Pty terminal;
        e2e::Pty pty;
        e2e::Run r = e2e::run({"/bin/sh", "-c", std::string("exec \"$0\" ") + c.shell, program,
                               terminal.path(), pty.path()},
                              "d x\n", &pty);
        const std::string on_terminal = shown_on(terminal);
        auto named = [&](const std::string& text) {
            return std::regex_replace(std::regex_replace(text, std::regex("\\$1"), terminal.path()),
                                      std::regex("\\$2"), pty.path());
        };
        EXPECT_EQ(r.status, c.status) << c.shell;
        EXPECT_EQ(r.out, named(c.out)) << c.shell;
        if (c.status == 1) {
            EXPECT_EQ(r.err, named(c.err)) << c.shell;
            EXPECT_EQ(on_terminal, "") << c.shell;
            EXPECT_TRUE(r.wire.empty()) << c.shell << ": the port was opened";
        } else {
            // The trace shows the frame the device got.
            EXPECT_NE((on_terminal + r.err).find(" tx 44 00 44  gaps "), std::string::npos)
                << c.shell << ": " << on_terminal << r.err;
            EXPECT_EQ(r.requests.size(), 1u) << c.shell;
        }
    }
}

TEST(EndToEnd, RepliesMustArriveWithinTheSettleTime) {
    // The read comes 400 ms after the last byte's 50 ms gap.
    struct {
        double delay_ms;
        const char* line;
    } cases[] = {{300, "Code revision level = 9\n"}, {700, "Packet checksum fault\n"}};
    for (const auto& c : cases) {
        e2e::Pty pty;
        e2e::Run r = e2e::run({program, pty.path()}, "c x\n", &pty,
                              answering({frame({0x43, 1, 9})}, c.delay_ms));
        EXPECT_EQ(r.out, prompt + c.line + prompt) << c.delay_ms;
    }
}

TEST(EndToEnd, AHangUpEndsTheSessionWithAFailure) {
    // While idle the next write meets it; during the settle time, the read.
    struct {
        std::string input;
        size_t requests_before_hang_up;
        std::string tail;
    } cases[] = {{"d\n", 0, "error occurred during write operation\n"},
                 {"c\n", 1, "error occurred during read operation\n"}};
    for (const auto& c : cases) {
        e2e::Pty pty;
        e2e::Session s({program, pty.path()}, &pty);
        ASSERT_TRUE(s.pump_until([&] { return s.out == prompt; }));
        if (c.requests_before_hang_up == 0) {
            pty.hang_up();
            s.type(c.input);
        } else {
            s.type(c.input);
            ASSERT_TRUE(s.pump_until([&] { return s.requests.size() == 1; }));
            pty.hang_up();
        }
        ASSERT_TRUE(s.finish(5000)) << "no endless faults after a hang-up";
        EXPECT_EQ(s.out, prompt + c.tail);
        EXPECT_EQ(s.status, 1);
    }
}

// A device that answers every query 2 ms after its last byte, as a quick
// one does: a mode's wait for the reply then ends well inside the gap.
std::optional<e2e::Answer> quick_device(const Bytes& request) {
    switch (request[0]) {
    case 'I':
        return e2e::Answer{frame({'I', 4, 'T', 'L', 'V', '1'}), 2};
    case 'C':
        return e2e::Answer{frame({'C', 1, 12}), 2};
    case 'R':
        return e2e::Answer{frame({'R', 2, 0xE8, 0x03}), 2};
    default:
        return std::nullopt;
    }
}

struct RunEnd {
    const char* name;
    std::vector<std::string> args; // before the port; none for the console
    std::string input;
    std::size_t signal_after_bytes; // 0: the run ends by itself
    int signal;
    int status;
};

class EveryEnd : public testing::TestWithParam<RunEnd> {};

// However a run ends, by itself or by SIGINT or SIGTERM sent while a frame
// goes out, the device sees only whole frames, and the next program's first
// byte comes no sooner than 50 ms after the last one.
TEST_P(EveryEnd, LeavesWholeFramesAndTheGapForTheNextRun) {
    const RunEnd& c = GetParam();
    e2e::Pty pty;
    std::vector<std::string> args{program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(pty.path());
    e2e::Session first(args, &pty, quick_device);
    first.type(c.input);
    if (c.signal_after_bytes != 0) {
        ASSERT_TRUE(first.pump_until([&] { return first.wire.size() >= c.signal_after_bytes; }));
        kill(first.pid(), c.signal);
    }
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(first.status, c.status) << first.err;
    std::size_t whole = 0;
    for (const Bytes& request : first.requests) {
        whole += request.size();
    }
    EXPECT_EQ(first.wire.size(), whole) << "half a frame was left on the line";
    ASSERT_FALSE(first.wire.empty());

    e2e::Session next({program, "--read", pty.path()}, &pty, quick_device);
    ASSERT_TRUE(next.pump_until([&] { return !next.wire.empty(); }));
    EXPECT_GE(next.wire.front().at_ms - first.wire.back().at_ms, 50.0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, EveryEnd,
    testing::Values(RunEnd{"set", {"--set", "v=1000"}, "", 0, 0, 0},
                    RunEnd{"read_sigterm", {"--read"}, "", 4, SIGTERM, 128 + SIGTERM},
                    RunEnd{"set_sigint", {"--set", "v=1000", "s=2"}, "", 1, SIGINT, 128 + SIGINT},
                    RunEnd{"watch_sigterm", {"--watch", "0.1"}, "", 4, SIGTERM, 128 + SIGTERM},
                    RunEnd{"console_sigint", {}, "c c c c\n", 4, SIGINT, 128 + SIGINT},
                    RunEnd{"console_sigterm", {}, "v 1000 c\n", 2, SIGTERM, 128 + SIGTERM}),
    [](const auto& info) { return std::string(info.param.name); });

// Whether `pid` waits in a write to its standard output.
bool writing_to_stdout(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string fd;
    return in >> number >> fd && number == SYS_write && fd == "0x1";
}

TEST(EndToEnd, ASampleLineThatCtrlCMeetsInAFullPipeStillGoesOut) {
    // Standard output is a pipe full to the brim, as a pager that is not
    // reading leaves it: the sample's line waits in write() when Ctrl-C
    // comes. Once the pipe is read, the line follows whole.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    fcntl(ends[0], F_SETPIPE_SZ, 4096);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    std::size_t filled = 0;
    const std::string block(4096, '.');
    for (ssize_t n; (n = write(ends[1], block.data(), block.size())) > 0;) {
        filled += static_cast<std::size_t>(n);
    }
    fcntl(ends[1], F_SETFL, 0);
    fcntl(ends[1], F_SETFD, 0); // the program's standard output
    e2e::Pty pty;
    e2e::Session s({"/bin/sh", "-c",
                    "exec \"$0\" --watch 86400 \"$1\" >&" + std::to_string(ends[1]), program,
                    pty.path()},
                   &pty, quick_device);
    close(ends[1]);
    // The device is served meanwhile; the look at the program is made at
    // least every 20 ms, as nothing else wakes the wait.
    bool waits = false;
    for (int round = 0; round < 500 && !waits; ++round) {
        waits = s.pump_until([&] { return writing_to_stdout(s.pid()); }, 20);
    }
    if (!waits) {
        close(ends[0]);
        GTEST_SKIP() << "/proc/PID/syscall does not show where the program waits";
    }
    kill(s.pid(), SIGINT);
    s.pump_until([] { return false; }, 200);
    std::string out;
    char buffer[4096];
    while (harness::readable(ends[0], harness::after(10s))) {
        const ssize_t n = read(ends[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(ends[0]);
    ASSERT_TRUE(s.finish());
    EXPECT_EQ(s.status, 128 + SIGINT) << s.err;
    ASSERT_GE(out.size(), filled);
    EXPECT_TRUE(std::regex_match(out.substr(filled),
                                 std::regex("[-0-9T:.Z]+  dac_value 232  kwh_value 1000\n")))
        << out.substr(filled);
}

} // namespace
