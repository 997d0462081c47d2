#include "board/meter_board.h"

namespace {

constexpr std::int64_t history_span_ms = 3600 * 1000;

bool in_range(const MeterBoard& board, int meter) {
    return meter >= 0 && meter < board.meter_count;
}

const HistoryPoint& oldest(const MeterHistory& history) { return history.points[history.first]; }

void drop_oldest(MeterHistory& history) {
    history.first = (history.first + 1) % board_history_capacity;
    --history.count;
}

void append(MeterHistory& history, const HistoryPoint& point) {
    if (history.count == board_history_capacity) {
        drop_oldest(history);
    }
    history.points[(history.first + history.count) % board_history_capacity] = point;
    ++history.count;
    while (history.count > 0 && oldest(history).ms < point.ms - history_span_ms) {
        drop_oldest(history);
    }
}

} // namespace

void board_init(MeterBoard& board, int meter_count) {
    const std::lock_guard<std::mutex> hold(board.lock);
    board.meter_count = meter_count < 0                  ? 0
                        : meter_count > board_max_meters ? board_max_meters
                                                         : meter_count;
    for (int i = 0; i < board_max_meters; ++i) {
        board.meters[i] = MeterState{};
        board.history[i].first = 0;
        board.history[i].count = 0;
    }
}

void board_publish(MeterBoard& board, int meter, const MeterState& state,
                   const HistoryPoint* point) {
    const std::lock_guard<std::mutex> hold(board.lock);
    if (!in_range(board, meter)) {
        return;
    }
    const std::uint64_t version = board.meters[meter].version;
    board.meters[meter] = state;
    board.meters[meter].version = version + 1;
    if (point != nullptr) {
        append(board.history[meter], *point);
    }
}

void board_copy(MeterBoard& board, int meter, MeterState& out) {
    const std::lock_guard<std::mutex> hold(board.lock);
    out = in_range(board, meter) ? board.meters[meter] : MeterState{};
}

int board_copy_all(MeterBoard& board, MeterState* out, int capacity) {
    const std::lock_guard<std::mutex> hold(board.lock);
    const int count = board.meter_count < capacity ? board.meter_count : capacity;
    for (int i = 0; i < count; ++i) {
        out[i] = board.meters[i];
    }
    return count;
}

int board_copy_history(MeterBoard& board, int meter, std::int64_t since_ms, HistoryPoint* out,
                       int capacity) {
    const std::lock_guard<std::mutex> hold(board.lock);
    if (!in_range(board, meter)) {
        return 0;
    }
    const MeterHistory& history = board.history[meter];
    int copied = 0;
    for (int i = 0; i < history.count && copied < capacity; ++i) {
        const HistoryPoint& p = history.points[(history.first + i) % board_history_capacity];
        if (p.ms >= since_ms) {
            out[copied++] = p;
        }
    }
    return copied;
}
