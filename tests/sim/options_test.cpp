// The simulator's command line.
#include "sim/options.h"
#include "tests/support/case_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tolvaner::sim;

namespace {

ParsedOptions parse(std::vector<std::string> args) { return parse_options(args); }

TEST(Options, NoneGiveTheDefaults) {
    ParsedOptions p = parse({});
    ASSERT_TRUE(p.options) << p.error;
    const Options& o = *p.options;
    EXPECT_EQ(o.fault, Fault::none);
    EXPECT_FALSE(o.trace);
    EXPECT_FALSE(o.help);
    EXPECT_FALSE(o.link);
    EXPECT_TRUE(o.program.empty());
    EXPECT_EQ(o.device.product_id, "TLV1");
    EXPECT_EQ(o.device.revision, 12);
    EXPECT_EQ(o.device.load_kw, 2.0);
    EXPECT_FALSE(o.device.acknowledge_settings);
}

TEST(Options, EveryOptionInBothSpellings) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--fault", "late", "--ack", "--trace", "--id", "AB C", "--rev", "-128", "--load",
              "36000.5", "--link", "/tmp/x"},
             {"--fault=late", "--ack", "--trace", "--id=AB C", "--rev=-128", "--load=36000.5",
              "--link=/tmp/x"}}) {
        ParsedOptions p = parse(args);
        ASSERT_TRUE(p.options) << p.error;
        const Options& o = *p.options;
        EXPECT_EQ(o.fault, Fault::late);
        EXPECT_TRUE(o.device.acknowledge_settings);
        EXPECT_TRUE(o.trace);
        EXPECT_EQ(o.device.product_id, "AB C");
        EXPECT_EQ(o.device.revision, -128);
        EXPECT_EQ(o.device.load_kw, 36000.5);
        EXPECT_EQ(o.link, "/tmp/x");
    }
    for (const auto& args : std::vector<std::vector<std::string>>{{"--port", "/dev/ttyUSB1"},
                                                                  {"--port=/dev/ttyUSB1"}}) {
        ParsedOptions p = parse(args);
        ASSERT_TRUE(p.options) << p.error;
        EXPECT_EQ(p.options->port, "/dev/ttyUSB1");
    }
}

TEST(Options, EveryFaultModeByName) {
    for (Fault f :
         {Fault::none, Fault::silent, Fault::corrupt, Fault::truncate, Fault::late, Fault::noise}) {
        ParsedOptions p = parse({"--fault", fault_name(f)});
        ASSERT_TRUE(p.options) << p.error;
        EXPECT_EQ(p.options->fault, f);
    }
}

TEST(Options, EverythingAfterTheDashesIsTheProgram) {
    ParsedOptions p = parse({"--trace", "--", "prog", "--fault", "x", "--"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->program, (std::vector<std::string>{"prog", "--fault", "x", "--"}));
    EXPECT_EQ(p.options->fault, Fault::none);
}

TEST(Options, RangeEdgesAreAccepted) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--rev", "127"},
                                                                  {"--rev", "-128"},
                                                                  {"--id", "X"},
                                                                  {"--id", "~~~~"},
                                                                  {"--load", "0"},
                                                                  {"--load", "1000000"},
                                                                  {"--load", "1e3"},
                                                                  {"--load", ".5"},
                                                                  {"--load", "5."},
                                                                  {"--load", "1E+3"},
                                                                  {"--load", "-0"}}) {
        ParsedOptions p = parse(args);
        EXPECT_TRUE(p.options) << args[0] << " " << args[1] << ": " << p.error;
    }
}

struct BadCase {
    std::vector<std::string> args;
    const char* says;
};

class OptionsRefused : public testing::TestWithParam<BadCase> {};

TEST_P(OptionsRefused, WithAClearMessage) {
    ParsedOptions p = parse(GetParam().args);
    EXPECT_FALSE(p.options);
    EXPECT_NE(p.error.find(GetParam().says), std::string::npos) << p.error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsRefused,
    testing::Values(BadCase{{"--fault", "loud"}, "--fault: unknown mode 'loud'"},
                    BadCase{{"--fault"}, "--fault needs a value"},
                    BadCase{{"--fault="}, "--fault: unknown mode ''"},
                    BadCase{{"--id", ""}, "--id"}, BadCase{{"--id", "ABCDE"}, "--id: 'ABCDE'"},
                    BadCase{{"--id", "A\tB"}, "printable"},
                    BadCase{{"--id", "\xC3\xA9"}, "printable"},
                    BadCase{{"--rev", "128"}, "--rev: '128'"}, BadCase{{"--rev", "-129"}, "-128"},
                    BadCase{{"--rev", "1.5"}, "--rev"}, BadCase{{"--rev", "12x"}, "--rev"},
                    BadCase{{"--rev", ""}, "--rev"}, BadCase{{"--load", "-1"}, "--load: '-1'"},
                    BadCase{{"--load", "1000001"}, "--load"}, BadCase{{"--load", "nan"}, "--load"},
                    BadCase{{"--load", "inf"}, "--load"}, BadCase{{"--load", "2kW"}, "--load"},
                    BadCase{{"--load", "+5"}, "--load"}, BadCase{{"--load", " 5"}, "--load"},
                    BadCase{{"--load", "5 "}, "--load"}, BadCase{{"--load", "1e"}, "--load"},
                    BadCase{{"--load", "."}, "--load"}, BadCase{{"--load", "0x10"}, "--load"},
                    BadCase{{"--load", "1,5"}, "--load"}, BadCase{{"--load", "1e999"}, "--load"},
                    BadCase{{"--link", ""}, "--link"}, BadCase{{"--link"}, "--link needs a value"},
                    BadCase{{"--ack=yes"}, "unknown option '--ack=yes'"},
                    BadCase{{"--loud"}, "unknown option '--loud'"},
                    BadCase{{"-x"}, "unknown option '-x'"},
                    BadCase{{"tolvaner"}, "unexpected argument 'tolvaner'"},
                    BadCase{{"--trace", "--"}, "missing PROGRAM after --"},
                    BadCase{{"--port"}, "--port needs a value"},
                    BadCase{{"--port="}, "--port: the path is empty"},
                    BadCase{{"--port", "/dev/ttyUSB1", "--", "prog"}, "runs no program"},
                    BadCase{{"--port", "/dev/ttyUSB1", "--link", "/tmp/m"}, "--link"}),
    CASE_NAME(args));

TEST(Options, HelpIsRecognisedAndNamesEveryOption) {
    ParsedOptions p = parse({"--help"});
    ASSERT_TRUE(p.options);
    EXPECT_TRUE(p.options->help);
    const std::string help = help_text();
    for (const char* word :
         {"--fault", "none", "silent", "corrupt", "truncate", "late", "noise", "--ack", "--trace",
          "--id", "--rev", "--load", "--link", "--port", "--help"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

} // namespace
