// Shared by the fuzz targets: running the console in-process against the fake
// platform with its output caught in memory.
#pragma once

#include "link/frame_link.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzz {

// Everything the console prints between construction and take(); stdout is
// the console's own again afterwards. (glibc lets stdout be reassigned.)
class CapturedStdout {
  public:
    CapturedStdout();
    ~CapturedStdout();
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;
    std::string take();

  private:
    std::FILE* saved_;
    std::FILE* memory_;
#ifdef _WIN32
    int saved_fd_ = -1;
#endif
    char* text_ = nullptr;
    std::size_t size_ = 0;
};

// Operator input from `size` bytes at `data`, for run_console_on.
std::FILE* input_from(const std::uint8_t* data, std::size_t size);

// The link the console runs on: a target sets its buffers before a run.
FrameLink& console_link();

// Starts the console on port "COM1" with `input` and returns its status.
int run_console_on(std::FILE* input);

// Stops the run with the case and what went wrong, so that the fuzzer keeps
// the input and the replay fails.
[[noreturn]] void fail(const char* what, const std::string& expected, const std::string& got);

// Text with every byte that is not printable ASCII shown as \xNN.
std::string escape(const std::string& text);

} // namespace fuzz
