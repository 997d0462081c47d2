// The command line: options, their values and their wrong counts, parsed
// before anything runs, against the fake platform.
#include "ports/port_record.h"
#include "tests/support/case_name.h"
#include "tests/support/console_session.h"

#include <optional>
#include <string>
#include <vector>

using fake::Bytes;
using fake::frame;

namespace {

const char* const prompt = "Enter user command: ";

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

} // namespace
