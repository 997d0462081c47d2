// Judging the byte gap from what a receiver saw.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace support {

// A receiver sees a byte late now and then (its own wake-up, a terminal's
// hand-off, Wine's server, a busy machine). That lengthens the gap before the
// byte and shortens the one after, but leaves the typical gap alone. So the
// median gap must hold the full pause, and only a few gaps may fall more than
// 5 ms short of it. A missing or shortened pause fails both.
inline testing::AssertionResult paced(const std::vector<double>& gaps, double pause_ms = 50.0) {
    if (gaps.empty()) {
        return testing::AssertionFailure() << "no gaps to judge";
    }
    std::vector<double> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const auto short_ones =
        std::count_if(gaps.begin(), gaps.end(), [&](double g) { return g < pause_ms - 5.0; });
    if (median < pause_ms - 1.0 || short_ones * 5 > static_cast<long>(gaps.size())) {
        testing::AssertionResult failure = testing::AssertionFailure();
        failure << "median gap " << median << " ms, " << short_ones << " of " << gaps.size()
                << " gaps under " << pause_ms - 5.0 << " ms:";
        for (double g : gaps) {
            failure << ' ' << g;
        }
        return failure;
    }
    return testing::AssertionSuccess();
}

} // namespace support
