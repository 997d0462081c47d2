#include "service/sampler.h"

#include "system/text_escape.h"

#include "ports/port_record.h"
#include "ports/port_selector.h"
#include "protocol/device_items.h"
#include "protocol/device_messages.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// The identity and the settings change only when someone sets them on the
// meter or it is replaced: read again this often, and whenever the port
// comes back.
constexpr std::uint32_t settings_every_ms = 60000;
// How often a port that is gone or held is looked for again.
constexpr std::uint32_t look_again_ms = 1000;

constexpr int dac_index = 6;
constexpr int kwh_index = 7;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Waits `ms` or until the run stops; true when it stops.
bool wait_or_stop(SamplerShared& shared, std::uint32_t ms) {
    std::unique_lock<std::mutex> hold(shared.lock);
    return shared.wake.wait_for(hold, std::chrono::milliseconds(ms),
                                [&shared] { return shared.stopping.load(); });
}

// Says a change of the meter's state once on standard error: lost and why,
// held, silent, back. Polls that stay in the same state say nothing more.
void say(Sampler& s, MeterStatus status, const char* cause) {
    if (status == s.said) {
        return;
    }
    const MeterStatus before = s.said;
    s.said = status;
    copy_text(s.said_cause, cause);
    switch (status) {
    case MeterStatus::port_lost:
        std::fprintf(stderr, "tolvaner: %s: lost (%s); looking for it once a second\n", s.given,
                     cause);
        break;
    case MeterStatus::port_held:
        std::fprintf(stderr, "tolvaner: %s: %s; waiting for it\n", s.given, cause);
        break;
    case MeterStatus::no_reply:
        std::fprintf(stderr, "tolvaner: %s: no good reply (%s)\n", s.given, cause);
        break;
    case MeterStatus::up:
        if (before == MeterStatus::port_lost || before == MeterStatus::port_held) {
            std::fprintf(stderr, "tolvaner: %s: back, on %s\n", s.given, s.state.port);
        } else if (before == MeterStatus::no_reply) {
            std::fprintf(stderr, "tolvaner: %s: answers again\n", s.given);
        }
        break;
    case MeterStatus::starting:
        break;
    }
}

void publish(Sampler& s, bool polled) {
    HistoryPoint point{};
    if (polled) {
        point.ms = s.state.polled_ms;
        point.good = s.state.status == MeterStatus::up;
        point.dac_value = s.state.items[dac_index].number;
        point.kwh_value = s.state.items[kwh_index].number;
    }
    board_publish(*s.shared->board, s.meter, s.state, polled ? &point : nullptr);
}

struct SerialLookup {
    const char* name;
    char* serial;
    std::size_t capacity;
};

void note_serial(const PortRecord& port, void* context) {
    auto& lookup = *static_cast<SerialLookup*>(context);
    if (std::strcmp(port.name, lookup.name) == 0 && port.usb) {
        std::snprintf(lookup.serial, lookup.capacity, "%s", port.serial);
    }
}

// The port's name now: the name given, or what the usb: selector names
// today. False, with why in `cause`, when the selector names no port or
// several.
bool port_name_now(Sampler& s, char (&name)[300], char (&cause)[160]) {
    if (!is_usb_selector(s.given)) {
        copy_text(name, s.given);
        return true;
    }
    switch (resolve_usb_selector(s.shared->list_root, s.given, name, sizeof name, nullptr)) {
    case SelectorResult::found:
        return true;
    case SelectorResult::malformed:
    case SelectorResult::none:
        copy_text(cause, "no serial port has this USB identity");
        return false;
    case SelectorResult::several:
        copy_text(cause, "several ports have this USB identity");
        return false;
    }
    return false;
}

// Opens the port; on failure says why (once) and publishes the meter as lost
// or held.
bool open_port_again(Sampler& s) {
    char name[300];
    char cause[160] = "";
    bool found = port_name_now(s, name, cause);
    if (found && link_open(s.link, name) != PortOpenResult::ok) {
        std::snprintf(cause, sizeof cause, "%s", link_failure_text(s.link));
        found = false;
    }
    if (!found) {
        // Another program's session is waited for, never broken into.
        s.state.status = std::strstr(cause, "held by") != nullptr ? MeterStatus::port_held
                                                                  : MeterStatus::port_lost;
        copy_text(s.state.cause, cause);
        say(s, s.state.status, cause);
        publish(s, false);
        return false;
    }
    use_fast_exchange(s.link, true);
    if (s.state.port[0] != '\0' && s.said != MeterStatus::starting) {
        ++s.state.reconnects_total;
    }
    copy_text(s.state.port, name);
    if (s.state.label[0] == '\0') {
        // The meter keeps one name in every front end for the whole run: its
        // USB serial number where it has one, else its port.
        SerialLookup lookup{name, s.state.serial, sizeof s.state.serial};
        list_serial_ports(s.shared->list_root, note_serial, &lookup);
        copy_text(s.state.label, s.state.serial[0] != '\0' ? s.state.serial : s.given);
    }
    s.open = true;
    s.settings_due = true; // read everything first
    s.next_setting = 0;
    s.polls_since_settings = 0;
    return true;
}

// Reads the items from `first` to `last`; the worst outcome of them.
FrameResult read_items(Sampler& s, int first, int last) {
    FrameResult worst = frame_good;
    for (int i = first; i <= last && !s.shared->stopping.load(); ++i) {
        const DeviceItem& item = device_items[i];
        ItemValue& value = s.state.items[i];
        const FrameResult result = query_item(s.link, item);
        if (result == frame_port_failed || result == frame_signalled) {
            return result;
        }
        value.good = result == frame_good;
        if (!value.good) {
            worst = frame_fault;
            copy_text(s.state.cause, last_read_words(s.link));
            continue;
        }
        value.text_length = 0;
        if (item.decode == ItemDecode::text) {
            value.text_length = reply_text_length(s.link);
            std::memcpy(value.text, reply_text(s.link),
                        static_cast<std::size_t>(value.text_length));
        } else {
            value.number = item_value(s.link, item);
            if (item.decode == ItemDecode::character) {
                value.text[0] = static_cast<char>(value.number);
                value.text_length = 1;
            }
        }
        value.text[value.text_length] = '\0';
    }
    return worst;
}

void poll(Sampler& s) {
    s.state.cause[0] = '\0';
    FrameResult result = frame_good;
    // Each of the six is read again about once a minute, one at a time.
    const std::uint32_t spacing = settings_every_ms / s.shared->period_ms / dac_index;
    if (s.settings_due) {
        result = read_items(s, 0, dac_index - 1);
        // Read again at the next poll until all of them came well, so that a
        // meter silent at the start shows its settings once it answers.
        s.settings_due = result != frame_good;
    } else if (++s.polls_since_settings >= spacing) {
        s.polls_since_settings = 0;
        result = read_items(s, s.next_setting, s.next_setting);
        s.next_setting = (s.next_setting + 1) % dac_index;
    }
    if (result != frame_port_failed && result != frame_signalled) {
        const FrameResult live = read_items(s, dac_index, kwh_index);
        if (live != frame_good) {
            result = live;
        }
    }
    if (result == frame_signalled || s.shared->stopping.load()) {
        return;
    }
    s.state.polled_ms = now_ms();
    ++s.state.reads_total;
    if (result == frame_port_failed) {
        ++s.state.read_errors_total;
        copy_text(s.state.cause, link_failure_text(s.link));
        link_close(s.link);
        s.open = false;
        s.state.status = MeterStatus::port_lost;
    } else if (result == frame_fault) {
        ++s.state.read_errors_total;
        s.state.status = MeterStatus::no_reply;
    } else {
        s.state.status = MeterStatus::up;
        s.state.good_ms = s.state.polled_ms;
    }
    say(s, s.state.status, s.state.cause);
    publish(s, true);
}

void run(Sampler& s) {
    SamplerShared& shared = *s.shared;
    std::uint64_t due = 0; // polls since the start, by the clock
    const auto start = std::chrono::steady_clock::now();
    while (!shared.stopping.load()) {
        if (!s.open && !open_port_again(s)) {
            if (wait_or_stop(shared, look_again_ms)) {
                break;
            }
            continue;
        }
        poll(s);
        if (!s.open) {
            continue; // lost: looked for again at once, then once a second
        }
        // Polls keep to their times from the start; one that ran long is
        // followed at once by the next.
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        due = static_cast<std::uint64_t>(elapsed) / shared.period_ms + 1;
        const auto wait = static_cast<std::int64_t>(due * shared.period_ms) - elapsed;
        if (wait > 0 && wait_or_stop(shared, static_cast<std::uint32_t>(wait))) {
            break;
        }
    }
    link_close(s.link);
}

} // namespace

void sampler_start(Sampler& sampler, SamplerShared& shared, int meter, const char* given) {
    sampler.shared = &shared;
    sampler.meter = meter;
    sampler.given = given;
    sampler.open = false;
    sampler.said = MeterStatus::starting;
    sampler.said_cause[0] = '\0';
    sampler.state = MeterState{};
    copy_text(sampler.state.given, given);
    sampler.state.status = MeterStatus::starting;
    board_publish(*shared.board, meter, sampler.state, nullptr);
    sampler.thread = std::thread([&sampler] { run(sampler); });
}

void samplers_stop(SamplerShared& shared) {
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.stopping.store(true);
    }
    shared.wake.notify_all();
}

void sampler_join(Sampler& sampler) {
    if (sampler.thread.joinable()) {
        sampler.thread.join();
    }
}
