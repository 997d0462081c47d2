// The trace of the frames on the wire (link/wire_trace): every frame and its
// verdict, the bytes thrown away, and a trace that cannot be written.
#include "tests/support/console_session.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using fake::Bytes;

namespace {

const char* const prompt = "Enter user command: ";

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

} // namespace
