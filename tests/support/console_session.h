// Runs the console in-process against the fake platform.
#pragma once

#include "link/frame_link.h"
#include "program/command_line.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The link and trace the program runs on in these tests, static storage as
// the program's own are.
inline FrameLink test_link;
inline WireTrace test_trace;

// Runs the program as main does, with operator input from `input` and ports
// looked up under `root`.
inline int run_program(int argc, char** argv, std::FILE* input = stdin, const char* root = "/") {
    return run_tolvaner(argc, argv, Surroundings{input, root, &test_link, &test_trace});
}

// In a death test's child: runs the console on `port`, with ports looked up
// under `root`, and ends with its status.
[[noreturn]] inline void exit_with_console_on(std::string port, const char* root = "/") {
    char program[] = "tolvaner";
    char* argv[] = {program, port.data(), nullptr};
    std::exit(run_program(2, argv, stdin, root));
}

struct ConsoleRun {
    std::string out;
    int status;
    std::string err;
};

// Runs the program with `args` after its name.
inline ConsoleRun run_console_args(const std::string& input, std::vector<std::string> args,
                                   const char* root = "/") {
    std::FILE* in = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    args.insert(args.begin(), "tolvaner");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = run_program(static_cast<int>(args.size()), argv.data(), in, root);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    ConsoleRun run{out, status, testing::internal::GetCapturedStderr()};
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
        std::memset(test_link.tx_buffer, 0, sizeof test_link.tx_buffer);
        std::memset(test_link.rx_buffer, 0, sizeof test_link.rx_buffer);
        test_link.bytes_read = 0;
    }
};
