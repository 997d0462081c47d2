// The Wine tests run as one CTest test (one prefix for all). A run in which any
// test was skipped exits with 77, which CTest reports as skipped, so that a
// machine without Wine never shows these tests as passed.
#include "tests/wine/wine_prefix.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new wine::Prefix);
    int status = RUN_ALL_TESTS();
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    if (status == 0 && unit.skipped_test_count() > 0) {
        std::printf("%d Wine test(s) skipped: %s\n", unit.skipped_test_count(),
                    wine::skip_reason().empty() ? "see above" : wine::skip_reason().c_str());
        return 77;
    }
    return status;
}
