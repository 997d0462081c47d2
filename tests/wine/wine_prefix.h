// tolvaner.exe under Wine: one Wine prefix for the whole test binary, its own
// wineserver, and COM ports mapped to pseudo-terminals.
#pragma once

#include "tests/support/pty_harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wine {

// Made once, before the first test, by the global environment that main()
// registers; torn down (server shut down, folder removed) after the last.
class Prefix : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
};

// Empty when the tests can run; otherwise why they are skipped (Wine or the
// exe missing) ...
const std::string& skip_reason();
// ... or why they fail (Wine is there but would not make a prefix).
const std::string& setup_failure();

const std::string& prefix_path();

// The command line that runs tolvaner.exe under Wine with `args`.
std::vector<std::string> exe_command(const std::vector<std::string>& args);
// ... and that runs another Windows program.
std::vector<std::string> windows_command(const std::string& exe,
                                         const std::vector<std::string>& args);

// "Z:\dir\file" for a Unix path: Wine's Z: drive is the Unix root.
std::string windows_path(const std::string& unix_path);

// A COM number no other port of this run has used. Wine maps its own low
// numbers to the machine's serial ports when it starts, so these begin at 100,
// where only the \\.\COMn form reaches them.
int fresh_com_number();
std::string com_name(int number); // \\.\COMn

// Two ports registered the way Wine registers ports, for the port list: one
// below 10, one above, out of the way of fresh_com_number().
constexpr int listed_low_com = 5;
constexpr int listed_high_com = 240;
// The pseudo-terminal behind the low one, for a test to play the device on.
e2e::Pty& listed_low_device();

// Points COMn of the prefix at `target` for as long as it lives.
class ComLink {
  public:
    ComLink(int number, const std::string& target);
    ~ComLink();
    ComLink(const ComLink&) = delete;
    ComLink& operator=(const ComLink&) = delete;

  private:
    std::string link_;
};

// A pseudo-terminal the test plays as the device, seen by Windows as \\.\COMn.
struct ComPort {
    ComPort() : number(fresh_com_number()), name(com_name(number)), link(number, pty.path()) {}

    e2e::Pty pty;
    int number;
    std::string name;
    ComLink link;
};

// A Windows console writes CR LF; the transcripts are compared with LF.
std::string unix_lines(std::string text);

// Fixture for every test here: skips where Wine or the exe is missing.
class WineTest : public ::testing::Test {
  protected:
    void SetUp() override;
};

} // namespace wine
