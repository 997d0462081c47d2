// The board: what is published is what is copied, the history ring keeps
// its bound and its hour, and nothing outside the meters it holds is touched.
#include "board/meter_board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::int64_t t0 = 1'765'000'000'000; // some moment, in Unix ms
constexpr std::int64_t hour = 3'600'000;

std::unique_ptr<MeterBoard> board_of(int meters) {
    auto board = std::make_unique<MeterBoard>();
    board_init(*board, meters);
    return board;
}

HistoryPoint point(std::int64_t ms, std::int32_t dac = 1) { return {ms, true, dac, 2}; }

std::vector<std::int64_t> history_times(MeterBoard& board, int meter, std::int64_t since) {
    std::vector<HistoryPoint> out(board_history_capacity + 1);
    const int n = board_copy_history(board, meter, since, out.data(), static_cast<int>(out.size()));
    std::vector<std::int64_t> times;
    for (int i = 0; i < n; ++i) {
        times.push_back(out[static_cast<std::size_t>(i)].ms);
    }
    return times;
}

TEST(MeterBoard, CopiesWhatWasPublishedAndCountsVersions) {
    auto board = board_of(2);
    MeterState state{};
    std::strcpy(state.label, "A10K1234");
    state.status = MeterStatus::up;
    state.items[6] = {true, 163, "", 0};
    state.version = 99; // the board's count wins
    board_publish(*board, 1, state, nullptr);
    board_publish(*board, 1, state, nullptr);

    MeterState copy{};
    board_copy(*board, 1, copy);
    EXPECT_STREQ(copy.label, "A10K1234");
    EXPECT_EQ(copy.status, MeterStatus::up);
    EXPECT_EQ(copy.items[6].number, 163);
    EXPECT_EQ(copy.version, 2u);

    MeterState all[board_max_meters];
    ASSERT_EQ(board_copy_all(*board, all, board_max_meters), 2);
    EXPECT_EQ(all[0].version, 0u);
    EXPECT_STREQ(all[1].label, "A10K1234");
    EXPECT_EQ(board_copy_all(*board, all, 1), 1);
}

TEST(MeterBoard, MetersOutsideTheBoardAreLeftAlone) {
    auto board = board_of(board_max_meters + 5);
    EXPECT_EQ(board->meter_count, board_max_meters);
    board = board_of(1);
    MeterState state{};
    state.status = MeterStatus::up;
    const HistoryPoint p = point(t0);
    for (int meter : {-1, 1, board_max_meters}) {
        board_publish(*board, meter, state, &p);
        MeterState copy{};
        copy.status = MeterStatus::up;
        board_copy(*board, meter, copy);
        EXPECT_EQ(copy.status, MeterStatus::starting) << meter;
        EXPECT_TRUE(history_times(*board, meter, 0).empty()) << meter;
    }
    EXPECT_EQ(history_times(*board, 0, 0).size(), 0u);
}

// Each row publishes points at `step` ms apart and expects the ring to keep
// the last `kept`: bounded by its capacity, and by the hour.
struct RingRow {
    const char* what;
    int published;
    std::int64_t step;
    int kept;
};

class HistoryRing : public testing::TestWithParam<RingRow> {};

TEST_P(HistoryRing, KeepsTheNewestWithinItsBounds) {
    const RingRow& row = GetParam();
    auto board = board_of(1);
    MeterState state{};
    for (int i = 0; i < row.published; ++i) {
        const HistoryPoint p = point(t0 + i * row.step, i % 256);
        board_publish(*board, 0, state, &p);
    }
    const std::vector<std::int64_t> times = history_times(*board, 0, 0);
    ASSERT_EQ(static_cast<int>(times.size()), row.kept);
    EXPECT_EQ(times.back(), t0 + (row.published - 1) * row.step);
    EXPECT_EQ(times.front(), t0 + (row.published - row.kept) * row.step);
    for (std::size_t i = 1; i < times.size(); ++i) {
        ASSERT_LT(times[i - 1], times[i]); // oldest first, across the ring's wrap
    }
}

INSTANTIATE_TEST_SUITE_P(
    MeterBoard, HistoryRing,
    testing::Values(RingRow{"few", 10, 1000, 10},
                    RingRow{"exactly_full", board_history_capacity, 1000, board_history_capacity},
                    RingRow{"wrapped_twice", 2 * board_history_capacity + 7, 1000,
                            board_history_capacity},
                    // A fast period: the ring is full long before the hour.
                    RingRow{"fast", board_history_capacity + 100, 100, board_history_capacity},
                    // A slow period: the hour drops points before the ring is full.
                    RingRow{"slow", 200, 60'000, 61}, RingRow{"gap", 2, hour + 1, 1}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(MeterBoard, HistorySinceAMomentAndAtMostTheCapacityAsked) {
    auto board = board_of(1);
    MeterState state{};
    for (int i = 0; i < 10; ++i) {
        const HistoryPoint p = point(t0 + i * 1000);
        board_publish(*board, 0, state, &p);
    }
    EXPECT_EQ(history_times(*board, 0, t0 + 7000),
              (std::vector<std::int64_t>{t0 + 7000, t0 + 8000, t0 + 9000}));
    EXPECT_TRUE(history_times(*board, 0, t0 + 9001).empty());
    HistoryPoint out[3];
    ASSERT_EQ(board_copy_history(*board, 0, 0, out, 3), 3);
    EXPECT_EQ(out[2].ms, t0 + 2000);
    // Publishing without a point leaves the history as it was.
    board_publish(*board, 0, state, nullptr);
    EXPECT_EQ(history_times(*board, 0, 0).size(), 10u);
}

} // namespace
