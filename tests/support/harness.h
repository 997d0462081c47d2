// The one harness every end-to-end suite runs its programs with (native, Wine
// and the virtual machines): child processes on pipes, pseudo-terminals,
// private temporary folders and waits that all end at a deadline, so that a
// hung program fails its test instead of stalling the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline Clock::time_point after(Clock::duration d) { return Clock::now() + d; }
int ms_until(Clock::time_point deadline);
// Waits for `fd` to be readable (or at its end); false at the deadline.
bool readable(int fd, Clock::time_point deadline);
void close_fd(int& fd);

// Starts `argv` (argv[0] a path) with its standard input, output and error on
// pipes whose other ends are returned; the child's pid, or -1.
pid_t start_piped(const std::vector<std::string>& argv, int& in, int& out, int& err);
// Starts `argv` with standard input from /dev/null, both outputs appended to
// `log`, no other descriptors of the test and no controlling terminal to take.
pid_t start_logged(const std::vector<std::string>& argv, const std::string& log);
// The exit status, 128 + the signal for a killed one; nothing while `pid` is
// still running at the deadline (or when it is no child of ours).
std::optional<int> wait_pid(pid_t pid, Clock::time_point deadline);

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

// A pseudo-terminal pair: the test holds the master, a program opens `path()`.
class Pty {
  public:
    // `raw` false leaves the terminal as the kernel makes it (echo, line
    // editing, CR/LF translation, XON/XOFF, signal characters): the program
    // must make the line binary-clean itself.
    explicit Pty(bool raw = true);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    void write(const Bytes& bytes);
    // The far end goes away: the slave's side sees a hang-up.
    void hang_up();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A client on a port, opened like any program would, with the terminal
// settings left as they are.
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

// The built simulator; empty where it is not built.
std::string sim_path();

// The simulator serving alone: started, and its port taken from its first line.
struct StandaloneSim {
    explicit StandaloneSim(std::vector<std::string> options);
    Process process;
    std::string first_line;
    std::string port; // empty when the first line did not name one
};

std::string hex(const Bytes& bytes);

} // namespace harness
