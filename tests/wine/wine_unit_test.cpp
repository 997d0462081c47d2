// The portable unit tests and corpus replays built for Windows, run under Wine:
// a difference of integer widths, printf formats or the C library between the
// platforms fails here. They are built beside tolvaner.exe (tests/windows).
#include "tests/wine/wine_prefix.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class WinePortable : public wine::WineTest {};

TEST_F(WinePortable, UnitTestsAndReplaysPass) {
    const std::filesystem::path dir =
        std::filesystem::path(TOLVANER_WINDOWS_EXE).parent_path() / "tests" / "windows";
    const std::string corpus = TOLVANER_CORPUS;
    struct {
        const char* exe;
        std::vector<std::string> args;
    } cases[] = {{"unit_tests.exe", {}},
                 {"reply_replay.exe", {wine::windows_path(corpus + "/reply")}},
                 {"input_replay.exe", {wine::windows_path(corpus + "/input")}}};
    for (const auto& c : cases) {
        const std::string exe = (dir / c.exe).string();
        if (!std::filesystem::exists(exe)) {
            GTEST_SKIP() << exe << " is not built (Debian package googletest)";
        }
        e2e::Session s(wine::windows_command(exe, c.args));
        s.close_input();
        ASSERT_TRUE(s.finish(240000)) << c.exe << " did not end";
        EXPECT_EQ(s.status, 0) << c.exe << ":\n" << s.out << s.err;
        EXPECT_TRUE(s.out.find("[  PASSED  ]") != std::string::npos ||
                    s.out.find(" passed, 0 failed") != std::string::npos)
            << c.exe << ":\n"
            << s.out;
    }
}

} // namespace
