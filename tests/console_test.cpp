#include "ports/port_record.h"
#include "tests/support/case_name.h"
#include "tests/support/console_session.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

using fake::Bytes;
using fake::frame;

namespace {

const char* const prompt = "Enter user command: ";

std::string prompts(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += prompt;
    }
    return s;
}

TEST_F(ConsoleTest, WrongArgumentCountPrintsUsageAndNeverOpensThePort) {
    for (int argc : {1, 3}) {
        fake::reset();
        ConsoleRun run = run_console_with("x\n", argc);
        EXPECT_EQ(run.out, "Enter: 'tolvaner      COMn' where n = 1-9\n"
                           "Enter: 'tolvaner  \\\\.\\COMm' where m > 9\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(fake::platform().opened_name.empty());
    }
}

const std::string usage = "Enter: 'tolvaner      COMn' where n = 1-9\n"
                          "Enter: 'tolvaner  \\\\.\\COMm' where m > 9\n";

struct OptionCase {
    std::vector<std::string> args;
    std::string out;
    int status;
    const char* opened; // the port the program opened, "" for none
    // The device's answers to the requests, in order (empty: silent), and
    // standard error in full (nullptr: not judged).
    std::vector<Bytes> replies = {};
    std::optional<std::string> err = std::nullopt;
    std::string err_part = ""; // a part of standard error
};

const std::string silent_read = "product_id        -\ncode_revision     -\npulse_value       -\n"
                                "full_scale        -\noutput_mode       -\naverage_interval  -\n"
                                "dac_value         -\nkwh_value         -\n";

class CommandLine : public ConsoleTest, public testing::WithParamInterface<OptionCase> {};

TEST_P(CommandLine, AnswersAndOpensOnlyWhatItShould) {
    for (const Bytes& reply : GetParam().replies) {
        fake::platform().replies.push_back({reply});
    }
    ConsoleRun run = run_console_args("x\n", GetParam().args);
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.status, GetParam().status);
    EXPECT_EQ(fake::platform().opened_name, GetParam().opened);
    if (GetParam().err) {
        EXPECT_EQ(run.err, *GetParam().err);
    }
    EXPECT_NE(run.err.find(GetParam().err_part), std::string::npos) << run.err;
}

const std::string silent = "no good reply (nothing arrived within the settle time)\n";
// A port name with a quote, a backslash, UTF-8, control characters and bytes
// that are no UTF-8 (a lone 0xFF, a sequence cut short).
const std::string odd_port = "m\xC3\xA9\"t\\e\x01\x7F\xC2\x85\xFF\xE2\x82";

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLine,
    testing::Values(
        OptionCase{{"--version"}, "tolvaner " TOLVANER_VERSION "\n", 0, ""},
        OptionCase{{"--bogus"}, "unknown option --bogus\n" + usage, 1, ""},
        OptionCase{{"--"}, "unknown option --\n" + usage, 1, ""},
        OptionCase{{"--list", "COM1"}, "wrong number of arguments for --list\n" + usage, 1, ""},
        OptionCase{
            {"--trace", "trace.log"}, "wrong number of arguments for --trace\n" + usage, 1, ""},
        OptionCase{{"--trace", "/nonexistent/trace.log", "COM1"},
                   "cannot open the trace file /nonexistent/trace.log\n",
                   1,
                   "",
                   {},
                   std::nullopt,
                   "tolvaner: /nonexistent/trace.log: No such file or directory\n"},
        // Plain arguments are port names, as they always were; -h only alone.
        OptionCase{{"-h", "COM1"}, usage, 1, ""}, OptionCase{{"COM1", "--help"}, usage, 1, ""},
        OptionCase{{"-x"}, prompt, 0, "-x"}, OptionCase{{"-help"}, prompt, 0, "-help"},
        // "--" ends the options; "=" joins an option and its value.
        OptionCase{{"--", "--x"}, prompt, 0, "--x"},
        OptionCase{{"--trace", "/dev/null", "--", "-x"}, prompt, 0, "-x"},
        OptionCase{{"--trace=/nonexistent/trace.log", "COM1"},
                   "cannot open the trace file /nonexistent/trace.log\n",
                   1,
                   ""},
        // "-" is standard error.
        OptionCase{{"--trace", "-", "COM1"},
                   prompt,
                   0,
                   "COM1",
                   {},
                   std::nullopt,
                   " session tolvaner " TOLVANER_VERSION " on COM1\n"},
        OptionCase{{"--trace="}, "wrong number of arguments for --trace\n" + usage, 1, ""},
        // The modes: a refused command line opens nothing; a silent device is status 3.
        OptionCase{{"--read"}, "", 1, ""}, OptionCase{{"--read", "COM1", "COM2"}, "", 1, ""},
        OptionCase{{"--set", "v=0", "COM1"}, "", 1, ""},
        OptionCase{{"--set", "v=1", "kwh_value=2", "COM1"}, "", 1, ""},
        OptionCase{{"--set", "COM1"}, "", 1, ""}, OptionCase{{"--set=s", "COM1"}, "", 1, ""},
        OptionCase{{"--set", "s=0x3", "COM1"}, "", 1, ""},
        OptionCase{{"--read", "--expect", "v=1", "COM1"}, "", 1, ""},
        OptionCase{{"--read", "--set", "v=1", "COM1"}, "", 1, ""},
        OptionCase{{"--read", "--csv", "COM1"}, "", 1, ""},
        OptionCase{{"--watch=0", "COM1"}, "", 1, ""},
        OptionCase{{"--watch", "1.5x", "COM1"}, "", 1, ""},
        OptionCase{{"--watch", "1", "--count=0", "COM1"}, "", 1, ""},
        OptionCase{{"--watch", "1", "--csv", "--json", "COM1"}, "", 1, ""},
        OptionCase{{"--json", "COM1"}, "", 1, ""},
        OptionCase{{"--read", "--", "--x"}, silent_read, 3, "--x"},
        OptionCase{{"--trace", "/dev/null", "--read", "--json", "COM1"},
                   "{\"port\":\"COM1\",\"product_id\":null,\"code_revision\":null,"
                   "\"pulse_value\":null,\"full_scale\":null,\"output_mode\":null,"
                   "\"average_interval\":null,\"dac_value\":null,\"kwh_value\":null}\n",
                   3,
                   "COM1"},
        OptionCase{{"--set=V=65535", "--json", "COM1"},
                   "{\"port\":\"COM1\",\"pulse_value\":null}\n",
                   3,
                   "COM1",
                   {},
                   "tolvaner: COM1: pulse_value: " + silent},
        OptionCase{{"--watch", "1", "--count", "1", "--csv", "COM1"},
                   "time,dac_value,kwh_value,status\n2026-12-07T10:00:00.000Z,,,no_reply\n",
                   3,
                   "COM1",
                   {},
                   "tolvaner: COM1: dac_value: " + silent + "tolvaner: COM1: kwh_value: " + silent +
                       "tolvaner: COM1: 1 sample, 1 without a good reply\n"},
        // After "--" the port alone; an item named twice is refused whole.
        OptionCase{{"--", "--read", "COM1"},
                   "unknown option --\n" + usage,
                   1,
                   "",
                   {},
                   "tolvaner: only the port may follow --\n"},
        OptionCase{{"--set", "v=500", "v=1000", "COM1"},
                   "",
                   1,
                   "",
                   {},
                   "tolvaner: --set pulse_value: given twice\n"},
        OptionCase{{"--set", "m=1", "--expect", "m=I", "--expect=output_mode=A", "COM1"},
                   "",
                   1,
                   "",
                   {},
                   "tolvaner: --expect output_mode: given twice\n"},
        // A mistake beside the usage lines is said on standard error.
        OptionCase{{"-read", "COM1"},
                   usage,
                   1,
                   "",
                   {},
                   "tolvaner: unknown option -read (an option begins with --: --read)\n"},
        OptionCase{{"--reed", "COM1"},
                   "unknown option --reed\n" + usage,
                   1,
                   "",
                   {},
                   "tolvaner: unknown option --reed (tolvaner --help lists the options)\n"},
        OptionCase{{"COM1", "--read"},
                   usage,
                   1,
                   "",
                   {},
                   "tolvaner: --read after the port COM1: the port comes last\n"},
        OptionCase{{"--trace", "t.log", "COM1", "--read"},
                   "wrong number of arguments for --trace\n" + usage,
                   1,
                   "",
                   {},
                   "tolvaner: --read after the port COM1: the port comes last\n"},
        OptionCase{{"--read", "COM1", "--json"},
                   "",
                   1,
                   "",
                   {},
                   "tolvaner: --json after the port COM1: the port comes last\n"},
        OptionCase{
            {"--count", "3", "COM1"}, "", 1, "", {}, "tolvaner: --count goes with --watch\n"},
        // The output mode reads back as the letter of the mode set.
        OptionCase{{"--set", "m=2", "COM1"},
                   "output_mode       I\n",
                   4,
                   "COM1",
                   {{}, frame({0x52, 1, 'I'})},
                   "tolvaner: COM1: output_mode: read back 'I', but 2 (A) was set\n"},
        // The device's bytes reach standard error escaped as well.
        OptionCase{{"--set", "m=1", "--expect", "product_id=X", "COM1"},
                   "product_id        \\x1Bc\noutput_mode       I\n",
                   4,
                   "COM1",
                   {{}, frame({0x49, 2, 0x1B, 'c'}), frame({0x52, 1, 'I'})},
                   "tolvaner: COM1: product_id: read back '\\x1Bc', but X was expected\n"},
        // JSON strings give back their bytes: UTF-8 as it is, other bytes as
        // lone surrogates.
        OptionCase{{"--set", "v=1", "--expect", "product_id=A", "--json", odd_port},
                   "{\"port\":\"m\xC3\xA9\\\"t\\\\e\\u0001\\u007F\\u0085\\uDCFF\\uDCE2\\uDC82\","
                   "\"product_id\":\"A\xC3\xA9\\uDC80\",\"pulse_value\":1}\n",
                   4,
                   odd_port.c_str(),
                   {{}, frame({0x49, 4, 'A', 0xC3, 0xA9, 0x80}), frame({0x52, 2, 1, 0})}},
        // What the user typed is cut short in a message, never the reason.
        OptionCase{{"--set", "v=" + std::string(130, 'x'), "COM1"},
                   "",
                   1,
                   "",
                   {},
                   "tolvaner: --set pulse_value: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...' is not "
                   "a whole number\n"}),
    CASE_NAME(args));

TEST_F(ConsoleTest, HelpNamesEveryOptionAndTheManual) {
    for (const char* option : {"--help", "-h"}) {
        ConsoleRun run = run_console_args("", {option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.out.rfind(usage, 0), 0U) << option << " begins with the usage";
        for (const char* line : {"\n  --list ", "\n  --trace FILE PORT ", "\n  --version ",
                                 "\n  -h, --help ", "man tolvaner", port_name_examples()}) {
            EXPECT_NE(run.out.find(line), std::string::npos) << option << " lacks " << line;
        }
        EXPECT_TRUE(fake::platform().opened_name.empty());
    }
}

struct TraceCase {
    Bytes reply;      // to a readback of the pulse value; empty: none at all
    const char* line; // the read's line, after its time stamp
};

class WireTrace : public ConsoleTest, public testing::WithParamInterface<TraceCase> {};

TEST_P(WireTrace, LogsEveryFrameAndItsVerdictAndChangesNothingElse) {
    // Unique among parallel runs of this binary, here and in other builds.
    const std::string path = testing::TempDir() + "tolvaner-trace-" +
                             std::to_string(std::random_device{}()) + "-" +
                             std::to_string(GetParam().reply.size());
    std::remove(path.c_str());
    auto session = [&](std::vector<std::string> args) {
        fake::reset();
        fake::platform().replies.push_back({GetParam().reply});
        ConsoleRun run = run_console_args("r v x", args);
        return std::make_pair(run, fake::platform().written);
    };
    auto plain = session({"COM1"});
    auto traced = session({"--trace", path, "COM1"});
    EXPECT_EQ(traced.first.out, plain.first.out);
    EXPECT_EQ(traced.first.status, plain.first.status);
    ASSERT_EQ(traced.second.size(), plain.second.size());
    for (size_t i = 0; i < plain.second.size(); ++i) {
        EXPECT_EQ(traced.second[i].value, plain.second[i].value);
        EXPECT_EQ(traced.second[i].at_ms, plain.second[i].at_ms);
    }

    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    std::remove(path.c_str());
    // The virtual clock starts at 10:00:00.000; the request's first byte
    // leaves at once, and its reply is read 4 x 50 + 400 ms later.
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0], "2026-12-07T10:00:00.000Z session tolvaner " TOLVANER_VERSION " on COM1");
    EXPECT_EQ(lines[1], "2026-12-07T10:00:00.000Z rx (none)  0 bytes  good");
    EXPECT_EQ(lines[2], "2026-12-07T10:00:00.000Z tx 52 01 56 05  gaps 50.0 50.0 50.0");
    EXPECT_EQ(lines[3], std::string("2026-12-07T10:00:00.600Z rx ") + GetParam().line);
    // Standard error gives a fault in the trace's words.
    const std::string line = GetParam().line;
    const size_t fault = line.find("fault: ");
    EXPECT_EQ(traced.first.err,
              fault == std::string::npos
                  ? ""
                  : "tolvaner: COM1: reply to R: " + line.substr(fault + 7) + "\n");
    EXPECT_EQ(traced.first.err, plain.first.err);
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, WireTrace,
    testing::Values(
        TraceCase{fake::frame({0x52, 0x02, 0xE8, 0x03}), "52 02 E8 03 BB  5 bytes  good"},
        TraceCase{{}, "(none)  0 bytes  fault: nothing arrived within the settle time"},
        TraceCase{{0x52, 0x02},
                  "52 02  2 bytes  fault: 2 bytes, too short for any frame (3 bytes at least)"},
        TraceCase{{0x52, 0x20, 0x00, 0x72},
                  "52 20 00 72  4 bytes  fault: length byte 32, over the 29 a frame can carry"},
        TraceCase{{0x52, 0x02, 0xE8, 0x03},
                  "52 02 E8 03  4 bytes  fault: 4 bytes where a frame of length 2 needs 5"},
        TraceCase{{0x52, 0x02, 0xE8, 0x03, 0xBE},
                  "52 02 E8 03 BE  5 bytes  fault: bad checksum: the 5 bytes of the frame XOR to "
                  "05, not 00"},
        TraceCase{{0x52, 0x02, 0xE8, 0x03, 0xBB, 0x00},
                  "52 02 E8 03 BB 00  6 bytes  fault: 6 bytes where a frame of length 2 has 5: "
                  "more than one frame"},
        // A good frame the screen refuses is refused in the trace too.
        TraceCase{fake::frame({0x52, 0x01, 0xE8}),
                  "52 01 E8 BB  4 bytes  fault: a frame of length 1, too short for its 2-byte "
                  "value"}),
    [](const auto& info) { return "reply" + std::to_string(info.index); });

std::vector<std::string> trace_lines(const std::string& path, const std::string& kind) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (line.find(kind) != std::string::npos) {
            lines.push_back(line.substr(line.find(kind)));
        }
    }
    return lines;
}

TEST_F(ConsoleTest, BytesThrownAwayAreTracedWithWhy) {
    const std::string path =
        testing::TempDir() + "tolvaner-drop-" + std::to_string(std::random_device{}());
    // The setting's answer waits as the query goes out; a chattering device
    // adds two bytes during the faulted reply's wait.
    fake::platform().replies.push_back({fake::frame({0x44, 0})});
    fake::platform().replies.push_back({Bytes{0x43, 1}});
    fake::arrive(900, {0x07, 0x42});
    ConsoleRun run = run_console_args("d c x", {"--trace", path, "COM1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(trace_lines(path, " drop "),
              (std::vector<std::string>{
                  " drop 44 00 44  3 bytes  thrown away before the request's last byte",
                  " drop 07 42  2 bytes  thrown away after the faulted reply's wait"}));
    std::remove(path.c_str());
}

#ifndef _WIN32 // a full disk that only POSIX systems can name
TEST_F(ConsoleTest, AnUnwritableTraceIsSaidOnceAndFailsTheSession) {
    fake::platform().replies.push_back({fake::frame({0x43, 1, 7})});
    ConsoleRun run = run_console_args("c c x", {"--trace", "/dev/full", "COM1"});
    EXPECT_EQ(run.out, prompt + std::string("Code revision level = 7\n") + prompt +
                           "Packet checksum fault\n" + prompt);
    EXPECT_EQ(run.err, "tolvaner: /dev/full: the trace cannot be written (No space left on "
                       "device); it is incomplete\n"
                       "tolvaner: COM1: reply to C: nothing arrived within the settle time\n");
    EXPECT_EQ(run.status, 1);
    // In a mode too, where it outranks the status of a query without a reply.
    EXPECT_EQ(run_console_args("", {"--trace", "/dev/full", "--read", "COM1"}).status, 1);
}
#endif

TEST_F(ConsoleTest, HelpIgnoredTokensAndExit) {
    ConsoleRun run = run_console_with("? help B 7 Xylophone d\n");
    EXPECT_EQ(run.out, prompt +
                           std::string("\n"
                                       " A = set Average interval\n"
                                       " C = read Code rev level\n"
                                       " D = set Defaults\n"
                                       " I = get product ID\n"
                                       " M = set output Mode\n"
                                       " R = get Readbacks\n"
                                       " S = set full Scale\n"
                                       " T = Test mode\n"
                                       " V = set pulse Value\n"
                                       " X = eXit program\n\n") +
                           prompts(4));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake::platform().opened_name, "COM1");
    EXPECT_EQ(fake::platform().closes, 1);
    EXPECT_TRUE(fake::wire().empty()) << "X ended the loop before d";
}

TEST_F(ConsoleTest, EndOfInputEndsLikeExitOnAFreshLine) {
    struct {
        const char* input;
        std::string out;
    } cases[] = {{"", prompts(1) + "\n"},
                 {"   \n\t", prompts(1) + "\n"},
                 {"v", prompts(1) + "Enter Pulse Value (1-65535): \n"},
                 {"r", prompts(1) + "Enter V, S, M, D, K, or A: \n"},
                 {"b", prompts(1) + "Enter buffer selection (0=Tx, 1=Rx): \n"}};
    for (const auto& [input, out] : cases) {
        fake::reset();
        ConsoleRun run = run_console_with(input);
        EXPECT_EQ(run.status, 0) << input;
        EXPECT_EQ(run.out, out) << input;
        EXPECT_EQ(fake::platform().closes, 1) << input;
        EXPECT_TRUE(fake::wire().empty()) << input;
    }
}

struct WireCase {
    const char* input;
    Bytes bytes;
};

class RequestOnTheWire : public ConsoleTest, public testing::WithParamInterface<WireCase> {};

TEST_P(RequestOnTheWire, IsSentWithTheByteGapAfterEveryByte) {
    fake::platform().replies.push_back({}); // a silent device for queries
    run_console_with(GetParam().input);
    const fake::Platform& p = fake::platform();
    EXPECT_EQ(fake::wire(), GetParam().bytes);
    for (size_t i = 1; i < p.written.size(); ++i) {
        EXPECT_EQ(p.written[i].at_ms - p.written[i - 1].at_ms, 50u) << "byte " << i;
    }
    // The last byte's gap passes before anything else happens.
    ASSERT_FALSE(p.pauses.empty());
    EXPECT_EQ(p.pauses[p.written.size() - 1], 50u);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, RequestOnTheWire,
    testing::Values(
        WireCase{"v 1000", {0x56, 0x02, 0xE8, 0x03, 0xBF}},
        WireCase{"V 65535", {0x56, 0x02, 0xFF, 0xFF, 0x54}},
        WireCase{"v 1", {0x56, 0x02, 0x01, 0x00, 0x55}}, WireCase{"S 4", {0x53, 0x01, 0x04, 0x56}},
        WireCase{"s +8", {0x53, 0x01, 0x08, 0x5A}}, WireCase{"m 1", {0x4D, 0x01, 0x01, 0x4D}},
        WireCase{"Mode 2", {0x4D, 0x01, 0x02, 0x4E}}, WireCase{"a 7", {0x41, 0x01, 0x07, 0x47}},
        WireCase{"A 1", {0x41, 0x01, 0x01, 0x41}}, WireCase{"d", {0x44, 0x00, 0x44}},
        WireCase{"T", {0x54, 0x00, 0x54}}, WireCase{"i", {0x49, 0x00, 0x49}},
        WireCase{"C", {0x43, 0x00, 0x43}}, WireCase{"r k", {0x52, 0x01, 0x4B, 0x18}},
        WireCase{"R v", {0x52, 0x01, 0x56, 0x05}}, WireCase{"r Average", {0x52, 0x01, 0x41, 0x12}},
        // Typed ahead: one token per answer, whatever the lines.
        WireCase{"v\n1000 d x", {0x56, 0x02, 0xE8, 0x03, 0xBF, 0x44, 0x00, 0x44}}),
    CASE_NAME(input));

struct RefusedCase {
    const char* input;
    const char* prompt;
};

class RefusedEntry : public ConsoleTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedEntry, SendsNothingAndIsNotRunAsACommand) {
    test_link.tx_buffer[5] = 0x77;
    ConsoleRun run = run_console_with(GetParam().input);
    EXPECT_EQ(run.out, prompt + std::string(GetParam().prompt) + "invalid entry\n" + prompt + "\n");
    EXPECT_TRUE(fake::wire().empty());
    EXPECT_EQ(test_link.tx_buffer[0], 0);
    EXPECT_EQ(test_link.tx_buffer[5], 0x77);
    EXPECT_EQ(run.status, 0);
}

const char* const pulse = "Enter Pulse Value (1-65535): ";
const char* const scale = "Enter Full Scale range (1-8): ";
const char* const mode = "Enter output mode (1=Instant, 2=Average): ";
const char* const interval = "Enter average interval (1-7): ";
const char* const item = "Enter V, S, M, D, K, or A: ";

INSTANTIATE_TEST_SUITE_P(
    Entries, RefusedEntry,
    testing::Values(
        RefusedCase{"v 0", pulse}, RefusedCase{"v 65536", pulse}, RefusedCase{"v -1", pulse},
        RefusedCase{"v -65535", pulse}, RefusedCase{"v 4294968296", pulse},
        RefusedCase{"v 100000000000000000000000000000000000000000000000000", pulse},
        RefusedCase{"s 0", scale}, RefusedCase{"s 9", scale}, RefusedCase{"s 257", scale},
        RefusedCase{"s 264", scale}, RefusedCase{"m 3", mode}, RefusedCase{"m 258", mode},
        RefusedCase{"m 0", mode}, RefusedCase{"a 8", interval}, RefusedCase{"a 0", interval},
        RefusedCase{"a -7", interval},
        // Not a plain decimal integer: consumed, never a command.
        RefusedCase{"v x", pulse}, RefusedCase{"v 5x", pulse}, RefusedCase{"s t", scale},
        RefusedCase{"m 1.5", mode}, RefusedCase{"a 0x3", interval}, RefusedCase{"v +", pulse},
        RefusedCase{"v -", pulse}, RefusedCase{"s 4d", scale}, RefusedCase{"r q", item},
        RefusedCase{"r 1", item}, RefusedCase{"R ?", item},
        // Wide enough to wrap a 32- or 64-bit integer back into range.
        RefusedCase{"s 4294967297", scale}, RefusedCase{"v 4294967297", pulse},
        RefusedCase{"s 4294967304", scale}, RefusedCase{"m -4294967295", mode},
        RefusedCase{"v 2147484648", pulse}, RefusedCase{"a 18446744073709551623", interval},
        // Past the kept part of a token, every character still counts.
        RefusedCase{"v 1000000000000000000000000000000000000000000000x", pulse},
        RefusedCase{"b 1111111111111111111111111111111111111111x",
                    "Enter buffer selection (0=Tx, 1=Rx): "},
        RefusedCase{"b +", "Enter buffer selection (0=Tx, 1=Rx): "},
        RefusedCase{"b -", "Enter buffer selection (0=Tx, 1=Rx): "}),
    CASE_NAME(input));

struct DumpCase {
    const char* input;
    const char* line;
};

class BufferDump : public ConsoleTest, public testing::WithParamInterface<DumpCase> {};

TEST_P(BufferDump, ShowsTheSelectedBuffer) {
    fake::platform().replies.push_back({fake::frame({0x52, 0x02, 0xFF, 0x80})});
    ConsoleRun run = run_console_with(GetParam().input);
    std::string out = run.out;
    std::string last = out.substr(out.rfind("(0=Tx, 1=Rx): ") + 14);
    EXPECT_EQ(last, GetParam().line + std::string(prompt) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Selectors, BufferDump,
                         testing::Values(DumpCase{"v 1000 b 0", "86 2 -24 3 -65 0 0 0\n"},
                                         // A shorter frame leaves the older bytes behind it.
                                         DumpCase{"v 1000 d b 0", "68 0 68 3 -65 0 0 0\n"},
                                         DumpCase{"v 1000 b -0", "86 2 -24 3 -65 0 0 0\n"},
                                         DumpCase{"r v b 1", "82 2 -1 -128 47 0 0 0\n"},
                                         DumpCase{"r v b 257", "82 2 -1 -128 47 0 0 0\n"},
                                         DumpCase{"r v b 256", "82 2 -1 -128 47 0 0 0\n"},
                                         DumpCase{"r v b -3", "82 2 -1 -128 47 0 0 0\n"},
                                         DumpCase{"r v b x", "invalid entry\n"}),
                         CASE_NAME(input));

} // namespace
