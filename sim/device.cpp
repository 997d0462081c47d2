#include "sim/device.h"

#include <algorithm>
#include <cmath>

namespace tolvaner::sim {

namespace {

// One watt-hour in watt-microseconds.
constexpr std::uint64_t wh = 3'600'000'000ULL;
// Pulses are counted at most an hour at a time, so that load times time stays
// far inside 64 bits even at the largest load the command line admits.
constexpr Micros longest_step{3'600'000'000LL};

bool is_setting(std::uint8_t opcode) {
    switch (opcode) {
    case 'V':
    case 'S':
    case 'M':
    case 'A':
    case 'D':
    case 'T':
        return true;
    default:
        return false;
    }
}

std::size_t payload_length_of(std::uint8_t opcode) {
    switch (opcode) {
    case 'V':
        return 2;
    case 'S':
    case 'M':
    case 'A':
    case 'R':
        return 1;
    default:
        return 0;
    }
}

bool is_known(std::uint8_t opcode) {
    return is_setting(opcode) || opcode == 'I' || opcode == 'C' || opcode == 'R';
}

Bytes u16_payload(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

} // namespace

const char* describe(Outcome outcome) {
    switch (outcome) {
    case Outcome::answered:
    case Outcome::applied:
        return "";
    case Outcome::out_of_range:
        return "value out of range, ignored";
    case Outcome::unknown_opcode:
        return "unknown opcode";
    case Outcome::bad_length:
        return "wrong length for this opcode";
    case Outcome::unknown_item:
        return "unknown readback item";
    }
    return "";
}

Device::Device(DeviceConfig config, Micros power_on)
    : config_(std::move(config)),
      load_w_(static_cast<std::uint64_t>(std::llround(std::max(0.0, config_.load_kw) * 1000.0))),
      counted_until_(power_on), average_from_(power_on) {}

std::uint16_t Device::full_scale_kw() const {
    return full_scale_kw_by_range.at(settings_.full_scale_range - 1U);
}

std::uint8_t Device::interval_minutes() const {
    return interval_minutes_by_number.at(settings_.average_interval - 1U);
}

void Device::advance(Micros now) {
    while (now > counted_until_) {
        Micros step = std::min(now - counted_until_, longest_step);
        energy_since_pulse_ += load_w_ * static_cast<std::uint64_t>(step.count());
        const std::uint64_t per_pulse = settings_.pulse_value_wh * wh;
        const std::uint64_t pulses = energy_since_pulse_ / per_pulse;
        energy_since_pulse_ -= pulses * per_pulse;
        counted_wh_ += pulses * settings_.pulse_value_wh;
        counted_until_ += step;
    }
}

std::uint16_t Device::kwh(Micros now) {
    advance(now);
    // The register is 16 bits wide and rolls over like a meter's.
    return static_cast<std::uint16_t>((counted_wh_ / 1000) % 65536);
}

double Device::output_power_w(Micros now) {
    advance(now);
    const auto load = static_cast<double>(load_w_);
    if (settings_.output_mode != mode_average) {
        return load;
    }
    // The load is steady, but the time before power-on (or before the interval
    // was last set) counts as no load: the average climbs over one interval.
    const Micros window = std::chrono::minutes(interval_minutes());
    const Micros covered = std::min(std::max(counted_until_ - average_from_, Micros{0}), window);
    return load * static_cast<double>(covered.count()) / static_cast<double>(window.count());
}

std::uint8_t Device::dac(Micros now) {
    advance(now);
    if (test_started_) {
        const auto steps = (counted_until_ - *test_started_) / test_sweep_step;
        return static_cast<std::uint8_t>(steps % 256);
    }
    const double full_scale_w = full_scale_kw() * 1000.0;
    const double level = std::round(255.0 * output_power_w(now) / full_scale_w);
    return static_cast<std::uint8_t>(std::clamp(level, 0.0, 255.0));
}

Outcome Device::apply_setting(std::uint8_t opcode, std::span<const std::uint8_t> payload,
                              Micros now) {
    Settings next = settings_;
    bool restart_average = false;
    switch (opcode) {
    case 'V': {
        const auto value = static_cast<std::uint16_t>(payload[0] | (payload[1] << 8));
        if (value == 0) {
            return Outcome::out_of_range;
        }
        next.pulse_value_wh = value;
        break;
    }
    case 'S':
        if (payload[0] < 1 || payload[0] > full_scale_kw_by_range.size()) {
            return Outcome::out_of_range;
        }
        next.full_scale_range = payload[0];
        break;
    case 'M':
        if (payload[0] != mode_instant && payload[0] != mode_average) {
            return Outcome::out_of_range;
        }
        next.output_mode = payload[0];
        break;
    case 'A':
        if (payload[0] < 1 || payload[0] > interval_minutes_by_number.size()) {
            return Outcome::out_of_range;
        }
        next.average_interval = payload[0];
        restart_average = true;
        break;
    case 'D':
        next = default_settings;
        restart_average = true;
        break;
    case 'T':
        // A second test-mode request starts the sweep again from 0.
        test_started_ = now;
        return Outcome::applied;
    default:
        return Outcome::unknown_opcode;
    }
    settings_ = next;
    if (restart_average) {
        average_from_ = counted_until_;
    }
    // Any setting the device takes ends test mode.
    test_started_.reset();
    return Outcome::applied;
}

std::optional<Bytes> Device::readback(std::uint8_t item, Micros now) {
    Bytes payload;
    switch (item) {
    case 'V':
        payload = u16_payload(settings_.pulse_value_wh);
        break;
    case 'S':
        payload = u16_payload(full_scale_kw());
        break;
    case 'M':
        payload = {static_cast<std::uint8_t>(mode_character(settings_.output_mode))};
        break;
    case 'D':
        payload = {dac(now)};
        break;
    case 'K':
        payload = u16_payload(kwh(now));
        break;
    case 'A':
        payload = {interval_minutes()};
        break;
    default:
        return std::nullopt;
    }
    return make_frame('R', payload);
}

Handled Device::handle(std::span<const std::uint8_t> request, Micros now) {
    advance(now);
    const std::uint8_t opcode = request[0];
    const std::span<const std::uint8_t> payload = request.subspan(2, request[1]);
    if (!is_known(opcode)) {
        return {Outcome::unknown_opcode, std::nullopt};
    }
    if (payload.size() != payload_length_of(opcode)) {
        return {Outcome::bad_length, std::nullopt};
    }
    if (is_setting(opcode)) {
        const Outcome outcome = apply_setting(opcode, payload, now);
        // A device that acknowledges settings acknowledges every one it
        // understood, taken or not: the acknowledgement says "heard", no more.
        if (config_.acknowledge_settings) {
            return {outcome, make_frame(opcode, {})};
        }
        return {outcome, std::nullopt};
    }
    switch (opcode) {
    case 'I': {
        // Always four bytes: a shorter ID is padded with zeros, where the
        // console stops reading it.
        Bytes id(4, 0);
        std::copy_n(config_.product_id.begin(), std::min<std::size_t>(4, config_.product_id.size()),
                    id.begin());
        return {Outcome::answered, make_frame(opcode, id)};
    }
    case 'C': {
        const Bytes rev{static_cast<std::uint8_t>(config_.revision)};
        return {Outcome::answered, make_frame(opcode, rev)};
    }
    default: {
        auto reply = readback(payload[0], now);
        if (!reply) {
            return {Outcome::unknown_item, std::nullopt};
        }
        return {Outcome::answered, std::move(reply)};
    }
    }
}

} // namespace tolvaner::sim
