// POSIX serial port: Linux, macOS and the BSDs.
#include "link/platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
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

// Keeps why the call that just failed failed, in the operator's words.
[[gnu::format(printf, 1, 2)]] void note_failure_text(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(failure_text, sizeof failure_text, format, arguments);
    va_end(arguments);
}

// Keeps the system's reason for the call that just failed.
void note_failure(int error) { note_failure_text("%s", std::strerror(error)); }

// The name of group `gid` from /etc/group, where device groups live; not the
// C library's lookup, which a statically linked program cannot do.
bool group_name(gid_t gid, char* name, int capacity) {
    std::FILE* groups = std::fopen("/etc/group", "r");
    if (groups == nullptr) {
        return false;
    }
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, groups) != nullptr) {
        // name:password:gid:members
        char* password = std::strchr(line, ':');
        char* id = password != nullptr ? std::strchr(password + 1, ':') : nullptr;
        if (id == nullptr) {
            continue;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(id + 1, &end, 10);
        if (end != id + 1 && *end == ':' && value == gid) {
            *password = '\0';
            int n = 0;
            for (; line[n] != '\0' && n < capacity - 1; ++n) {
                name[n] = line[n];
            }
            name[n] = '\0';
            found = true;
        }
    }
    std::fclose(groups);
    return found;
}

// A port the user may not open is almost always one whose group the user has
// not joined (dialout on most Linux systems): name the group and the fix.
void note_open_failure(const char* name, int error) {
    struct stat device {};
    if ((error != EACCES && error != EPERM) || stat(name, &device) != 0) {
        note_failure(error);
        return;
    }
    const mode_t group_rw = S_IRGRP | S_IWGRP;
    char owners[64];
    if ((device.st_mode & group_rw) != group_rw || device.st_gid == 0 ||
        !group_name(device.st_gid, owners, sizeof owners)) {
        note_failure_text("%s (mode %03o)", std::strerror(error),
                          static_cast<unsigned>(device.st_mode & 0777));
        return;
    }
#if defined(__linux__)
    note_failure_text("%s: the port belongs to group %s; join it "
                      "(sudo usermod -aG %s $USER), then log in again",
                      std::strerror(error), owners, owners);
#else
    note_failure_text("%s: the port belongs to group %s; join that group, then log in again",
                      std::strerror(error), owners);
#endif
}

// Every handshaking flag this system's headers define; each system names its
// own, and macOS and the BSDs keep those an earlier program left on.
constexpr tcflag_t handshaking_flags = 0
#ifdef CRTSCTS
                                       | CRTSCTS
#endif
#ifdef CDTR_IFLOW
                                       | CDTR_IFLOW
#endif
#ifdef CDSR_OFLOW
                                       | CDSR_OFLOW
#endif
#ifdef CCAR_OFLOW
                                       | CCAR_OFLOW
#endif
#ifdef MDMBUF
                                       | MDMBUF
#endif
    ;

void make_binary_clean(termios& tio) {
    // Frames carry every byte value, so nothing on the line may be translated,
    // swallowed or taken as a signal or flow-control character.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // Left on by an earlier program, hardware handshaking holds back every
    // byte from a device that does not drive CTS, DSR or carrier.
    tio.c_cflag &= ~handshaking_flags;
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
        note_failure_text("in use by another program, which holds its lock");
        return false;
    }
#ifdef TIOCEXCL
    holds_tiocexcl = ioctl(port_fd, TIOCEXCL) == 0;
    if (!holds_tiocexcl) {
        note_failure(errno);
    }
    return holds_tiocexcl;
#else
    return true;
#endif
}

} // namespace

void platform_guard_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // Opened in the direction its use does not go: reading a closed
        // standard input is then the end of input, and writing a closed
        // standard output an error, as before, and the number is taken.
        const int null_fd = open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_NOCTTY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

PortOpenResult platform_open_port(const char* name) {
    port_fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port_fd < 0) {
        const int error = errno;
        note_open_failure(name, error);
        return error == ENOENT ? PortOpenResult::not_found : PortOpenResult::open_failed;
    }
    // select() watches descriptors below FD_SETSIZE only.
    if (port_fd >= FD_SETSIZE) {
        note_failure_text("too many files open (descriptor %d)", port_fd);
        return PortOpenResult::open_failed;
    }
    if (!lock_port()) {
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
        note_failure(errno);
        return PortOpenResult::set_state_failed;
    }

    // Reads return at once with what has arrived: O_NONBLOCK already gives
    // that, and VMIN = VTIME = 0 keeps it so for anyone who clears the flag.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(port_fd, TCSANOW, &tio) != 0 || fcntl(port_fd, F_GETFL) < 0) {
        note_failure(errno);
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
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        note_failure(errno);
        return -1;
    }
    return 0;
}

} // namespace

bool platform_write_byte(std::uint8_t byte) {
    int result = try_write(byte);
    if (result == 0) {
        // The output queue is full: give the driver a bounded time to drain.
        // A hung-up port counts as writable, and the write then fails.
        const int ready = wait_for_port(true, write_timeout_ms);
        if (ready > 0) {
            result = try_write(byte);
        } else if (ready < 0) {
            note_failure(errno);
            return false;
        }
        if (result == 0) {
            note_failure_text("the driver took no byte for %d ms (held back by flow control, "
                              "or the adapter has stalled)",
                              write_timeout_ms);
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
        if (ready < 0) {
            note_failure(errno);
        }
        return ready;
    }
    ssize_t got;
    do {
        got = read(port_fd, buffer, static_cast<size_t>(capacity));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        note_failure(errno);
        return -1;
    }
    if (got == 0) {
        note_failure_text("the port has gone (the adapter was unplugged or the line hung up)");
        return -1;
    }
    return static_cast<int>(got);
}

void platform_discard_input() { tcflush(port_fd, TCIFLUSH); }

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
