#include "sim/line.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace tolvaner::sim {

namespace {

std::vector<Micros> gaps_between(const std::vector<Micros>& arrivals) {
    std::vector<Micros> gaps;
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        gaps.push_back(arrivals[i] - arrivals[i - 1]);
    }
    return gaps;
}

} // namespace

Line::Line(DeviceConfig config, Fault fault, Micros start)
    : device_(std::move(config), start), fault_(fault) {}

void Line::receive(std::span<const std::uint8_t> bytes, Micros now) {
    for (std::uint8_t b : bytes) {
        tick(now);
        partial_.push_back(b);
        arrivals_.push_back(now);
        if (partial_.size() >= 2 && partial_.size() == partial_[1] + 3U) {
            finish_request();
        }
    }
}

void Line::tick(Micros now) {
    if (!partial_.empty() && now - arrivals_.back() > request_pause_limit) {
        drop_partial(now);
    }
}

std::optional<Micros> Line::next_deadline() const {
    std::optional<Micros> next;
    if (!partial_.empty()) {
        // The first moment at which the pause is longer than the limit.
        next = arrivals_.back() + request_pause_limit + Micros{1};
    }
    if (!pending_.empty() && (!next || pending_.front().at < *next)) {
        next = pending_.front().at;
    }
    return next;
}

Bytes Line::take_due(Micros now) {
    Bytes out;
    while (!pending_.empty() && pending_.front().at <= now) {
        Transmission& t = pending_.front();
        out.insert(out.end(), t.bytes.begin(), t.bytes.end());
        trace_.push_back(
            {TraceEvent::Direction::tx, now, std::move(t.bytes), {}, std::move(t.note)});
        pending_.pop_front();
    }
    return out;
}

std::vector<TraceEvent> Line::take_trace() { return std::exchange(trace_, {}); }

void Line::drop_partial(Micros now) {
    const double pause_ms = static_cast<double>((now - arrivals_.back()).count()) / 1000.0;
    char note[64];
    std::snprintf(note, sizeof note, "incomplete, dropped after a pause of %.1f ms", pause_ms);
    trace_.push_back(
        {TraceEvent::Direction::rx, now, std::move(partial_), gaps_between(arrivals_), note});
    partial_.clear();
    arrivals_.clear();
}

void Line::schedule(Micros at, Bytes bytes, std::string note) {
    // Answers of one run all wait the same time, but keep the queue in order
    // whatever comes.
    auto later = std::upper_bound(pending_.begin(), pending_.end(), at,
                                  [](Micros t, const Transmission& p) { return t < p.at; });
    pending_.insert(later, Transmission{at, std::move(bytes), std::move(note)});
}

void Line::finish_request() {
    const Micros now = arrivals_.back();
    Bytes request = std::exchange(partial_, {});
    std::vector<Micros> gaps = gaps_between(arrivals_);
    arrivals_.clear();

    if (xor_of(request) != 0) {
        trace_.push_back(
            {TraceEvent::Direction::rx, now, std::move(request), std::move(gaps), "bad checksum"});
        return;
    }
    Handled handled = device_.handle(request, now);
    std::string note = describe(handled.outcome);
    if (handled.reply && fault_ == Fault::silent) {
        note += note.empty() ? "" : "; ";
        note += "not answered (fault silent)";
    }
    trace_.push_back(
        {TraceEvent::Direction::rx, now, std::move(request), std::move(gaps), std::move(note)});
    if (!handled.reply) {
        return;
    }

    Bytes reply = std::move(*handled.reply);
    switch (fault_) {
    case Fault::none:
        schedule(now, std::move(reply), "");
        break;
    case Fault::silent:
        break;
    case Fault::corrupt:
        reply.back() ^= 0x01;
        schedule(now, std::move(reply), "checksum corrupted");
        break;
    case Fault::truncate:
        reply.resize(std::min<std::size_t>(reply.size(), 3));
        schedule(now, std::move(reply), "cut short");
        break;
    case Fault::late:
        schedule(now + late_delay, std::move(reply), "late");
        break;
    case Fault::noise:
        schedule(now, Bytes{stray_byte}, "stray byte");
        schedule(now, std::move(reply), "");
        break;
    }
}

} // namespace tolvaner::sim
