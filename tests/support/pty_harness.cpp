#include "tests/support/pty_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

namespace {

bool read_into(int& fd, std::string& sink) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        sink.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    close(fd);
    fd = -1;
    return false;
}

} // namespace

Session::Session(const std::vector<std::string>& args, Pty* pty, Device device)
    : pty_(pty), device_(std::move(device)) {
    pid_ = harness::start_piped(args, in_, out_, err_);
}

Session::~Session() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    for (int fd : {in_, out_, err_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Session::type(const std::string& text) {
    ssize_t n = write(in_, text.data(), text.size());
    (void)n;
}

void Session::close_input() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

void Session::on_wire(std::uint8_t byte, double at) {
    wire.push_back({byte, at});
    partial_.push_back(byte);
    if (partial_.size() >= 2 && partial_.size() == static_cast<size_t>(partial_[1]) + 3) {
        requests.push_back(partial_);
        request_end_ms.push_back(at);
        if (device_) {
            if (std::optional<Answer> answer = device_(partial_)) {
                pending_.push_back({at + answer->delay_ms, answer->bytes});
            }
        }
        partial_.clear();
    }
}

void Session::reap(bool block) {
    if (pid_ <= 0) {
        return;
    }
    int ws;
    pid_t r = waitpid(pid_, &ws, block ? 0 : WNOHANG);
    if (r == pid_) {
        status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        pid_ = -1;
    }
}

bool Session::pump_until(const std::function<bool()>& done, int timeout_ms) {
    const double deadline = now_ms() + timeout_ms;
    while (!done()) {
        double now = now_ms();
        if (now >= deadline) {
            return false;
        }
        for (size_t i = 0; i < pending_.size();) {
            if (pending_[i].due_ms <= now) {
                if (pty_ != nullptr) {
                    pty_->write(pending_[i].bytes);
                }
                pending_.erase(pending_.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        double wake = deadline;
        for (const Pending& p : pending_) {
            wake = std::min(wake, p.due_ms);
        }
        pollfd fds[3];
        int n = 0;
        int master = pty_ != nullptr ? pty_->master() : -1;
        for (int fd : {out_, err_, master}) {
            if (fd >= 0) {
                fds[n++] = {fd, POLLIN, 0};
            }
        }
        if (out_ < 0 && err_ < 0) {
            reap(false);
            if (pid_ <= 0) {
                continue; // done() decides; a finished program adds no more
            }
        }
        int wait = static_cast<int>(std::max(0.0, wake - now_ms())) + 1;
        if (out_ < 0 && err_ < 0) {
            wait = std::min(wait, 5);
        }
        int ready = poll(fds, static_cast<nfds_t>(n), wait);
        if (ready <= 0) {
            continue;
        }
        double at = now_ms();
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].fd == out_) {
                read_into(out_, out);
            } else if (fds[i].fd == err_) {
                read_into(err_, err);
            } else if (fds[i].fd == master) {
                std::uint8_t buf[256];
                ssize_t got = read(master, buf, sizeof buf);
                for (ssize_t k = 0; k < got; ++k) {
                    on_wire(buf[k], at);
                }
                if (got <= 0 && (fds[i].revents & POLLHUP) != 0) {
                    // No slave open at the moment: don't spin on it.
                    poll(nullptr, 0, 2);
                }
            }
        }
    }
    return true;
}

bool Session::finish(int timeout_ms) {
    close_input();
    bool ended = pump_until([this] { return out_ < 0 && err_ < 0 && pid_ <= 0; }, timeout_ms);
    if (!ended && pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    return ended;
}

Run run(const std::vector<std::string>& args, const std::string& input, Pty* pty, Device device) {
    Session s(args, pty, std::move(device));
    s.type(input);
    bool ended = s.finish();
    return {s.out + (ended ? "" : "<timed out>"), s.err, s.status, s.requests, s.wire};
}

} // namespace e2e
