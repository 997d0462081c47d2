// Frames over one port (link/frame_link): the fast exchange's verdicts, an
// exchange's result with its reason, the failures that end a session, and
// the last gap paid however a run ends.
#include "tests/support/console_session.h"

#include "protocol/device_items.h"
#include "protocol/device_messages.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

using fake::Bytes;
using fake::frame;

namespace {

// The fast exchange of the modes. 'C' goes out at 0, 50 and 100 ms; arrivals
// are in ms after its last byte.
struct FastCase {
    const char* name;
    std::vector<std::pair<unsigned long, Bytes>> arrivals;
    ReadVerdict verdict;
    unsigned long done_by; // after the last byte; 0: not judged
};

class FastReply : public ConsoleTest, public testing::WithParamInterface<FastCase> {
    void TearDown() override { use_fast_exchange(test_link, false); }
};

TEST_P(FastReply, EndsAtOneWholeFrameAndCatchesWhatFollows) {
    for (const auto& [at, bytes] : GetParam().arrivals) {
        fake::arrive(100 + at, bytes);
    }
    use_fast_exchange(test_link, true);
    FrameResult result = query(test_link, Opcode::code_revision, ReadbackItem::none);
    EXPECT_EQ(last_read_verdict(test_link), GetParam().verdict);
    EXPECT_EQ(result == frame_good, GetParam().verdict == ReadVerdict::good);
    if (GetParam().done_by != 0) {
        EXPECT_LE(fake::platform().now_ms, 100 + GetParam().done_by);
    }
}

const Bytes revision = frame({0x43, 1, 0x07});

INSTANTIATE_TEST_SUITE_P(
    Arrivals, FastReply,
    testing::Values(
        FastCase{"at_once", {{5, revision}}, ReadVerdict::good, 5 + reply_quiet_ms},
        FastCase{"in_pieces", {{5, {0x43, 1}}, {30, {0x07, 0x45}}}, ReadVerdict::good, 50},
        // A header and more, then the rest 30 ms later: past the quiet time,
        // but the frame is not whole before it.
        FastCase{"split_30_ms_apart",
                 {{5, {0x43, 1, 0x07}}, {35, {0x45}}},
                 ReadVerdict::good,
                 35 + reply_quiet_ms},
        FastCase{"last_moment", {{450, revision}}, ReadVerdict::good, 450},
        FastCase{"too_late", {{451, revision}}, ReadVerdict::nothing_arrived, 0},
        FastCase{"trailing_byte", {{5, revision}, {15, {0x00}}}, ReadVerdict::longer_than_frame, 0},
        FastCase{"second_frame",
                 {{5, {0x43, 1, 0x07, 0x45, 0x43, 1, 0x07, 0x45}}},
                 ReadVerdict::longer_than_frame,
                 0},
        FastCase{"after_the_quiet", {{5, revision}, {40, {0x00}}}, ReadVerdict::good, 25},
        FastCase{"impossible_length", {{5, {0x43, 30, 0}}}, ReadVerdict::length_over_buffer, 0},
        FastCase{"cut_short", {{5, {0x43, 2, 0x07}}}, ReadVerdict::shorter_than_length, 0},
        FastCase{"bad_checksum", {{5, {0x43, 1, 0x07, 0x00}}}, ReadVerdict::bad_checksum, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleTest, FastExchangeKeepsTheGapAndDropsALateSettingAnswer) {
    // The answer to the setting comes 120 ms late, while the query goes out.
    fake::platform().replies.push_back({frame({0x53, 1, 4}), 120});
    fake::platform().replies.push_back({frame({0x43, 1, 0x07}), 5});
    fake::platform().replies.push_back({frame({0x43, 1, 0x08}), 5});
    use_fast_exchange(test_link, true);
    set_full_scale(test_link, 4);
    EXPECT_EQ(query(test_link, Opcode::code_revision, ReadbackItem::none), frame_good);
    EXPECT_EQ(reply_s8(test_link), 7);
    EXPECT_EQ(query(test_link, Opcode::code_revision, ReadbackItem::none), frame_good);
    EXPECT_EQ(reply_s8(test_link), 8);
    use_fast_exchange(test_link, false);
    const auto& written = fake::platform().written;
    ASSERT_EQ(written.size(), 10U);
    for (size_t i = 1; i < written.size(); ++i) {
        EXPECT_GE(written[i].at_ms - written[i - 1].at_ms, byte_gap_ms) << i;
    }
}

// A port failure or a held signal comes back from an exchange as its result,
// with the link's reason, and the caller closes the link with the gap paid.
struct ResultCase {
    const char* name;
    bool write_fails;
    bool read_fails;
    unsigned long signal_at_ms;
    bool signals_to_caller;
    FrameResult result;
    const char* message; // the link's fault_message
    size_t bytes_sent;
    int holds_kept; // a signal to end the program on stays held
};

class ExchangeResult : public ConsoleTest, public testing::WithParamInterface<ResultCase> {};

TEST_P(ExchangeResult, ComesBackWithItsReason) {
    const ResultCase& c = GetParam();
    fake::Platform& p = fake::platform();
    p.failure_text = "the reason";
    p.write_fails = c.write_fails;
    p.read_fails = c.read_fails;
    p.signal_at_ms = c.signal_at_ms;
    p.signal_number = SIGINT;
    p.replies.push_back({frame({0x43, 1, 0x07}), 5});
    ASSERT_EQ(link_open(test_link, "COM1"), PortOpenResult::ok);
    use_fast_exchange(test_link, true);
    test_link.signals_to_caller = c.signals_to_caller;
    EXPECT_EQ(query(test_link, Opcode::code_revision, ReadbackItem::none), c.result);
    EXPECT_STREQ(test_link.fault_message, c.message);
    EXPECT_STREQ(link_failure_text(test_link), c.message[0] != '\0' ? "the reason" : "");
    EXPECT_EQ(fake::wire().size(), c.bytes_sent);
    EXPECT_EQ(p.hold_depth, c.holds_kept);
    link_close(test_link);
    EXPECT_FALSE(p.is_open);
    EXPECT_EQ(fake::gap_unpaid_at_close(), 0u);
}

const char* const write_failed = "error occurred during write operation\n";
const char* const read_failed = "error occurred during read operation\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ExchangeResult,
    testing::Values(
        ResultCase{"good", false, false, ~0ul, false, frame_good, "", 3, 0},
        ResultCase{"write_failed", true, false, ~0ul, false, frame_port_failed, write_failed, 0, 0},
        ResultCase{"read_failed", false, true, ~0ul, false, frame_port_failed, read_failed, 3, 0},
        ResultCase{"signal_before_the_frame", false, false, 0, false, frame_signalled, "", 0, 1},
        ResultCase{"signal_in_the_frame", false, false, 60, false, frame_signalled, "", 3, 1},
        ResultCase{"signal_left_to_the_caller", false, false, 60, true, frame_good, "", 3, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Fatal failures print their message on standard output and end the session
// with status 1 (the child's exit status is that plus 100).
// The death-test child's standard output is pointed at its standard error so
// that the message can be matched.
void run_in_child(const std::string& input, std::string trace = "") {
    dup2(2, 1);
    std::FILE* in = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    char program[] = "tolvaner";
    char port[] = "COM1";
    char option[] = "--trace";
    char* argv[] = {program, port, nullptr};
    if (!trace.empty()) {
        char* traced[] = {program, option, trace.data(), port, nullptr};
        std::exit(run_program(4, traced, in) + 100);
    }
    std::exit(run_program(2, argv, in) + 100);
}

TEST(FatalFailure, EachPortFailureHasItsMessageAndStatus1) {
    struct {
        PortOpenResult result;
        const char* message;
    } cases[] = {{PortOpenResult::not_found, "serial port does not exist\n"},
                 {PortOpenResult::open_failed, "error occurred while opening comm port\n"},
                 {PortOpenResult::get_state_failed, "error getting comm state\n"},
                 {PortOpenResult::set_state_failed, "error setting serial port state\n"},
                 {PortOpenResult::timeouts_failed, "error occureed setting timeout values\n"}};
    for (const auto& c : cases) {
        fake::reset();
        fake::platform().open_result = c.result;
        fake::platform().failure_text = "the reason";
        const bool named = c.result == PortOpenResult::not_found ||
                           c.result == PortOpenResult::get_state_failed ||
                           c.result == PortOpenResult::set_state_failed;
        EXPECT_EXIT(
            {
                dup2(2, 1);
                std::fflush(stdout);
                exit_with_console_on("COM7");
            },
            testing::ExitedWithCode(1),
            std::string("^") + c.message + "tolvaner: COM7: the reason" + (named ? ": " : "\n$"));
    }
}

TEST(FatalFailure, ReadAndWriteFailuresEndTheSession) {
    fake::reset();
    fake::platform().write_fails = true;
    fake::platform().failure_text = "the reason";
    EXPECT_EXIT(run_in_child("d"), testing::ExitedWithCode(101),
                "^Enter user command: error occurred during write operation\n"
                "tolvaner: COM1: the reason\n$");
#ifndef _WIN32 // a death test there is a new process, with a new pid
    // The trace keeps what went out before the failure, and why it stopped.
    const std::string trace = testing::TempDir() + "tolvaner-write-" + std::to_string(getpid());
    EXPECT_EXIT(run_in_child("v 1000", trace), testing::ExitedWithCode(101), "");
    std::ifstream file(trace);
    std::string last;
    for (std::string line; std::getline(file, line);) {
        last = line;
    }
    std::remove(trace.c_str());
    EXPECT_EQ(last.substr(last.find(" tx")), " tx  write failed at byte 1: the reason");
#endif
    fake::platform().read_fails = true;
    EXPECT_EXIT(run_in_child("x"), testing::ExitedWithCode(101),
                "^error occurred during read operation\ntolvaner: COM1: the reason\n$");
}

// However a run ends, the port is closed only once the device has had its
// 50 ms after the last byte, so that the next program may send at once; and
// a SIGINT or SIGTERM that comes while a frame goes out acts only after its
// last byte. Each run is a process of its own: a signal ends it.
struct EndCase {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::vector<Bytes> replies; // to the frames in order, each 2 ms after it; {} is silence
    unsigned long signal_at_ms; // 0: none
    int signal;
    bool read_fails;
    int exit_code; // run_tolvaner's status + 100 when it returned
    std::string errors;
};

class EveryEnd : public testing::TestWithParam<EndCase> {};

TEST_P(EveryEnd, PaysTheLastGapAndNeverCutsAFrame) {
    const EndCase& c = GetParam();
    fake::reset();
    fake::Platform& p = fake::platform();
    p.say_close = true;
    p.read_fails = c.read_fails;
    if (c.signal_at_ms != 0) {
        p.signal_at_ms = c.signal_at_ms;
        p.signal_number = c.signal;
    }
    // Answered at once, a mode's wait for a reply ends 22 ms into the gap.
    for (const Bytes& reply : c.replies) {
        p.replies.push_back({reply, 2});
    }
    EXPECT_EXIT(
        {
            dup2(fileno(std::tmpfile()), 1);
            std::FILE* in = std::tmpfile();
            std::fputs(c.input.c_str(), in);
            std::rewind(in);
            std::vector<std::string> args = c.args;
            args.insert(args.begin(), "tolvaner");
            args.push_back("COM1");
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            std::exit(run_program(static_cast<int>(args.size()), argv.data(), in) + 100);
        },
        testing::ExitedWithCode(c.exit_code), c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, EveryEnd,
    testing::Values(
        EndCase{"set",
                {"--set", "v=1000"},
                "",
                {{}, frame({'R', 2, 0xE8, 0x03})},
                0,
                0,
                false,
                100,
                "fake: closed after 9 bytes, 0 ms of the gap unpaid\n$"},
        EndCase{"read_failure",
                {"--read"},
                "",
                {},
                0,
                0,
                true,
                101,
                "fake: closed after 3 bytes, 0 ms of the gap unpaid\n$"},
        // The second query's frame goes out from 150 ms to 250 ms.
        EndCase{"sigterm_in_a_read",
                {"--read"},
                "",
                {frame({'I', 4, 'T', 'L', 'V', '1'})},
                160,
                SIGTERM,
                false,
                128 + SIGTERM,
                "fake: closed after 6 bytes, 0 ms of the gap unpaid\nfake: ended by signal " +
                    std::to_string(SIGTERM) + "\n$"},
        EndCase{"sigint_in_the_console",
                {},
                "v 1000 x\n",
                {},
                60,
                SIGINT,
                false,
                128 + SIGINT,
                "fake: closed after 5 bytes, 0 ms of the gap unpaid\nfake: ended by signal " +
                    std::to_string(SIGINT) + "\n$"},
        // The signal comes during the first sample: the day's sleep after it
        // ends at once, the summary is said, then the signal acts.
        EndCase{
            "sigint_in_a_watch",
            {"--watch", "86400"},
            "",
            {frame({'R', 1, 51}), frame({'R', 2, 0, 0})},
            10,
            SIGINT,
            false,
            128 + SIGINT,
            "tolvaner: COM1: 1 sample, 0 without a good reply, dac_value 51 to 51, kwh_value 0 to "
            "0\nfake: closed after 8 bytes, 0 ms of the gap unpaid\nfake: ended by signal " +
                std::to_string(SIGINT) + "\n$"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
