// Operator input at its edges, in-process against the fake platform.
#include "tests/support/case_name.h"
#include "tests/support/console_session.h"

#include <string>

using fake::Bytes;

namespace {

struct PaddedCase {
    std::string input;
    Bytes sent; // empty: refused
};

void PrintTo(const PaddedCase& c, std::ostream* os) { *os << c.input; }

class PaddedNumbers : public ConsoleTest, public testing::WithParamInterface<PaddedCase> {};

// A plain decimal number is its value however many zeros pad it, even when it
// is far longer than any value needs.
TEST_P(PaddedNumbers, AreTheirValue) {
    ConsoleRun run = run_console_with(GetParam().input);
    EXPECT_EQ(fake::wire(), GetParam().sent) << GetParam().input;
    bool refused = run.out.find("invalid entry\n") != std::string::npos;
    EXPECT_EQ(refused, GetParam().sent.empty()) << run.out;
    EXPECT_EQ(run.status, 0);
}

const std::string zeros(40, '0');

INSTANTIATE_TEST_SUITE_P(
    Entries, PaddedNumbers,
    testing::Values(PaddedCase{"v " + zeros + "1000 x", {0x56, 0x02, 0xE8, 0x03, 0xBF}},
                    PaddedCase{"v +" + zeros + "65535 x", {0x56, 0x02, 0xFF, 0xFF, 0x54}},
                    PaddedCase{"s " + zeros + "8 x", {0x53, 0x01, 0x08, 0x5A}},
                    PaddedCase{"a 0" + zeros + "7 x", {0x41, 0x01, 0x07, 0x47}},
                    PaddedCase{"a " + zeros + "8 x", {}}, PaddedCase{"v -" + zeros + "0 x", {}},
                    PaddedCase{"v " + zeros + " x", {}},
                    PaddedCase{"v " + zeros + "1" + zeros + " x", {}},
                    PaddedCase{"m " + zeros + "1x x", {}}, PaddedCase{"m 0x1 x", {}}),
    CASE_NAME(input));

} // namespace
