// Random operator input, from fixed seeds, against the simulated device:
// commands, numbers in and out of range, junk words, control bytes and very
// long words. Every byte the device receives must belong to a catalogue request
// whose value is in range and is the number the operator typed for it, in the
// order typed; the program must end with status 0.
#include "tests/hardening/operator_model.h"
#include "tests/hardening/sim_runner.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using hardening::Bytes;

class Typist {
  public:
    explicit Typist(unsigned seed) : random_(seed) {}

    std::string session(int words) {
        std::string text;
        for (int i = 0; i < words; ++i) {
            text += word();
            text += blank();
        }
        return text + "x\n";
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    std::string from(const std::vector<std::string>& choices) {
        return choices[static_cast<size_t>(pick(static_cast<int>(choices.size())))];
    }

    std::string blank() {
        static const std::vector<std::string> blanks{" ", " ", "\n", "\t", "\r\n", "  \v\f "};
        return from(blanks);
    }

    std::string number() {
        switch (pick(6)) {
        case 0: // in or near a range: 1 to 8, 0, 9 ...
            return std::to_string(pick(11) - 1);
        case 1:
            return std::to_string(pick(70000));
        case 2:
            return from({"0", "65535", "65536", "-1", "-65535", "+7", "007", "-0", "4294967297",
                         "99999999999999999999"});
        case 3: // zero-padded, short or far longer than any value
            return padded(pick(60));
        case 4: // not plain decimal
            return from({"5x", "1.5", "0x3", "2e1", "+", "-", "--2", "3-", "1,000"});
        default:
            return std::to_string(pick(8) + 1);
        }
    }

    // One digit 1 to 9 after `zeros` zeros. (One pick per statement: the order
    // in which operands are evaluated differs between compilers.)
    std::string padded(int zeros) {
        std::string w(static_cast<size_t>(zeros), '0');
        return w + std::to_string(pick(9) + 1);
    }

    std::string junk() {
        std::string w;
        int length = pick(12) + 1;
        for (int i = 0; i < length; ++i) {
            char c;
            if (pick(4) == 0) {
                // Control and high bytes, blanks excepted (they would split it).
                do {
                    c = static_cast<char>(pick(256));
                } while (c == ' ' || (c >= '\t' && c <= '\r'));
            } else {
                c = static_cast<char>(' ' + 1 + pick(94));
            }
            w += c;
        }
        return w;
    }

    std::string word() {
        std::string w;
        switch (pick(10)) {
        case 0:
        case 1:
        case 2:
            w = from({"v", "V", "s", "S", "m", "M", "a", "A", "d", "D",       "t",    "T",
                      "i", "I", "c", "C", "r", "R", "b", "?", "B", "Verbose", "help", "reading"});
            break;
        case 3:
            w = from({"v", "s", "m", "a", "b"});
            w += blank();
            w += number();
            break;
        case 4:
            w = "r" + blank();
            w += from({"v", "s", "m", "d", "k", "a", "K", "q", "7", "Volts"});
            break;
        case 5:
        case 6:
            w = number();
            break;
        case 7:
            w = junk();
            break;
        case 8: { // very long
            size_t length = static_cast<size_t>(100 + pick(400));
            w = std::string(length, from({"v", "7", "0", "r", "#"})[0]);
            break;
        }
        default:
            w = from({"s", "a", "v"});
            w += blank();
            w += padded(40 + pick(40));
            break;
        }
        // Only the last word ends the session.
        if (w[0] == 'x' || w[0] == 'X') {
            w[0] = '#';
        }
        return w;
    }

    std::mt19937 random_;
};

TEST(SimulatorProperty, EveryFrameIsATypedRequestInRange) {
    constexpr unsigned seeds = 12;
    constexpr int words = 80;
    std::vector<hardening::SimJob> jobs;
    for (unsigned seed = 1; seed <= seeds; ++seed) {
        jobs.push_back({{}, Typist(seed).session(words)});
    }
    std::vector<hardening::SimRun> runs = hardening::run_with_simulator(jobs, 180000);

    size_t frames = 0;
    int dropped = 0;
    for (unsigned i = 0; i < seeds; ++i) {
        const hardening::SimRun& run = runs[i];
        const std::string& input = jobs[i].input;
        SCOPED_TRACE("seed " + std::to_string(i + 1));
        ASSERT_TRUE(run.ended) << "no end before the deadline";
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(hardening::catalogue_fault(run.rx), nullptr);
        Bytes expected = hardening::expected_requests(
            reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        EXPECT_EQ(run.rx, expected) << run.err;
        for (size_t at = 0; at + 1 < run.rx.size(); at += run.rx[at + 1] + 3u) {
            ++frames;
        }
        // A stall splits a request on the line, never changes its bytes.
        dropped += run.dropped;
    }
    RecordProperty("frames", static_cast<int>(frames));
    std::printf("%zu sessions, %zu frames checked, %d requests split by a stall\n", runs.size(),
                frames, dropped);
}

} // namespace
