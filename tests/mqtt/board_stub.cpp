// A stand-in for the sampler's board (service/meter_board.h) where the
// sampler's own is not in the tree. It keeps no history: the MQTT publisher
// reads only the meters' states.
#include "service/meter_board.h"

void board_init(MeterBoard& board, int meter_count) {
    std::lock_guard<std::mutex> hold(board.lock);
    board.meter_count = meter_count;
    for (MeterState& meter : board.meters) {
        meter = MeterState{};
    }
}

void board_publish(MeterBoard& board, int meter, const MeterState& state, const HistoryPoint*) {
    std::lock_guard<std::mutex> hold(board.lock);
    const std::uint64_t version = board.meters[meter].version + 1;
    board.meters[meter] = state;
    board.meters[meter].version = version;
}

void board_copy(MeterBoard& board, int meter, MeterState& out) {
    std::lock_guard<std::mutex> hold(board.lock);
    out = board.meters[meter];
}
