#include "tests/hardening/fuzz/fuzz_support.h"

#include "program/command_line.h"

#include <cstdlib>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace fuzz {

#ifdef _WIN32

// The Windows C library has no memory streams: a temporary file stands in
// behind standard output's descriptor, written in binary mode so that the
// text is compared as the console printed it.
CapturedStdout::CapturedStdout() : saved_(nullptr) {
    std::fflush(stdout);
    memory_ = std::tmpfile();
    saved_fd_ = _dup(_fileno(stdout));
    if (memory_ == nullptr || saved_fd_ < 0 || _dup2(_fileno(memory_), _fileno(stdout)) != 0) {
        std::abort();
    }
    _setmode(_fileno(stdout), _O_BINARY);
}

std::string CapturedStdout::take() {
    std::fflush(stdout);
    _dup2(saved_fd_, _fileno(stdout));
    _close(saved_fd_);
    _setmode(_fileno(stdout), _O_TEXT);
    std::string text;
    std::rewind(memory_);
    for (int c; (c = std::fgetc(memory_)) != EOF;) {
        text += static_cast<char>(c);
    }
    std::fclose(memory_);
    memory_ = nullptr;
    return text;
}

std::FILE* input_from(const std::uint8_t* data, std::size_t size) {
    std::FILE* in = std::tmpfile();
    std::fwrite(data, 1, size, in);
    std::rewind(in);
    return in;
}

#else

CapturedStdout::CapturedStdout() : saved_(stdout) {
    std::fflush(stdout);
    memory_ = open_memstream(&text_, &size_);
    if (memory_ == nullptr) {
        std::abort();
    }
    stdout = memory_;
}

std::string CapturedStdout::take() {
    std::fflush(memory_);
    stdout = saved_;
    std::fclose(memory_);
    memory_ = nullptr;
    std::string text(text_, size_);
    std::free(text_);
    text_ = nullptr;
    return text;
}

std::FILE* input_from(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        // fmemopen refuses an empty buffer.
        return std::fopen("/dev/null", "r");
    }
    return fmemopen(const_cast<std::uint8_t*>(data), size, "r");
}

#endif

CapturedStdout::~CapturedStdout() {
    if (memory_ != nullptr) {
        take();
    }
}

namespace {
FrameLink link;
WireTrace trace;
} // namespace

FrameLink& console_link() { return link; }

int run_console_on(std::FILE* input) {
    char program[] = "tolvaner";
    char port[] = "COM1";
    char* argv[] = {program, port, nullptr};
    return run_tolvaner(2, argv, Surroundings{input, "/", &link, &trace});
}

std::string escape(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : text) {
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}

void fail(const char* what, const std::string& expected, const std::string& got) {
    std::fprintf(stderr, "%s\nexpected: %s\n     got: %s\n", what, escape(expected).c_str(),
                 escape(got).c_str());
    std::abort();
}

} // namespace fuzz
