#include "tests/support/harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace harness {

namespace {

// Writing to a program that has already ended must fail the write, not end
// the test run.
const bool sigpipe_ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

void set_cloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

std::vector<char*> c_args(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

} // namespace

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

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

pid_t start_piped(const std::vector<std::string>& argv, int& in, int& out, int& err) {
    (void)sigpipe_ignored;
    int i[2], o[2], e[2];
    if (pipe(i) != 0 || pipe(o) != 0 || pipe(e) != 0) {
        return -1;
    }
    for (int fd : {i[0], i[1], o[0], o[1], e[0], e[1]}) {
        set_cloexec(fd);
    }
    std::vector<char*> args = c_args(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(i[0], 0);
        dup2(o[1], 1);
        dup2(e[1], 2);
        std::signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(i[0]);
    close(o[1]);
    close(e[1]);
    in = i[1];
    out = o[0];
    err = e[0];
    return pid;
}

pid_t start_logged(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<char*> args = c_args(argv);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    // No session of its own: a session leader that opens a terminal takes it
    // for its controlling terminal and gets SIGHUP when the test hangs it up.
    const int null = open("/dev/null", O_RDONLY);
    const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (null < 0 || log_fd < 0) {
        _exit(127);
    }
    dup2(null, 0);
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
    }
    std::signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
}

std::optional<int> wait_pid(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
        if ((done < 0 && errno != EINTR) || Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

Process::Process(const std::vector<std::string>& argv) {
    pid_ = start_piped(argv, in_, out_, err_);
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
    std::optional<int> status = wait_pid(pid_, deadline);
    if (status) {
        pid_ = -1;
    }
    return status;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tolvaner-test-XXXXXX";
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

Pty::Pty(bool raw) {
    termios settings{};
    cfmakeraw(&settings);
    cfsetispeed(&settings, B57600);
    cfsetospeed(&settings, B57600);
    char name[256];
    if (openpty(&master_, &slave_, name, raw ? &settings : nullptr, nullptr) != 0) {
        return; // path() stays empty
    }
    set_cloexec(master_);
    set_cloexec(slave_);
    path_ = name;
}

Pty::~Pty() {
    hang_up();
    if (slave_ >= 0) {
        close(slave_);
    }
}

void Pty::write(const Bytes& bytes) {
    if (master_ >= 0 && !bytes.empty()) {
        ssize_t n = ::write(master_, bytes.data(), bytes.size());
        (void)n;
    }
}

void Pty::hang_up() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

} // namespace harness
