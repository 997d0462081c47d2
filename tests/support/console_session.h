// Runs the console in-process against the fake platform.
#pragma once

#include "console/console.h"
#include "link/frame_link.h"
#include "program/command_line.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct ConsoleRun {
    std::string out;
    int status;
    std::string err;
};

// Runs the program with `args` after its name.
inline ConsoleRun run_console_args(const std::string& input, std::vector<std::string> args) {
    std::FILE* in = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    console_set_input(in);
    args.insert(args.begin(), "tolvaner");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = run_tolvaner(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    ConsoleRun run{out, status, testing::internal::GetCapturedStderr()};
    console_set_input(stdin);
    std::fclose(in);
    return run;
}

// With the port COM1 and, for argc 3, a second port COM2.
inline ConsoleRun run_console_with(const std::string& input, int argc = 2) {
    std::vector<std::string> ports{"COM1", "COM2"};
    ports.resize(static_cast<size_t>(argc - 1));
    return run_console_args(input, ports);
}

class ConsoleTest : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        std::memset(tx_buffer, 0, sizeof tx_buffer);
        std::memset(rx_buffer, 0, sizeof rx_buffer);
        bytes_read = 0;
    }
};
