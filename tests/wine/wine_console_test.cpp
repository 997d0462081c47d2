// tolvaner.exe under Wine on COM ports mapped to pseudo-terminals, the test
// playing the device: the same transcripts, wire bytes, pacing and exit
// statuses as the native program.
#include "tests/support/late_device.h"
#include "tests/support/pacing.h"
#include "tests/wine/wine_prefix.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <termios.h>

using e2e::Bytes;
using e2e::frame;
using wine::exe_command;
using wine::unix_lines;

namespace {

const std::string prompt = "Enter user command: ";
const std::string item_prompt = "Enter V, S, M, D, K, or A: ";

class WineConsole : public wine::WineTest {};

// Runs the exe on `port` with `input`; the transcript with LF line ends.
e2e::Run run_on(wine::ComPort& port, const std::string& input, e2e::Device device = {}) {
    e2e::Run r = e2e::run(exe_command({port.name}), input, &port.pty, std::move(device));
    r.out = unix_lines(r.out);
    return r;
}

// XON/XOFF flow control both ways, with the usual characters (the test's
// pseudo-terminal starts with none, which would make the flags harmless).
void with_xon_xoff(termios& t) {
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
}

// A device that answers the queries with these replies in turn, after a delay.
e2e::Device answering(std::vector<std::optional<Bytes>> replies, double delay_ms = 20) {
    auto queue = std::make_shared<std::vector<std::optional<Bytes>>>(std::move(replies));
    return [queue, delay_ms](const Bytes& request) -> std::optional<e2e::Answer> {
        if (std::string("ICR").find(static_cast<char>(request[0])) == std::string::npos ||
            queue->empty()) {
            return std::nullopt;
        }
        std::optional<Bytes> reply = queue->front();
        queue->erase(queue->begin());
        if (!reply) {
            return std::nullopt;
        }
        return e2e::Answer{*reply, delay_ms};
    };
}

TEST_F(WineConsole, UsageOnAWrongArgumentCount) {
    const std::string usage = "Enter: 'tolvaner      COMn' where n = 1-9\n"
                              "Enter: 'tolvaner  \\\\.\\COMm' where m > 9\n";
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"COM1", "extra"}}) {
        e2e::Run r = e2e::run(exe_command(args), "");
        EXPECT_EQ(unix_lines(r.out), usage) << args.size() << " arguments";
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(WineConsole, ListsTheRegisteredPortsAsTheyMustBeTyped) {
    // The Device Manager's record of the low port, as a USB adapter's driver
    // installation makes it; Wine makes none.
    const std::string tool = (std::filesystem::path(TOLVANER_WINDOWS_EXE).parent_path() / "tests" /
                              "windows" / "register_port.exe")
                                 .string();
    const std::string low_name = "COM" + std::to_string(wine::listed_low_com);
    const std::string friendly = "USB Serial Port (" + low_name + ")";
    ASSERT_TRUE(std::filesystem::exists(tool)) << tool;
    e2e::Run registered = e2e::run(
        wine::windows_command(tool, {low_name, friendly, "USB\\VID_0403&PID_6001\\A10K1234"}), "");
    ASSERT_EQ(registered.status, 0) << registered.err;

    e2e::Run r = e2e::run(exe_command({"--list"}), "");
    const std::string out = "\n" + unix_lines(r.out);
    EXPECT_EQ(r.status, 0);
    const std::string low = low_name + "  name=\"" + friendly +
                            "\" usb=0403:6001 serial=\"A10K1234\" device=\\Device\\";
    const std::string high = wine::com_name(wine::listed_high_com) + "  device=\\Device\\";
    const size_t low_at = out.find("\n" + low);
    const size_t high_at = out.find("\n" + high);
    EXPECT_NE(low_at, std::string::npos) << out;
    EXPECT_NE(high_at, std::string::npos) << out;
    EXPECT_LT(low_at, high_at) << "in order of number:\n" << out;

    // And it opens by that identity, whatever its COM number.
    r = e2e::run(exe_command({"usb:403:6001:a10k1234"}), "c x\n", &wine::listed_low_device(),
                 answering({frame({0x43, 1, 3})}));
    EXPECT_EQ(unix_lines(r.out), prompt + "Code revision level = 3\n" + prompt) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST_F(WineConsole, OpenFailures) {
    e2e::TempDir dir;
    const std::string file = dir.path() + "/not-a-port";
    std::ofstream(file) << "data";
    const int unmapped = wine::fresh_com_number();
    const int dangling = wine::fresh_com_number();
    wine::ComLink to_nothing(dangling, dir.path() + "/ttyUSB9"); // an unplugged adapter
    // Above 9 the name without \\.\ is a file name, not the port.
    wine::ComPort port;
    const std::string missing = ": no such port (tolvaner --list shows the ports)\n";
    struct {
        std::string port;
        const char* message;
        std::string cause; // how the line on standard error ends
    } cases[] = {
        {wine::com_name(unmapped), "serial port does not exist\n", missing},
        {wine::com_name(dangling), "serial port does not exist\n", missing},
        {"COM" + std::to_string(port.number), "serial port does not exist\n", missing},
        {wine::windows_path(file), "error getting comm state\n", ": not a serial port\n"},
        {wine::windows_path(dir.path()), "error occurred while opening comm port\n", "\n"},
    };
    for (const auto& c : cases) {
        e2e::Run r = e2e::run(exe_command({c.port}), "x\n");
        EXPECT_EQ(unix_lines(r.out), c.message) << c.port;
        const std::string err = unix_lines(r.err);
        EXPECT_EQ(err.rfind("tolvaner: " + c.port + ": ", 0), 0U) << err;
        EXPECT_TRUE(err.ends_with(c.cause) && err.find('\n') == err.size() - 1) << err;
        EXPECT_EQ(r.status, 1) << c.port;
    }
}

TEST_F(WineConsole, ATraceIsNeverWrittenToAPort) {
    // The port named twice, or the arguments swapped: refused before either
    // port is opened, and nothing reaches either line.
    wine::ComPort other;
    wine::ComPort port;
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--trace", other.name, port.name}, "cannot open the trace file " + other.name + "\n"},
        {{"--trace", other.name, "--read", port.name}, ""},
    };
    for (const auto& c : cases) {
        e2e::Run r = e2e::run(exe_command(c.args), "d x\n", &port.pty);
        EXPECT_EQ(unix_lines(r.out), c.out) << c.args[1];
        EXPECT_NE(r.err.find("a device (a serial port, a console)"), std::string::npos) << r.err;
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_TRUE(r.wire.empty()) << c.args[1];
        EXPECT_FALSE(
            harness::readable(other.pty.master(), harness::after(std::chrono::milliseconds(200))))
            << "the trace reached " << other.name;
    }
}

TEST_F(WineConsole, TheLineIsSetTo57600_8N1WithoutSoftwareFlowControl) {
    wine::ComPort port;
    termios before{};
    tcgetattr(port.pty.slave(), &before);
    // What a port may have been left with: another speed, 7E2, XON/XOFF both
    // ways (which would swallow 0x11 and 0x13 from replies).
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_cflag =
        (before.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    with_xon_xoff(before);
    tcsetattr(port.pty.slave(), TCSANOW, &before);

    e2e::Session s(exe_command({port.name}), &port.pty);
    ASSERT_TRUE(s.pump_until([&] { return s.out == prompt; }));
    termios t{};
    ASSERT_EQ(tcgetattr(port.pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware handshaking, whatever was left on";
    s.type("x\n");
    ASSERT_TRUE(s.finish());
    EXPECT_EQ(s.status, 0);
}

TEST_F(WineConsole, StartUpReadTakesInWhatIsWaiting) {
    struct {
        Bytes waiting;
        std::string out;
    } cases[] = {{frame({0x44, 0x00}), ""}, {Bytes{0x44, 0x00, 0x45}, "Packet checksum fault\n"}};
    for (const auto& c : cases) {
        wine::ComPort port;
        port.pty.write(c.waiting);
        e2e::Run r = run_on(port, "b 1 x\n");
        std::string dump = c.waiting[2] == 0x44 ? "68 0 68 0 0 0 0 0\n" : "68 0 69 0 0 0 0 0\n";
        EXPECT_EQ(r.out, c.out + prompt + "Enter buffer selection (0=Tx, 1=Rx): " + dump + prompt)
            << "nothing waiting was flushed";
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(WineConsole, RequestsLeaveWithTheDevicesByteGap) {
    wine::ComPort port;
    e2e::Run r = run_on(port, "v 1000 d t s 8 m 2 a 7 x\n");
    EXPECT_EQ(r.status, 0);
    const std::vector<Bytes> expected{
        {0x56, 0x02, 0xE8, 0x03, 0xBF}, {0x44, 0x00, 0x44},       {0x54, 0x00, 0x54},
        {0x53, 0x01, 0x08, 0x5A},       {0x4D, 0x01, 0x02, 0x4E}, {0x41, 0x01, 0x07, 0x47},
    };
    EXPECT_EQ(r.requests, expected);
    std::vector<double> gaps;
    for (size_t i = 1; i < r.wire.size(); ++i) {
        gaps.push_back(r.wire[i].at_ms - r.wire[i - 1].at_ms);
    }
    EXPECT_TRUE(support::paced(gaps));
}

TEST_F(WineConsole, QueriesShowWhatTheDeviceSent) {
    wine::ComPort port;
    // The port starts with XON/XOFF on: only the program's own line settings
    // let the 0x11 and 0x13 through.
    termios before{};
    tcgetattr(port.pty.slave(), &before);
    with_xon_xoff(before);
    tcsetattr(port.pty.slave(), TCSANOW, &before);
    e2e::Run r = run_on(port, "i c r v r k r d r a r m r s r q x\n",
                        answering({frame({0x49, 3, 'A', 0x11, 'Z'}), frame({0x43, 1, 0x80}),
                                   frame({0x52, 2, 0x11, 0x13}), frame({0x52, 2, 0x0D, 0x0A}),
                                   frame({0x52, 1, 0x03}), frame({0x52, 1, 0x7F}),
                                   frame({0x52, 1, '2'}), frame({0x52, 2, 0xC8, 0x00})}));
    EXPECT_EQ(r.out, prompt + "Product ID = A\\x11Z\n" + prompt + "Code revision level = -128\n" +
                         prompt + item_prompt + "Pulse Value = 4881 watt-hours\n" + prompt +
                         item_prompt + "most recent KWH value = 2573\n" + prompt + item_prompt +
                         "most recent DAC value = 3\n" + prompt + item_prompt +
                         "Average Interval = 127 minutes\n" + prompt + item_prompt +
                         "Output Mode = 2\n" + prompt + item_prompt +
                         "Full Scale value = 200 kilowatts\n" + prompt + item_prompt +
                         "invalid entry\n" + prompt);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const std::vector<Bytes> expected{
        {0x49, 0x00, 0x49},       {0x43, 0x00, 0x43},       {0x52, 0x01, 0x56, 0x05},
        {0x52, 0x01, 0x4B, 0x18}, {0x52, 0x01, 0x44, 0x17}, {0x52, 0x01, 0x41, 0x12},
        {0x52, 0x01, 0x4D, 0x1E}, {0x52, 0x01, 0x53, 0x00},
    };
    EXPECT_EQ(r.requests, expected) << "the bad item sent nothing";
}

TEST_F(WineConsole, TheShortFormReachesPortsOneToNine) {
    // Wine links its low COM numbers to the machine's serial ports only when
    // it starts, so one of them can be taken over for the test.
    e2e::Pty pty;
    wine::ComLink link(9, pty.path());
    e2e::Run r = e2e::run(exe_command({"COM9"}), "c x\n", &pty, answering({frame({0x43, 1, 3})}));
    EXPECT_EQ(unix_lines(r.out), prompt + "Code revision level = 3\n" + prompt);
    EXPECT_EQ(r.status, 0);
}

TEST_F(WineConsole, BadRepliesAreFaultsNeverValues) {
    Bytes too_long(32, 0);
    too_long[0] = 0x52;
    too_long[1] = 30;
    struct {
        const char* what;
        std::optional<Bytes> reply; // nullopt: silent
        std::string shown;
    } cases[] = {
        {"silent", std::nullopt, "Packet checksum fault\nnumber of bytes read = 0\n"},
        {"truncated", Bytes{0x52, 0x02, 0xE8}, "Packet checksum fault\nnumber of bytes read = 3\n"},
        {"corrupt checksum", Bytes{0x52, 0x02, 0xE8, 0x03, 0xBE},
         "Packet checksum fault\nnumber of bytes read = 5\n"},
        {"too long", too_long, "Packet checksum fault\nnumber of bytes read = 32\n"},
        {"more than one frame", Bytes{0x52, 0x02, 0xE8, 0x03, 0xBB, 0x13},
         "Packet checksum fault\nnumber of bytes read = 6\n"},
        {"the first less its checksum", Bytes{0x52, 0x02, 0x10, 0x27},
         "Packet checksum fault\nnumber of bytes read = 4\n"},
    };
    for (const auto& c : cases) {
        wine::ComPort port;
        // A good reply first, so that a fault can't pass off the old one.
        e2e::Run r =
            run_on(port, "r v r v x\n", answering({frame({0x52, 2, 0x10, 0x27}), c.reply}));
        EXPECT_EQ(r.out, prompt + item_prompt + "Pulse Value = 10000 watt-hours\n" + prompt +
                             item_prompt + c.shown + prompt)
            << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
    }
}

TEST_F(WineConsole, AnAnswerToASettingIsNotTakenForTheNextReply) {
    wine::ComPort port;
    e2e::Run r = run_on(port, e2e::late_device_input, e2e::late_device);
    EXPECT_EQ(r.out, e2e::late_device_transcript(prompt));
}

TEST_F(WineConsole, BadRepliesToIdentityQueriesAreFaults) {
    wine::ComPort port;
    e2e::Run r = run_on(port, "i c i c x\n",
                        answering({std::nullopt, Bytes{0x43, 0x01, 0x0C, 0x4F},
                                   Bytes{0x49, 0x04, 'T', 'L'}, frame({0x43, 1, 12})}));
    EXPECT_EQ(r.out, prompt + "Packet checksum fault\n" + prompt + "Packet checksum fault\n" +
                         prompt + "Packet checksum fault\n" + prompt +
                         "Code revision level = 12\n" + prompt);
    EXPECT_EQ(r.status, 0);
}

TEST_F(WineConsole, RepliesMustArriveWithinTheSettleTime) {
    // The read comes 400 ms after the last byte's 50 ms gap.
    struct {
        double delay_ms;
        const char* line;
    } cases[] = {{300, "Code revision level = 9\n"}, {700, "Packet checksum fault\n"}};
    for (const auto& c : cases) {
        wine::ComPort port;
        e2e::Run r = run_on(port, "c x\n", answering({frame({0x43, 1, 9})}, c.delay_ms));
        EXPECT_EQ(r.out, prompt + c.line + prompt) << c.delay_ms;
    }
}

TEST_F(WineConsole, TheSessionEndsWithExitOrTheEndOfInput) {
    struct {
        const char* input;
        std::string out;
    } cases[] = {{"x\n", prompt}, {"", prompt + "\n"}, {"q\n", prompt + prompt + "\n"}};
    for (const auto& c : cases) {
        wine::ComPort port;
        e2e::Run r = run_on(port, c.input);
        EXPECT_EQ(r.out, c.out) << c.input;
        EXPECT_EQ(r.status, 0) << c.input;
        EXPECT_TRUE(r.requests.empty());
    }
}

TEST_F(WineConsole, AWriteAfterTheDeviceHasGoneFails) {
    // Wine tells of a vanished device only on a write: a read then just finds
    // nothing, so only the write side is checked here.
    wine::ComPort port;
    e2e::Session s(exe_command({port.name}), &port.pty);
    ASSERT_TRUE(s.pump_until([&] { return s.out == prompt; }));
    port.pty.hang_up();
    s.type("d\n");
    ASSERT_TRUE(s.finish(10000)) << "no endless faults after a hang-up";
    EXPECT_EQ(unix_lines(s.out), prompt + "error occurred during write operation\n");
    EXPECT_EQ(s.status, 1);
}

} // namespace
