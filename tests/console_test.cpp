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
