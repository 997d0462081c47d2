// End-to-end harness: a real pseudo-terminal whose master side the test plays
// as the device, and the built program run as a child process with its
// standard streams on pipes.
#pragma once

#include "tests/support/frame_bytes.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

using support::frame;

double now_ms(); // monotonic, for timestamps

struct WireByte {
    std::uint8_t value;
    double at_ms;
};

struct Answer {
    Bytes bytes;
    double delay_ms = 20; // after the request's last byte arrived
};

// Decides the device's answer to each complete request; nullopt is silence.
using Device = std::function<std::optional<Answer>(const Bytes& request)>;

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
    // The device goes away: the program's side sees a hang-up.
    void hang_up();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

class Session {
  public:
    // Starts `args` (args[0] is the program) with the device on `pty`, if any.
    explicit Session(const std::vector<std::string>& args, Pty* pty = nullptr, Device device = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    pid_t pid() const { return pid_; }
    void type(const std::string& text);
    void close_input();
    // Serves the device and collects output until `done` holds or the
    // deadline passes; returns whether `done` held.
    bool pump_until(const std::function<bool()>& done, int timeout_ms = 10000);
    // Closes input if still open and waits for the program to end; false on
    // deadline (the program is then killed).
    bool finish(int timeout_ms = 20000);

    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
    std::vector<WireByte> wire;
    std::vector<Bytes> requests;
    std::vector<double> request_end_ms; // arrival of each request's last byte

  private:
    void on_wire(std::uint8_t byte, double at);
    void reap(bool block);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    Pty* pty_;
    Device device_;
    Bytes partial_;
    struct Pending {
        double due_ms;
        Bytes bytes;
    };
    std::vector<Pending> pending_;
};

// Runs the program to its end with `input` on standard input.
struct Run {
    std::string out;
    std::string err;
    int status;
    std::vector<Bytes> requests;
    std::vector<WireByte> wire;
};
Run run(const std::vector<std::string>& args, const std::string& input, Pty* pty = nullptr,
        Device device = {});

// A fresh folder under TMPDIR, removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

} // namespace e2e
