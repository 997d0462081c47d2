// The simulated metering device: its settings, its live values and its answers
// to whole requests. No terminal and no clock of its own: the caller says what
// time it is, so the model can be driven through hours in a unit test.
#pragma once

#include "sim/frame.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tolvaner::sim {

// Time since the simulator started.
using Micros = std::chrono::microseconds;

constexpr std::uint8_t mode_instant = 1;
constexpr std::uint8_t mode_average = 2;

struct Settings {
    std::uint16_t pulse_value_wh;  // watt-hours per input pulse, 1 to 65535
    std::uint8_t full_scale_range; // 1 to 8, see full_scale_kw_by_range
    std::uint8_t output_mode;      // mode_instant or mode_average
    std::uint8_t average_interval; // 1 to 7, see interval_minutes_by_number
    friend bool operator==(const Settings&, const Settings&) = default;
};

// What the device holds after power-on and after a set-defaults request.
constexpr Settings default_settings{10, 4, mode_instant, 3};

// A 1-2-5 series, so that every range number selects a round meter scale.
constexpr std::array<std::uint16_t, 8> full_scale_kw_by_range{1, 2, 5, 10, 20, 50, 100, 200};
constexpr std::array<std::uint8_t, 7> interval_minutes_by_number{1, 2, 5, 10, 15, 30, 60};

// In test mode the DAC output steps up by one this often, 0 to 255 and round
// again, so that a meter on the output visibly sweeps its whole scale.
constexpr Micros test_sweep_step{100'000};

// How the output mode reads back: one character.
constexpr char mode_character(std::uint8_t mode) { return mode == mode_average ? 'A' : 'I'; }

struct DeviceConfig {
    std::string product_id = "TLV1"; // 1 to 4 printable characters
    std::int8_t revision = 12;
    double load_kw = 2.0; // the steady load behind the pulse input, kept to the watt
    bool acknowledge_settings = false;
};

enum class Outcome {
    answered,       // a query, with its reply
    applied,        // a setting the device took
    out_of_range,   // a setting whose value the device ignores
    unknown_opcode, // no such request: no answer
    bad_length,     // a known request with the wrong payload length: no answer
    unknown_item,   // a readback of something the device does not have: no answer
};

// A few words for the trace; empty for the ordinary outcomes.
const char* describe(Outcome outcome);

struct Handled {
    Outcome outcome;
    std::optional<Bytes> reply;
};

class Device {
  public:
    Device(DeviceConfig config, Micros power_on);

    // Carries out one whole request whose checksum has been found good.
    Handled handle(std::span<const std::uint8_t> request, Micros now);

    const Settings& settings() const { return settings_; }
    const DeviceConfig& config() const { return config_; }
    bool in_test_mode() const { return test_started_.has_value(); }
    std::uint16_t full_scale_kw() const;
    std::uint8_t interval_minutes() const;

    // Live values at `now`. Time only moves forward: an earlier `now` than
    // one already seen counts as that one.
    std::uint8_t dac(Micros now);
    std::uint16_t kwh(Micros now);
    // The power the output follows: instant or averaged over the interval.
    double output_power_w(Micros now);

  private:
    void advance(Micros now);
    Outcome apply_setting(std::uint8_t opcode, std::span<const std::uint8_t> payload, Micros now);
    std::optional<Bytes> readback(std::uint8_t item, Micros now);

    DeviceConfig config_;
    Settings settings_ = default_settings;
    std::uint64_t load_w_;
    Micros counted_until_;
    // Energy that has flowed since the last pulse, in watt-microseconds, so
    // that pulses are counted exactly however the time is cut up.
    std::uint64_t energy_since_pulse_ = 0;
    std::uint64_t counted_wh_ = 0;
    Micros average_from_;
    std::optional<Micros> test_started_;
};

} // namespace tolvaner::sim
