// POSIX serial port: Linux, macOS and the BSDs.
#include "link/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace {

int port_fd = -1;
// TIOCEXCL stays on the device after close while anyone else has it open.
bool holds_tiocexcl = false;

// The driver may take this long to accept a byte before the write counts as
// failed, the same bound the write time-out sets on Windows (10 ms a byte + 50).
constexpr int write_timeout_ms = 60;

char failure_text[256];

// Keeps the system's reason for the call that just failed.
void note_failure(int error) {
    std::snprintf(failure_text, sizeof failure_text, "%s", std::strerror(error));
}

void make_binary_clean(termios& tio) {
    // Frames carry every byte value, so nothing on the line may be translated,
    // swallowed or taken as a signal or flow-control character.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
#ifdef CRTSCTS
    // Left on by an earlier program, hardware handshaking holds back every
    // byte from a device that does not drive CTS.
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
}

// Adapters and devices powered or enabled by DTR/RTS are dead if an earlier
// program left them low. A pseudo-terminal has no modem lines and refuses the
// call; that is no failure, only a port that has gone is.
bool assert_modem_lines() {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(port_fd, TIOCMBIS, &lines) == 0) {
        return true;
    }
    return errno != EIO && errno != ENODEV && errno != ENXIO;
}

// Advisory lock rather than TIOCEXCL where it works: TIOCEXCL does not stop
// root, and it outlives a killed process on a port someone else keeps open.
bool lock_port() {
    if (flock(port_fd, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    // Only a lock held elsewhere means the port is busy: FreeBSD refuses flock
    // on every device node (EOPNOTSUPP), which must not make every port busy.
    if (errno == EWOULDBLOCK) {
        return false;
    }
#ifdef TIOCEXCL
    holds_tiocexcl = ioctl(port_fd, TIOCEXCL) == 0;
    return holds_tiocexcl;
#else
    return true;
#endif
}

} // namespace

PortOpenResult platform_open_port(const char* name) {
    port_fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port_fd < 0) {
        note_failure(errno);
        return errno == ENOENT ? PortOpenResult::not_found : PortOpenResult::open_failed;
    }
    // select() watches descriptors below FD_SETSIZE only.
    if (port_fd >= FD_SETSIZE || !lock_port()) {
        return PortOpenResult::open_failed;
    }

    termios tio{};
    if (tcgetattr(port_fd, &tio) != 0) {
        note_failure(errno);
        return PortOpenResult::get_state_failed;
    }
    make_binary_clean(tio);
    if (cfsetispeed(&tio, B57600) != 0 || cfsetospeed(&tio, B57600) != 0 ||
        tcsetattr(port_fd, TCSANOW, &tio) != 0 || !assert_modem_lines()) {
        return PortOpenResult::set_state_failed;
    }

    // Reads return at once with what has arrived: O_NONBLOCK already gives
    // that, and VMIN = VTIME = 0 keeps it so for anyone who clears the flag.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(port_fd, TCSANOW, &tio) != 0 || fcntl(port_fd, F_GETFL) < 0) {
        return PortOpenResult::timeouts_failed;
    }

#if defined(__linux__)
    // The 50 ms byte gap is the device's floor; the default 50 us timer slack
    // only ever lengthens it, so keep the slack small.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    return PortOpenResult::ok;
}

const char* platform_failure_text() { return failure_text; }

void platform_close_port() {
    if (port_fd >= 0) {
#ifdef TIOCNXCL
        if (holds_tiocexcl) {
            ioctl(port_fd, TIOCNXCL);
            holds_tiocexcl = false;
        }
#endif
        close(port_fd);
        port_fd = -1;
    }
}

namespace {

// 1 when the port is ready to read (or write) within timeout_ms, 0 when not,
// -1 on failure. select, not poll: macOS's poll serves no character device and
// reports POLLNVAL for every terminal.
int wait_for_port(bool to_write, int timeout_ms) {
    fd_set ports;
    int ready;
    do {
        FD_ZERO(&ports);
        FD_SET(port_fd, &ports);
        timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        ready = select(port_fd + 1, to_write ? nullptr : &ports, to_write ? &ports : nullptr,
                       nullptr, &limit);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

// 1 when the driver took the byte, 0 when its queue is full, -1 on failure.
int try_write(std::uint8_t byte) {
    ssize_t written;
    do {
        written = write(port_fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    if (written == 1) {
        return 1;
    }
    return (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ? -1 : 0;
}

} // namespace

bool platform_write_byte(std::uint8_t byte) {
    int result = try_write(byte);
    if (result == 0) {
        // The output queue is full: give the driver a bounded time to drain.
        // A hung-up port counts as writable, and the write then fails.
        if (wait_for_port(true, write_timeout_ms) > 0) {
            result = try_write(byte);
        }
    }
    // A byte the driver would not take is a lost byte of a frame: a failure,
    // never a silent drop.
    return result == 1;
}

int platform_read(std::uint8_t* buffer, int capacity) {
    // A quiet device is a port with nothing to read; a vanished adapter is a
    // port that reads as ready and then gives 0 bytes (end of file) or fails.
    // That test holds on every POSIX system; macOS's poll could not make it.
    const int ready = wait_for_port(false, 0);
    if (ready <= 0) {
        return ready;
    }
    ssize_t got;
    do {
        got = read(port_fd, buffer, static_cast<size_t>(capacity));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
    return got == 0 ? -1 : static_cast<int>(got);
}

int platform_read_within(std::uint8_t* buffer, int capacity, unsigned timeout_ms) {
    int got = platform_read(buffer, capacity);
    if (got != 0) {
        return got;
    }
    // A signal cuts select short; wait only for what is left of the time.
    const std::uint64_t deadline = platform_monotonic_us() + timeout_ms * std::uint64_t{1000};
    for (;;) {
        const std::uint64_t now = platform_monotonic_us();
        if (now >= deadline) {
            return 0;
        }
        fd_set ports;
        FD_ZERO(&ports);
        FD_SET(port_fd, &ports);
        const std::uint64_t left = deadline - now;
        timeval limit{static_cast<time_t>(left / 1000000),
                      static_cast<suseconds_t>(left % 1000000)};
        const int ready = select(port_fd + 1, &ports, nullptr, nullptr, &limit);
        if (ready > 0) {
            return platform_read(buffer, capacity);
        }
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
    }
}

void platform_discard_input() { tcflush(port_fd, TCIFLUSH); }

namespace {

volatile std::sig_atomic_t interrupt_seen = 0;

void on_interrupt(int) { interrupt_seen = 1; }

} // namespace

void platform_catch_interrupt() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the sleep between samples must end when Ctrl-C comes.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

bool platform_interrupted() { return interrupt_seen != 0; }

bool platform_sleep_or_interrupted(unsigned milliseconds) {
    timespec rest{};
    rest.tv_sec = static_cast<time_t>(milliseconds / 1000);
    rest.tv_nsec = static_cast<decltype(rest.tv_nsec)>(milliseconds % 1000) * 1000000;
    // A signal between the test and the sleep is caught by the next test at
    // most one sleep later; the sleeps are the interval between samples.
    while (interrupt_seen == 0 && nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return interrupt_seen != 0;
}

bool platform_stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

void platform_pause_ms(unsigned milliseconds) {
    timespec rest{};
    rest.tv_sec = static_cast<time_t>(milliseconds / 1000);
    rest.tv_nsec = static_cast<decltype(rest.tv_nsec)>(milliseconds % 1000) * 1000000;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

std::uint64_t platform_monotonic_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}

WallTime platform_wall_time() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    tm utc{};
    gmtime_r(&t.tv_sec, &utc);
    return WallTime{utc.tm_year + 1900,
                    utc.tm_mon + 1,
                    utc.tm_mday,
                    utc.tm_hour,
                    utc.tm_min,
                    utc.tm_sec,
                    static_cast<int>(t.tv_nsec / 1000000)};
}
