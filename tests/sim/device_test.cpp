// The device model on its own: settings, readbacks, defaults, test mode and
// live values, driven by a clock that the test moves.
#include "sim/device.h"
#include "tests/support/case_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tolvaner::sim;
using namespace std::chrono_literals;

namespace {

Bytes request(std::uint8_t opcode, Bytes payload = {}) { return make_frame(opcode, payload); }

Bytes readback_request(char item) { return request('R', {static_cast<std::uint8_t>(item)}); }

// The payload of the device's answer to a readback of `item`.
Bytes read_item(Device& device, char item, Micros now) {
    Handled h = device.handle(readback_request(item), now);
    EXPECT_EQ(h.outcome, Outcome::answered) << item;
    if (!h.reply) {
        return {};
    }
    return Bytes(h.reply->begin() + 2, h.reply->end() - 1);
}

unsigned read_u16(Device& device, char item, Micros now) {
    Bytes p = read_item(device, item, now);
    return p.size() == 2 ? p[0] + 256U * p[1] : 99999U;
}

unsigned read_u8(Device& device, char item, Micros now) {
    Bytes p = read_item(device, item, now);
    return p.size() == 1 ? p[0] : 99999U;
}

DeviceConfig load_of(double kw) {
    DeviceConfig config;
    config.load_kw = kw;
    return config;
}

TEST(DeviceDefaults, PowerOnReadbacksAreTheDocumentedDefaults) {
    Device device({}, 0us);
    EXPECT_EQ(device.settings(), default_settings);
    EXPECT_EQ(read_u16(device, 'V', 0us), 10U);
    EXPECT_EQ(read_u16(device, 'S', 0us), 10U);
    EXPECT_EQ(read_item(device, 'M', 0us), Bytes{'I'});
    EXPECT_EQ(read_u8(device, 'A', 0us), 5U);
    EXPECT_EQ(read_u16(device, 'K', 0us), 0U);
    // 2 kW of a 10 kW scale: 255 * 0.2 = 51.
    EXPECT_EQ(read_u8(device, 'D', 0us), 51U);
}

TEST(DeviceDefaults, SetDefaultsRestoresEverySetting) {
    Device device({}, 0us);
    for (const Bytes& r :
         {request('V', {0xE8, 0x03}), request('S', {8}), request('M', {2}), request('A', {7})}) {
        ASSERT_EQ(device.handle(r, 1s).outcome, Outcome::applied);
    }
    ASSERT_NE(device.settings(), default_settings);
    EXPECT_EQ(device.handle(request('D'), 2s).outcome, Outcome::applied);
    EXPECT_EQ(device.settings(), default_settings);
}

struct SettingCase {
    const char* name;
    Bytes request;
    char item;
    Bytes readback;
};

class DeviceSetting : public testing::TestWithParam<SettingCase> {};

TEST_P(DeviceSetting, IsTakenAndReadsBack) {
    const SettingCase& c = GetParam();
    Device device({}, 0us);
    Handled h = device.handle(c.request, 1s);
    EXPECT_EQ(h.outcome, Outcome::applied);
    EXPECT_FALSE(h.reply) << "settings are not answered without --ack";
    EXPECT_EQ(read_item(device, c.item, 2s), c.readback);
}

INSTANTIATE_TEST_SUITE_P(
    AllValues, DeviceSetting,
    testing::Values(SettingCase{"pulse_1", request('V', {1, 0}), 'V', {1, 0}},
                    SettingCase{"pulse_1000", request('V', {0xE8, 0x03}), 'V', {0xE8, 0x03}},
                    SettingCase{"pulse_65535", request('V', {0xFF, 0xFF}), 'V', {0xFF, 0xFF}},
                    SettingCase{"scale_1", request('S', {1}), 'S', {1, 0}},
                    SettingCase{"scale_2", request('S', {2}), 'S', {2, 0}},
                    SettingCase{"scale_3", request('S', {3}), 'S', {5, 0}},
                    SettingCase{"scale_4", request('S', {4}), 'S', {10, 0}},
                    SettingCase{"scale_5", request('S', {5}), 'S', {20, 0}},
                    SettingCase{"scale_6", request('S', {6}), 'S', {50, 0}},
                    SettingCase{"scale_7", request('S', {7}), 'S', {100, 0}},
                    SettingCase{"scale_8", request('S', {8}), 'S', {200, 0}},
                    SettingCase{"mode_instant", request('M', {1}), 'M', {'I'}},
                    SettingCase{"mode_average", request('M', {2}), 'M', {'A'}},
                    SettingCase{"interval_1", request('A', {1}), 'A', {1}},
                    SettingCase{"interval_2", request('A', {2}), 'A', {2}},
                    SettingCase{"interval_3", request('A', {3}), 'A', {5}},
                    SettingCase{"interval_4", request('A', {4}), 'A', {10}},
                    SettingCase{"interval_5", request('A', {5}), 'A', {15}},
                    SettingCase{"interval_6", request('A', {6}), 'A', {30}},
                    SettingCase{"interval_7", request('A', {7}), 'A', {60}}),
    [](const auto& info) { return std::string(info.param.name); });

class DeviceOutOfRange : public testing::TestWithParam<Bytes> {};

TEST_P(DeviceOutOfRange, IsIgnored) {
    Device device({}, 0us);
    Handled h = device.handle(GetParam(), 1s);
    EXPECT_EQ(h.outcome, Outcome::out_of_range);
    EXPECT_FALSE(h.reply);
    EXPECT_EQ(device.settings(), default_settings);
}

INSTANTIATE_TEST_SUITE_P(Values, DeviceOutOfRange,
                         testing::Values(request('V', {0, 0}), request('S', {0}), request('S', {9}),
                                         request('S', {0xFF}), request('M', {0}), request('M', {3}),
                                         request('A', {0}), request('A', {8})),
                         [](const auto& info) {
                             return support::case_name(
                                 info.index, std::string(info.param.begin(), info.param.end()));
                         });

struct NoAnswerCase {
    const char* name;
    Bytes request;
    Outcome outcome;
};

class DeviceNoAnswer : public testing::TestWithParam<NoAnswerCase> {};

TEST_P(DeviceNoAnswer, LeavesSettingsAlone) {
    DeviceConfig config;
    config.acknowledge_settings = true; // not even acknowledged
    Device device(config, 0us);
    Handled h = device.handle(GetParam().request, 1s);
    EXPECT_EQ(h.outcome, GetParam().outcome);
    EXPECT_FALSE(h.reply);
    EXPECT_EQ(device.settings(), default_settings);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, DeviceNoAnswer,
    testing::Values(NoAnswerCase{"unknown_X", request('X'), Outcome::unknown_opcode},
                    NoAnswerCase{"lower_case_v", request('v', {5, 0}), Outcome::unknown_opcode},
                    NoAnswerCase{"zero_opcode", request(0), Outcome::unknown_opcode},
                    NoAnswerCase{"pulse_one_byte", request('V', {5}), Outcome::bad_length},
                    NoAnswerCase{"scale_two_bytes", request('S', {1, 0}), Outcome::bad_length},
                    NoAnswerCase{"defaults_with_payload", request('D', {1}), Outcome::bad_length},
                    NoAnswerCase{"readback_no_item", request('R'), Outcome::bad_length},
                    NoAnswerCase{"id_with_payload", request('I', {0}), Outcome::bad_length},
                    NoAnswerCase{"readback_Q", readback_request('Q'), Outcome::unknown_item},
                    NoAnswerCase{"readback_lower_v", readback_request('v'), Outcome::unknown_item}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceReplies, EchoTheOpcodeAndCarryAGoodChecksum) {
    Device device({}, 0us);
    std::vector<Bytes> queries{request('I'), request('C')};
    for (char item : {'V', 'S', 'M', 'D', 'K', 'A'}) {
        queries.push_back(readback_request(item));
    }
    for (const Bytes& q : queries) {
        Handled h = device.handle(q, 1s);
        ASSERT_TRUE(h.reply);
        EXPECT_EQ((*h.reply)[0], q[0]);
        EXPECT_EQ((*h.reply)[1] + 3U, h.reply->size());
        EXPECT_EQ(xor_of(*h.reply), 0);
    }
}

TEST(DeviceReplies, ProductIdAndRevision) {
    Device device({}, 0us);
    EXPECT_EQ(*device.handle(request('I'), 0us).reply,
              (Bytes{0x49, 0x04, 'T', 'L', 'V', '1', 0x32}));
    EXPECT_EQ(*device.handle(request('C'), 0us).reply, (Bytes{0x43, 0x01, 0x0C, 0x4E}));
}

TEST(DeviceReplies, ShortIdIsPaddedWithZerosAndRevisionIsSigned) {
    DeviceConfig config;
    config.product_id = "AB";
    config.revision = -123;
    Device device(config, 0us);
    EXPECT_EQ(*device.handle(request('I'), 0us).reply, make_frame('I', Bytes{'A', 'B', 0, 0}));
    EXPECT_EQ(*device.handle(request('C'), 0us).reply, make_frame('C', Bytes{0x85}));
}

TEST(DeviceAck, AcknowledgesEverySettingItUnderstoodWithAnEmptyFrame) {
    DeviceConfig config;
    config.acknowledge_settings = true;
    Device device(config, 0us);
    for (const Bytes& r : {request('V', {0xE8, 0x03}), request('V', {0, 0}), request('S', {3}),
                           request('M', {2}), request('A', {9}), request('D'), request('T')}) {
        Handled h = device.handle(r, 1s);
        ASSERT_TRUE(h.reply) << r[0];
        EXPECT_EQ(*h.reply, (Bytes{r[0], 0, r[0]}));
    }
}

// Kilowatt-hours are counted from whole pulses, not from the energy itself.
struct KwhCase {
    const char* name;
    double load_kw;
    std::uint16_t pulse_value_wh;
    Micros at;
    unsigned kwh;
};

class DeviceKwh : public testing::TestWithParam<KwhCase> {};

TEST_P(DeviceKwh, CountsWholePulses) {
    const KwhCase& c = GetParam();
    Device device(load_of(c.load_kw), 0us);
    const auto pv = c.pulse_value_wh;
    device.handle(
        request('V', {static_cast<std::uint8_t>(pv & 0xFF), static_cast<std::uint8_t>(pv >> 8)}),
        0us);
    EXPECT_EQ(read_u16(device, 'K', c.at), c.kwh);
}

INSTANTIATE_TEST_SUITE_P(
    Loads, DeviceKwh,
    testing::Values(KwhCase{"two_kw_one_hour", 2.0, 10, 1h, 2},
                    KwhCase{"two_kw_just_short_of_a_kwh", 2.0, 10, 29min + 59s, 0},
                    KwhCase{"two_kw_half_hour", 2.0, 10, 30min, 1},
                    // 2 kWh have flowed, but a 3 kWh pulse has not come yet.
                    KwhCase{"pulse_not_yet_due", 2.0, 3000, 1h, 0},
                    KwhCase{"first_big_pulse", 2.0, 3000, 90min, 3},
                    KwhCase{"no_load", 0.0, 1, 100h, 0}, KwhCase{"fraction_of_a_kw", 0.5, 1, 4h, 2},
                    // 1 000 000 kWh in the 16-bit register: 1000000 - 15 * 65536.
                    KwhCase{"register_rolls_over", 1'000'000.0, 1000, 1h, 16960},
                    // 15259 pulses of 65535 Wh: 999998 kWh.
                    KwhCase{"largest_pulses", 1'000'000.0, 65535, 1h, 16958}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceKwh, CountIsTheSameHoweverTheTimeIsCutUp) {
    for (Micros step : {Micros{1'000}, Micros{999'983}, Micros{60'000'000}}) {
        Device device(load_of(3.3), 0us);
        device.handle(request('V', {7, 0}), 0us);
        for (Micros t = 0us; t < 2h; t += step) {
            device.kwh(t);
        }
        // 3.3 kW for 2 h is 6600 Wh: 942 pulses of 7 Wh make 6594 Wh.
        EXPECT_EQ(device.kwh(2h), 6U) << step.count();
        EXPECT_EQ(device.handle(request('V', {1, 0}), 2h).outcome, Outcome::applied);
        // The 6 Wh that have flowed since the last 7 Wh pulse are not lost when
        // the pulse value changes: 7000 Wh are reached after 400 Wh more, in
        // 436 s, not after 406 Wh in 443 s.
        EXPECT_EQ(device.kwh(2h + 435s), 6U);
        EXPECT_EQ(device.kwh(2h + 440s), 7U);
    }
}

TEST(DeviceKwh, ClockGoingBackDoesNotUndoCounting) {
    Device device(load_of(2.0), 0us);
    EXPECT_EQ(device.kwh(1h), 2U);
    EXPECT_EQ(device.kwh(30min), 2U);
    EXPECT_EQ(device.kwh(90min), 3U);
}

struct DacCase {
    const char* name;
    double load_kw;
    std::uint8_t range;
    unsigned dac;
};

class DeviceInstantDac : public testing::TestWithParam<DacCase> {};

TEST_P(DeviceInstantDac, IsLoadOverFullScale) {
    const DacCase& c = GetParam();
    Device device(load_of(c.load_kw), 0us);
    device.handle(request('S', {c.range}), 0us);
    EXPECT_EQ(read_u8(device, 'D', 1s), c.dac);
}

INSTANTIATE_TEST_SUITE_P(Loads, DeviceInstantDac,
                         testing::Values(DacCase{"no_load", 0.0, 4, 0},
                                         DacCase{"fifth_of_scale", 2.0, 4, 51},
                                         DacCase{"full_scale", 10.0, 4, 255},
                                         DacCase{"over_scale_clamps", 2.0, 1, 255},
                                         DacCase{"rounds_to_nearest", 2.0, 8, 3}, // 2.55
                                         DacCase{"half_rounds_up", 1.0, 4, 26},   // 25.5
                                         DacCase{"huge_load", 1'000'000.0, 8, 255}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceAverageDac, ClimbsOverTheIntervalAfterItIsSet) {
    Device device(load_of(2.0), 0us);
    const Micros set_at = 10min;
    device.handle(request('M', {2}), 0us);
    device.handle(request('A', {1}), set_at); // one minute
    EXPECT_EQ(read_u8(device, 'D', set_at), 0U);
    EXPECT_EQ(read_u8(device, 'D', set_at + 30s), 26U); // half of 51
    EXPECT_EQ(read_u8(device, 'D', set_at + 60s), 51U);
    EXPECT_EQ(read_u8(device, 'D', set_at + 1h), 51U);
    // The instant output needs no time to settle.
    device.handle(request('M', {1}), set_at + 2h);
    device.handle(request('A', {7}), set_at + 2h);
    EXPECT_EQ(read_u8(device, 'D', set_at + 2h), 51U);
    // Switching back to average does not restart the average.
    device.handle(request('M', {2}), set_at + 2h + 30min);
    EXPECT_EQ(read_u8(device, 'D', set_at + 2h + 30min), 26U);
}

TEST(DeviceAverageDac, StartsFromPowerOnAndRestartsOnDefaults) {
    Device device(load_of(2.0), 0us);
    device.handle(request('M', {2}), 0us); // the default interval is 5 minutes
    EXPECT_EQ(read_u8(device, 'D', 150s), 26U);
    device.handle(request('D'), 10min);
    device.handle(request('M', {2}), 10min);
    EXPECT_EQ(read_u8(device, 'D', 10min + 150s), 26U);
}

TEST(DeviceTestMode, DacSweepsTheWholeScaleAndWrapsAround) {
    Device device(load_of(2.0), 0us);
    const Micros t = 5s;
    device.handle(request('T'), t);
    EXPECT_TRUE(device.in_test_mode());
    const std::vector<std::pair<Micros, unsigned>> steps{{t, 0},
                                                         {t + 99ms, 0},
                                                         {t + 100ms, 1},
                                                         {t + 10'050ms, 100},
                                                         {t + 25'500ms, 255},
                                                         {t + 25'600ms, 0},
                                                         {t + 25'700ms, 1}};
    for (auto [at, dac] : steps) {
        EXPECT_EQ(read_u8(device, 'D', at), dac) << at.count();
    }
}

TEST(DeviceTestMode, EndsWithTheNextSettingTakenOnly) {
    Device device(load_of(2.0), 0us);
    device.handle(request('T'), 0us);
    device.handle(request('S', {9}), 1s); // ignored: no end
    EXPECT_EQ(read_u8(device, 'D', 2s), 20U);
    device.handle(request('T'), 2s); // starts the sweep again
    EXPECT_EQ(read_u8(device, 'D', 2s + 500ms), 5U);
    device.handle(request('S', {4}), 3s);
    EXPECT_FALSE(device.in_test_mode());
    EXPECT_EQ(read_u8(device, 'D', 4s), 51U);
    device.handle(request('T'), 5s);
    device.handle(request('D'), 6s);
    EXPECT_EQ(read_u8(device, 'D', 7s), 51U);
}

TEST(DeviceTestMode, LeavesSettingsAndCountingAlone) {
    Device device(load_of(2.0), 0us);
    device.handle(request('T'), 0us);
    EXPECT_EQ(device.settings(), default_settings);
    EXPECT_EQ(read_u16(device, 'K', 1h), 2U);
}

} // namespace
