// A device that answers after the settle time: its late reply must never be
// taken for the reply of a query typed ahead after it.
#include "tests/support/case_name.h"
#include "tests/support/console_session.h"

#include <string>
#include <vector>

using fake::Bytes;
using fake::frame;

namespace {

const std::string fault = "Packet checksum fault\n";
const std::string count0 = "number of bytes read = 0\n";

struct LateCase {
    std::string input;
    std::vector<fake::Reply> replies;
    std::vector<std::string> shown; // in order, after each query's prompts
};

void PrintTo(const LateCase& c, std::ostream* os) { *os << c.input; }

class LateReplies : public ConsoleTest, public testing::WithParamInterface<LateCase> {};

TEST_P(LateReplies, AreFaultsAndNeverTheNextQuerysValue) {
    for (const fake::Reply& r : GetParam().replies) {
        fake::platform().replies.push_back(r);
    }
    ConsoleRun run = run_console_with(GetParam().input);
    std::string expected;
    for (const std::string& s : GetParam().shown) {
        expected += s;
    }
    // Only what the queries printed, without the prompts.
    std::string shown = run.out;
    for (const std::string p : {"Enter user command: ", "Enter V, S, M, D, K, or A: ",
                                "Enter Full Scale range (1-8): "}) {
        for (size_t at; (at = shown.find(p)) != std::string::npos;) {
            shown.erase(at, p.size());
        }
    }
    EXPECT_EQ(shown, expected + "\n");
    EXPECT_EQ(run.status, 0);
}

constexpr unsigned long late = 700; // after the request; the read is at 450

INSTANTIATE_TEST_SUITE_P(
    Sessions, LateReplies,
    testing::Values(LateCase{"r v r s",
                             {{frame({'R', 2, 10, 0}), late}, {frame({'R', 2, 20, 0}), late}},
                             {fault + count0, fault + count0}},
                    LateCase{"r m c i",
                             {{frame({'R', 1, 'I'}), late},
                              {frame({'C', 1, 12}), late},
                              {frame({'I', 4, 'T', 'L', 'V', '1'}), late}},
                             {fault + count0, fault, fault}},
                    // An answer on time after a late one is shown, and only it.
                    LateCase{"r v r s",
                             {{frame({'R', 2, 10, 0}), late}, {frame({'R', 2, 20, 0}), 20}},
                             {fault + count0, "Full Scale value = 20 kilowatts\n"}},
                    // Answers to settings: one that comes while the next query
                    // is being sent is thrown away; a later one spoils the read.
                    LateCase{"s 4 r a",
                             {{frame({'S', 1, 4}), 120}, {frame({'R', 1, 3}), 20}},
                             {"Average Interval = 3 minutes\n"}},
                    LateCase{"d i",
                             {{frame({'D', 1, 0}), 120}, {frame({'I', 4, 'T', 'L', 'V', '1'}), 20}},
                             {"Product ID = TLV1\n"}},
                    LateCase{"s 4 r a",
                             {{frame({'S', 1, 4}), 250}, {frame({'R', 1, 3}), 20}},
                             {fault + "number of bytes read = 8\n"}},
                    // A reply cut short, then a whole one.
                    LateCase{"c c",
                             {{Bytes{'C', 1}, 20}, {frame({'C', 1, 7}), 20}},
                             {fault, "Code revision level = 7\n"}}),
    CASE_NAME(input));

} // namespace
