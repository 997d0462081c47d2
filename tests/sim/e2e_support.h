// Running the built programs in tests: child processes with piped standard
// streams, a client end of the simulated port, and private temporary folders.
// Every wait has a deadline, so a hung program fails a test instead of
// stalling the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace simtest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline Clock::time_point after(Clock::duration d) { return Clock::now() + d; }

class Process {
  public:
    // Starts `argv` with its standard input, output and error on pipes.
    explicit Process(const std::vector<std::string>& argv);
    ~Process(); // kills it if it is still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Writes to its standard input; closes it when `then_close`.
    void send(const std::string& text, bool then_close = false);
    void close_input();
    // Standard output up to and including the first line end (or whatever came
    // before end of file or the deadline).
    std::string read_line(Clock::time_point deadline);
    // Everything up to end of file, or up to the deadline.
    std::string read_output(Clock::time_point deadline) { return read_all(out_, deadline); }
    std::string read_errors(Clock::time_point deadline) { return read_all(err_, deadline); }
    // The exit status, 128 + the signal for a killed one; nothing if it is
    // still running at the deadline.
    std::optional<int> wait(Clock::time_point deadline);

  private:
    static std::string read_all(int& fd, Clock::time_point deadline);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pending_; // output read past a line end
};

// A private folder under the temporary directory, removed with its content.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A client on the simulated port, opened like any program would, with the
// terminal settings left as the simulator made them.
class Port {
  public:
    explicit Port(const std::string& path);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool is_open() const { return fd_ >= 0; }
    void write_bytes(const Bytes& bytes);
    // Sends one byte at a time, `gap` apart, as the console does.
    void write_paced(const Bytes& bytes, Clock::duration gap);
    // Reads until `count` bytes have come or the deadline passes.
    Bytes read_bytes(std::size_t count, Clock::time_point deadline);
    // Everything that arrives before the deadline.
    Bytes read_until(Clock::time_point deadline);

  private:
    int fd_ = -1;
};

// The simulator serving alone: started, and its port taken from its first line.
struct StandaloneSim {
    explicit StandaloneSim(std::vector<std::string> options);
    Process process;
    std::string first_line;
    std::string port; // empty when the first line did not name one
};

std::string sim_path();

std::string hex(const Bytes& bytes);

} // namespace simtest
