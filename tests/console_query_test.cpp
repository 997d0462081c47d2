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
} // namespace
