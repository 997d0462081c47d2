// The device's end of the line: requests gathered by length and timing,
// answers scheduled and spoiled by the fault modes, and the trace.
#include "sim/line.h"
#include "sim/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tolvaner::sim;
using namespace std::chrono_literals;

namespace {

const Bytes read_pulse_value{0x52, 0x01, 0x56, 0x05};
const Bytes pulse_value_reply{0x52, 0x02, 0x0A, 0x00, 0x5A}; // 10 Wh, the default
const Bytes read_revision{0x43, 0x00, 0x43};
const Bytes revision_reply{0x43, 0x01, 0x0C, 0x4E};

// Feeds `bytes` one at a time, `gap` apart from `start`; returns the time of
// the last byte.
Micros feed(Line& line, const Bytes& bytes, Micros start, Micros gap = 50ms) {
    Micros t = start;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            t += gap;
            line.tick(t);
        }
        line.receive(std::span(&bytes[i], 1), t);
    }
    return t;
}

std::vector<std::string> trace_lines(Line& line) {
    std::vector<std::string> lines;
    for (const TraceEvent& e : line.take_trace()) {
        lines.push_back(format_trace(e));
    }
    return lines;
}

TEST(LineFraming, RequestWithByteGapsIsAnsweredAtOnce) {
    Line line({}, Fault::none, 0us);
    const Micros last = feed(line, read_pulse_value, 1s);
    // Within 20 ms of the last request byte: here, at that very moment.
    EXPECT_EQ(line.next_deadline(), last);
    EXPECT_EQ(line.take_due(last), pulse_value_reply);
    EXPECT_EQ(line.next_deadline(), std::nullopt);
    EXPECT_EQ(trace_lines(line),
              (std::vector<std::string>{"    1.150 rx 52 01 56 05  gaps 50.0 50.0 50.0",
                                        "    1.150 tx 52 02 0A 00 5A"}));
}

TEST(LineFraming, RequestsArrivingTogetherAreAnsweredInOrder) {
    Line line({}, Fault::none, 0us);
    Bytes both = read_revision;
    both.insert(both.end(), read_pulse_value.begin(), read_pulse_value.end());
    line.receive(both, 2s);
    Bytes expected = revision_reply;
    expected.insert(expected.end(), pulse_value_reply.begin(), pulse_value_reply.end());
    EXPECT_EQ(line.take_due(2s), expected);
}

TEST(LineFraming, NothingIsAnsweredBeforeTheLastByte) {
    Line line({}, Fault::none, 0us);
    feed(line, Bytes(read_pulse_value.begin(), read_pulse_value.end() - 1), 0us);
    EXPECT_TRUE(line.take_due(140ms).empty());
    line.receive(std::span(&read_pulse_value.back(), 1), 150ms);
    EXPECT_EQ(line.take_due(150ms), pulse_value_reply);
}

struct PauseCase {
    const char* name;
    Micros pause;
    bool answered;
};

class LinePause : public testing::TestWithParam<PauseCase> {};

// The pause falls between the second and third byte of a request.
TEST_P(LinePause, LongerThan100MsDropsThePartialRequest) {
    const PauseCase& c = GetParam();
    Line line({}, Fault::none, 0us);
    feed(line, {0x52, 0x01}, 0us);
    Micros t = 50ms + c.pause;
    line.tick(t);
    feed(line, {0x56, 0x05}, t);
    EXPECT_EQ(line.take_due(t + 50ms), c.answered ? pulse_value_reply : Bytes{});
}

INSTANTIATE_TEST_SUITE_P(Pauses, LinePause,
                         testing::Values(PauseCase{"normal_gap", 50ms, true},
                                         PauseCase{"exactly_100ms", 100ms, true},
                                         PauseCase{"just_over_100ms", 100ms + 1us, false},
                                         PauseCase{"long", 5s, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinePause, DroppedPartialLeavesTheLineReadyForTheNextRequest) {
    Line line({}, Fault::none, 0us);
    feed(line, {0x52, 0x01}, 0us);
    // The device asks to be woken just after the allowed pause.
    ASSERT_EQ(line.next_deadline(), 50ms + 100ms + 1us);
    line.tick(50ms + 100ms + 1us);
    EXPECT_EQ(line.next_deadline(), std::nullopt);
    EXPECT_EQ(
        trace_lines(line),
        (std::vector<std::string>{
            "    0.150 rx 52 01  gaps 50.0  (incomplete, dropped after a pause of 100.0 ms)"}));
    const Micros last = feed(line, read_revision, 1s);
    EXPECT_EQ(line.take_due(last), revision_reply);
}

TEST(LinePause, IsNoticedWhenTheNextByteArrivesWithoutATick) {
    Line line({}, Fault::none, 0us);
    line.receive(Bytes{0x52, 0x01}, 0us);
    // Had the partial request been kept, these bytes would complete it.
    line.receive(read_revision, 300ms);
    EXPECT_EQ(line.take_due(300ms), revision_reply);
}

TEST(LineFraming, BadChecksumIsNotAnsweredAndTracedAsSuch) {
    Line line({}, Fault::none, 0us);
    line.receive(Bytes{0x52, 0x01, 0x56, 0x06}, 1s);
    EXPECT_TRUE(line.take_due(1s).empty());
    EXPECT_EQ(line.next_deadline(), std::nullopt);
    EXPECT_EQ(
        trace_lines(line),
        (std::vector<std::string>{"    1.000 rx 52 01 56 06  gaps 0.0 0.0 0.0  (bad checksum)"}));
    // The next request frames correctly after it.
    line.receive(read_revision, 2s);
    EXPECT_EQ(line.take_due(2s), revision_reply);
}

TEST(LineFraming, UnknownOpcodeIsSkippedWholeByItsLength) {
    Line line({}, Fault::none, 0us);
    Bytes unknown = make_frame('Z', Bytes{0x43, 0x00, 0x43, 0x52, 0x01});
    feed(line, unknown, 0us);
    EXPECT_TRUE(line.take_due(1s).empty());
    const std::vector<std::string> lines = trace_lines(line);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find("(unknown opcode)"), std::string::npos) << lines[0];
    const Micros last = feed(line, read_revision, 1s);
    EXPECT_EQ(line.take_due(last), revision_reply);
}

TEST(LineFraming, IgnoredSettingIsTracedWithItsReason) {
    Line line({}, Fault::none, 0us);
    line.receive(make_frame('S', Bytes{9}), 0us);
    const std::vector<std::string> lines = trace_lines(line);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find("(value out of range, ignored)"), std::string::npos) << lines[0];
}

struct FaultCase {
    const char* name;
    Fault fault;
    Micros delay;
    Bytes sent;
    const char* tx_note;
};

class LineFault : public testing::TestWithParam<FaultCase> {};

TEST_P(LineFault, SpoilsTheAnswerAsDocumented) {
    const FaultCase& c = GetParam();
    Line line({}, c.fault, 0us);
    line.receive(read_pulse_value, 1s);
    if (c.delay > 0us) {
        EXPECT_TRUE(line.take_due(1s + c.delay - 1us).empty());
    }
    EXPECT_EQ(line.take_due(1s + c.delay), c.sent);
    EXPECT_TRUE(line.take_due(1h).empty());
    const std::vector<std::string> lines = trace_lines(line);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(c.tx_note), std::string::npos) << lines.back();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LineFault,
    testing::Values(
        FaultCase{"none", Fault::none, 0us, pulse_value_reply, "tx 52 02 0A 00 5A"},
        FaultCase{"silent", Fault::silent, 0us, {}, "(not answered (fault silent))"},
        FaultCase{
            "corrupt", Fault::corrupt, 0us, {0x52, 0x02, 0x0A, 0x00, 0x5B}, "(checksum corrupted)"},
        FaultCase{"truncate", Fault::truncate, 0us, {0x52, 0x02, 0x0A}, "(cut short)"},
        FaultCase{"late", Fault::late, 700ms, pulse_value_reply, "(late)"},
        FaultCase{
            "noise", Fault::noise, 0us, {0x00, 0x52, 0x02, 0x0A, 0x00, 0x5A}, "tx 52 02 0A 00 5A"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineFault, LateAnswerIsWhatTheLineWaitsFor) {
    Line line({}, Fault::late, 0us);
    line.receive(read_pulse_value, 1s);
    EXPECT_EQ(line.next_deadline(), 1s + late_delay);
}

TEST(LineFault, AcknowledgementsAreSpoiledToo) {
    DeviceConfig config;
    config.acknowledge_settings = true;
    Line line(config, Fault::corrupt, 0us);
    line.receive(make_frame('D', {}), 0us);
    EXPECT_EQ(line.take_due(0us), (Bytes{'D', 0x00, 'D' ^ 0x01}));
}

TEST(Trace, FormatsTimesInSecondsAndGapsInMilliseconds) {
    TraceEvent rx{TraceEvent::Direction::rx,
                  12'304'400us,
                  read_pulse_value,
                  {50'100us, 50'040us, 50'160us},
                  ""};
    EXPECT_EQ(format_trace(rx), "   12.304 rx 52 01 56 05  gaps 50.1 50.0 50.2");
    TraceEvent tx{TraceEvent::Direction::tx, 12'325'000us, {0x52, 0x02, 0xE8, 0x03, 0xBF}, {}, ""};
    EXPECT_EQ(format_trace(tx), "   12.325 tx 52 02 E8 03 BF");
    TraceEvent hours{TraceEvent::Direction::tx, 36'000'000'000us, {0xFF}, {}, "stray byte"};
    EXPECT_EQ(format_trace(hours), "36000.000 tx FF  (stray byte)");
}

} // namespace
