// Runs the console in-process against the fake platform.
#pragma once

#include "console/console.h"
#include "link/frame_link.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

struct ConsoleRun {
    std::string out;
    int status;
};

inline ConsoleRun run_console_with(const std::string& input, int argc = 2) {
    std::FILE* in = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    console_set_input(in);
    char program[] = "tolvaner";
    char port[] = "COM1";
    char extra[] = "COM2";
    char* argv[] = {program, port, extra, nullptr};
    testing::internal::CaptureStdout();
    int status = run_console(argc, argv);
    std::fflush(stdout);
    ConsoleRun run{testing::internal::GetCapturedStdout(), status};
    console_set_input(stdin);
    std::fclose(in);
    return run;
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
