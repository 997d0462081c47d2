#include "sim/pty_host.h"

#include "sim/line.h"
#include "sim/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace tolvaner::sim {

namespace {

// Signals reach the serving loop through this pipe, so that select() is the
// only place the simulator waits.
int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int signal_number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool set_flags(int fd, int status_flags) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | status_flags) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void complain(const std::string& what) {
    std::fprintf(stderr, "tolvaner-sim: %s: %s\n", what.c_str(), std::strerror(errno));
}

struct Pty {
    int master = -1;
    // Held open for the whole run: a pseudo-terminal whose slave nobody has
    // open reads as hung up, and the next client would find it gone.
    int slave = -1;
    std::string path;
};

bool open_pty(Pty& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0) {
        complain("cannot open a pseudo-terminal");
        return false;
    }
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        complain("cannot unlock the pseudo-terminal");
        return false;
    }
    const char* name = ptsname(pty.master);
    if (name == nullptr) {
        complain("cannot name the pseudo-terminal");
        return false;
    }
    pty.path = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY);
    if (pty.slave < 0) {
        complain("cannot open " + pty.path);
        return false;
    }
    // The line is raw: every byte value, line ends and control characters
    // included, must pass untouched in both directions, whatever the client
    // leaves of the terminal settings.
    termios tio{};
    if (tcgetattr(pty.master, &tio) != 0) {
        complain("cannot read the terminal settings");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    if (tcsetattr(pty.master, TCSANOW, &tio) != 0) {
        complain("cannot make the line raw");
        return false;
    }
    // Non-blocking: a client that never reads must not stall the device.
    if (!set_flags(pty.master, O_NONBLOCK) || !set_flags(pty.slave, 0)) {
        complain("cannot set up the pseudo-terminal");
        return false;
    }
    return true;
}

bool install_signals(bool running_program) {
    if (pipe(signal_pipe) != 0 || !set_flags(signal_pipe[0], O_NONBLOCK) ||
        !set_flags(signal_pipe[1], O_NONBLOCK)) {
        complain("cannot make a pipe");
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(s, &action, nullptr);
    }
    if (running_program) {
        sigaction(SIGCHLD, &action, nullptr);
    }
    // A reader of our standard output that went away is no reason to stop
    // serving; the failed write says so instead.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

pid_t start_program(const std::vector<std::string>& program, const std::string& port) {
    std::vector<std::string> args = program;
    args.push_back(port);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // The handlers go with exec, but an ignored signal would stay ignored.
        signal(SIGPIPE, SIG_DFL);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "tolvaner-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (pid < 0) {
        complain("cannot start " + program[0]);
    }
    return pid;
}

int status_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return WEXITSTATUS(wait_status);
}

class Host {
  public:
    Host(const Options& options, const Pty& pty)
        : options_(options), pty_(pty), start_(std::chrono::steady_clock::now()),
          line_(options.device, options.fault, Micros{0}) {}

    // Serves until the simulator is to stop; returns its exit status.
    int serve(pid_t child) {
        bool line_up = true;
        for (;;) {
            const Micros now = elapsed();
            line_.tick(now);
            send(line_.take_due(now));
            write_trace();

            // select, not poll: macOS's poll serves no terminal, the
            // pseudo-terminal included (POLLNVAL).
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(signal_pipe[0], &readable);
            if (line_up) {
                FD_SET(pty_.master, &readable);
            }
            const int wait_ms = timeout_ms();
            timeval limit{wait_ms / 1000, (wait_ms % 1000) * 1000};
            const int ready = select(std::max(signal_pipe[0], pty_.master) + 1, &readable, nullptr,
                                     nullptr, wait_ms < 0 ? nullptr : &limit);
            if (ready < 0 && errno != EINTR) {
                complain("select failed");
                return 1;
            }
            if (ready <= 0) {
                continue;
            }
            if (FD_ISSET(signal_pipe[0], &readable)) {
                unsigned char signals[16];
                const ssize_t got = read(signal_pipe[0], signals, sizeof signals);
                for (ssize_t i = 0; i < got; ++i) {
                    if (std::optional<int> status = on_signal_received(signals[i], child)) {
                        return *status;
                    }
                }
            }
            if (line_up && FD_ISSET(pty_.master, &readable)) {
                std::uint8_t buffer[256];
                const ssize_t got = read(pty_.master, buffer, sizeof buffer);
                if (got > 0) {
                    line_.receive(std::span(buffer, static_cast<std::size_t>(got)), elapsed());
                } else if (got == 0 ||
                           (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    // Readable with nothing to read is a hang-up. Cannot happen
                    // while we hold the slave open; should it all the same,
                    // stop listening rather than spin on it.
                    std::fprintf(stderr, "tolvaner-sim: the pseudo-terminal hung up\n");
                    line_up = false;
                }
            }
        }
    }

  private:
    Micros elapsed() const {
        return std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now() - start_);
    }

    int timeout_ms() const {
        const std::optional<Micros> deadline = line_.next_deadline();
        if (!deadline) {
            return -1;
        }
        const Micros left = *deadline - elapsed();
        if (left <= Micros{0}) {
            return 0;
        }
        // Rounded up: waking a little late costs nothing, waking early spins.
        return static_cast<int>((left.count() + 999) / 1000);
    }

    void send(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = write(pty_.master, bytes.data() + done, bytes.size() - done);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                // Nobody is reading and the line's buffer is full: the rest is
                // lost, as it would be on a real line.
                return;
            }
            done += static_cast<std::size_t>(put);
        }
    }

    void write_trace() {
        for (const TraceEvent& event : line_.take_trace()) {
            if (options_.trace) {
                std::fprintf(stderr, "%s\n", format_trace(event).c_str());
            }
        }
    }

    // The exit status when the simulator is to stop now.
    static std::optional<int> on_signal_received(int signal_number, pid_t child) {
        if (child <= 0) {
            return signal_number == SIGCHLD ? std::nullopt : std::optional<int>(0);
        }
        if (signal_number == SIGCHLD) {
            int wait_status = 0;
            if (waitpid(child, &wait_status, WNOHANG) == child) {
                return status_of(wait_status);
            }
        } else if (signal_number != SIGINT) {
            // SIGINT from the terminal reaches the program by itself; others
            // are passed on, and the program's end ends the simulator.
            kill(child, signal_number);
        }
        return std::nullopt;
    }

    const Options& options_;
    const Pty& pty_;
    std::chrono::steady_clock::time_point start_;
    Line line_;
};

} // namespace

int run_simulator(const Options& options) {
    Pty pty;
    if (!install_signals(!options.program.empty()) || !open_pty(pty)) {
        return 1;
    }
    if (options.link && symlink(pty.path.c_str(), options.link->c_str()) != 0) {
        complain("cannot make the link " + *options.link);
        return 1;
    }

    pid_t child = 0;
    if (!options.program.empty()) {
        child = start_program(options.program, pty.path);
    } else {
        std::printf("tolvaner-sim: device on %s\n", pty.path.c_str());
        std::fflush(stdout);
    }

    int status = 1;
    if (child >= 0) {
        Host host(options, pty);
        status = host.serve(child);
    }

    if (options.link) {
        unlink(options.link->c_str());
    }
    close(pty.slave);
    close(pty.master);
    return status;
}

} // namespace tolvaner::sim
