#include "e2e_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace simtest {

namespace {

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `fd` to be readable; false at the deadline.
bool readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, ms_until(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Writing to a program that has already ended must fail the write, not end
// the test run.
const bool sigpipe_ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

} // namespace

Process::Process(const std::vector<std::string>& argv) {
    (void)sigpipe_ignored;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        return;
    }
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(126);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
}

void Process::send(const std::string& text, bool then_close) {
    std::size_t done = 0;
    while (in_ >= 0 && done < text.size()) {
        const ssize_t put = write(in_, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    if (then_close) {
        close_input();
    }
}

void Process::close_input() { close_fd(in_); }

std::string Process::read_line(Clock::time_point deadline) {
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end + 1);
            pending_.erase(0, end + 1);
            return line;
        }
        if (out_ < 0 || !readable(out_, deadline)) {
            return std::exchange(pending_, {});
        }
        char buffer[256];
        const ssize_t got = read(out_, buffer, sizeof buffer);
        if (got <= 0) {
            close_fd(out_);
        } else {
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
    }
}

std::string Process::read_all(int& fd, Clock::time_point deadline) {
    std::string text;
    while (fd >= 0 && readable(fd, deadline)) {
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            close_fd(fd);
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

std::optional<int> Process::wait(Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
        if (done < 0 || Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tolvaner-sim-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

Port::Port(const std::string& path) { fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }

Port::~Port() { close_fd(fd_); }

void Port::write_bytes(const Bytes& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t put = write(fd_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) {
                break;
            }
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            break;
        }
        done += static_cast<std::size_t>(put);
    }
}

void Port::write_paced(const Bytes& bytes, Clock::duration gap) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(gap);
        }
        write_bytes({bytes[i]});
    }
}

Bytes Port::read_bytes(std::size_t count, Clock::time_point deadline) {
    Bytes got;
    while (fd_ >= 0 && got.size() < count && readable(fd_, deadline)) {
        std::uint8_t buffer[256];
        const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

Bytes Port::read_until(Clock::time_point deadline) {
    return read_bytes(static_cast<std::size_t>(-1), deadline);
}

StandaloneSim::StandaloneSim(std::vector<std::string> options)
    : process([&] {
          options.insert(options.begin(), sim_path());
          return options;
      }()) {
    first_line = process.read_line(after(10s));
    const std::string prefix = "tolvaner-sim: device on ";
    if (first_line.starts_with(prefix) && first_line.ends_with("\n")) {
        port = first_line.substr(prefix.size(), first_line.size() - prefix.size() - 1);
    }
}

std::string sim_path() { return TOLVANER_SIM_PATH; }

std::string hex(const Bytes& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char piece[4];
        std::snprintf(piece, sizeof piece, "%02X ", b);
        text += piece;
    }
    return text;
}

} // namespace simtest
