#include "tests/support/case_name.h"
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

const std::string prompt = "Enter user command: ";
const std::string item_prompt = "Enter V, S, M, D, K, or A: ";

// What a command printed between its prompt and the next one.
std::string answer(const ConsoleRun& run, const std::string& input_prompt = prompt) {
    size_t start = run.out.find(input_prompt) + input_prompt.size();
    size_t end = run.out.find(prompt, start);
    return run.out.substr(start, end - start);
}

struct DisplayCase {
    const char* input;
    Bytes reply;
    const char* line;
};

class QueryDisplay : public ConsoleTest, public testing::WithParamInterface<DisplayCase> {};

TEST_P(QueryDisplay, ShowsTheDecodedReply) {
    fake::platform().replies.push_back({GetParam().reply});
    ConsoleRun run = run_console_with(GetParam().input);
    std::string input = GetParam().input;
    EXPECT_EQ(answer(run, input[0] == 'r' ? item_prompt : prompt), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, QueryDisplay,
    testing::Values(
        DisplayCase{"i", frame({0x49, 4, 'W', 'X', '2', '0'}), "Product ID = WX20\n"},
        DisplayCase{"i", frame({0x49, 4, 'A', 'B', 0, 'Q'}), "Product ID = AB\n"},
        DisplayCase{"i", frame({0x49, 2, 'A', 'B'}), "Product ID = AB\n"},
        DisplayCase{"i", frame({0x49, 6, 'L', 'O', 'N', 'G', 'E', 'R'}), "Product ID = LONG\n"},
        DisplayCase{"c", frame({0x43, 1, 0x85}), "Code revision level = -123\n"},
        DisplayCase{"c", frame({0x43, 1, 0x7F}), "Code revision level = 127\n"},
        DisplayCase{"c", frame({0x43, 1, 0xFF}), "Code revision level = -1\n"},
        DisplayCase{"r v", frame({0x52, 2, 0xE8, 0x03}), "Pulse Value = 1000 watt-hours\n"},
        DisplayCase{"r s", frame({0x52, 2, 0xFF, 0xFF}), "Full Scale value = 65535 kilowatts\n"},
        DisplayCase{"r k", frame({0x52, 2, 0x00, 0x80}), "most recent KWH value = 32768\n"},
        DisplayCase{"r m", frame({0x52, 1, 'I'}), "Output Mode = I\n"},
        DisplayCase{"r d", frame({0x52, 1, 0xC8}), "most recent DAC value = 200\n"},
        DisplayCase{"r d", frame({0x52, 1, 0xFF}), "most recent DAC value = 255\n"},
        DisplayCase{"r a", frame({0x52, 1, 0xF0}), "Average Interval = -16 minutes\n"},
        DisplayCase{"r a", frame({0x52, 1, 0x80}), "Average Interval = -128 minutes\n"},
        // Bytes the device cannot have sent as text reach the terminal escaped.
        DisplayCase{"i", frame({0x49, 4, 'A', 0x1B, '[', '2'}), "Product ID = A\\x1B[2\n"},
        DisplayCase{"i", frame({0x49, 4, 0x80, 0xFF, '\\', 0x7F}),
                    "Product ID = \\x80\\xFF\\\\x7F\n"},
        DisplayCase{"r m", frame({0x52, 1, 0x07}), "Output Mode = \\x07\n"},
        // More than one frame in the read: which bytes are the answer is unknown.
        DisplayCase{"r v", Bytes{0x52, 2, 0x0A, 0x0D, 0x57, 0xEE},
                    "Packet checksum fault\nnumber of bytes read = 6\n"},
        // Faults: silent, cut short, bad XOR, impossible length, too short for the value.
        DisplayCase{"i", {}, "Packet checksum fault\n"},
        DisplayCase{"c", Bytes{0x43, 1, 0x05, 0x46}, "Packet checksum fault\n"},
        DisplayCase{"c", frame({0x43, 0}), "Packet checksum fault\n"},
        DisplayCase{"r v", {}, "Packet checksum fault\nnumber of bytes read = 0\n"},
        DisplayCase{"r v", Bytes{0x52, 2, 0xE8},
                    "Packet checksum fault\nnumber of bytes read = 3\n"},
        DisplayCase{"r v", frame({0x52, 1, 0xE8}),
                    "Packet checksum fault\nnumber of bytes read = 4\n"},
        DisplayCase{"r a", Bytes(32, 0x00), "Packet checksum fault\nnumber of bytes read = 32\n"},
        DisplayCase{"r a",
                    [] {
                        Bytes b(32, 0);
                        b[1] = 30;
                        return b;
                    }(),
                    "Packet checksum fault\nnumber of bytes read = 32\n"},
        DisplayCase{"r a",
                    [] {
                        Bytes b(32, 0);
                        b[1] = 0xFE;
                        return b;
                    }(),
                    "Packet checksum fault\nnumber of bytes read = 32\n"},
        // A whole frame of length 29 fills the buffer; the byte after it is a
        // second frame's.
        DisplayCase{"r a",
                    [] {
                        Bytes b(31, 0x05);
                        b[0] = 0x52;
                        b[1] = 29;
                        b = frame(b);
                        b.push_back(0x41);
                        return b;
                    }(),
                    "Packet checksum fault\nnumber of bytes read = 32\n"}),
    CASE_NAME(input));

TEST_F(ConsoleTest, AnEarlierReplyIsNeverShownAgainForASilentDevice) {
    fake::platform().replies.push_back({frame({0x52, 2, 0xE8, 0x03})});
    fake::platform().replies.push_back({});
    ConsoleRun run = run_console_with("r v r v");
    EXPECT_NE(run.out.find("Pulse Value = 1000 watt-hours\n"), std::string::npos);
    EXPECT_NE(run.out.find("Packet checksum fault\nnumber of bytes read = 0\n"), std::string::npos);
}

TEST_F(ConsoleTest, InputWaitingBeforeAQueryIsDiscarded) {
    // A device that acknowledges the setting; its answer is still waiting
    // when the query goes out and must not be taken for the reply.
    fake::platform().replies.push_back({frame({0x44, 0})});
    fake::platform().replies.push_back({frame({0x43, 1, 0x07})});
    ConsoleRun run = run_console_with("d c");
    EXPECT_EQ(answer(run, prompt + prompt), "Code revision level = 7\n");
    EXPECT_EQ(fake::platform().discards, 1);
}

TEST_F(ConsoleTest, AReplyMustBeInWithinTheSettleTime) {
    // The read comes 400 ms after the last byte's 50 ms gap.
    for (unsigned long delay : {449ul, 450ul, 451ul}) {
        SetUp();
        fake::platform().replies.push_back({frame({0x43, 1, 0x07}), delay});
        ConsoleRun run = run_console_with("c");
        EXPECT_EQ(answer(run),
                  delay <= 450 ? "Code revision level = 7\n" : "Packet checksum fault\n")
            << delay;
    }
}

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

TEST_F(ConsoleTest, StartUpReadTakesInWhatIsWaiting) {
    struct {
        Bytes waiting;
        const char* before_prompt;
    } cases[] = {{{}, ""},
                 {frame({0x44, 0}), ""},
                 {{0x44}, "Packet checksum fault\n"},
                 {{0x44, 0x00, 0x45}, "Packet checksum fault\n"}};
    for (const auto& c : cases) {
        SetUp();
        fake::arrive(0, c.waiting);
        ConsoleRun run = run_console_with("x");
        EXPECT_EQ(run.out, c.before_prompt + prompt);
        EXPECT_EQ(test_link.bytes_read, c.waiting.size());
    }
}

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
