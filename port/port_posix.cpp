// One serial port on POSIX: Linux, macOS and the BSDs.
#include "port/serial_port.h"

#include "system/system.h"
#include "system/text_escape.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif

namespace {

// The port's descriptor.
int fd_of(const SerialPort& port) { return static_cast<int>(port.handle); }

// The driver may take this long to accept a byte before the write counts as
// failed, the same bound the write time-out sets on Windows (10 ms a byte + 50).
constexpr int write_timeout_ms = 60;

// Keeps why the call that just failed failed, in the operator's words.
[[gnu::format(printf, 2, 3)]] void note_failure_text(SerialPort& port, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(port.failure, sizeof port.failure, format, arguments);
    va_end(arguments);
}

// Keeps the system's reason for the call that just failed.
void note_failure(SerialPort& port, int error) {
    note_failure_text(port, "%s", std::strerror(error));
}

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
        const unsigned long long value = std::strtoull(id + 1, &end, 10);
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
void note_open_failure(SerialPort& port, const char* name, int error) {
    struct stat device {};
    if ((error != EACCES && error != EPERM) || stat(name, &device) != 0) {
        note_failure(port, error);
        return;
    }
    const mode_t group_rw = S_IRGRP | S_IWGRP;
    char owners[64];
    if ((device.st_mode & group_rw) != group_rw || device.st_gid == 0 ||
        !group_name(device.st_gid, owners, sizeof owners)) {
        note_failure_text(port, "%s (mode %03o)", std::strerror(error),
                          static_cast<unsigned>(device.st_mode & 0777));
        return;
    }
#if defined(__linux__)
    note_failure_text(port,
                      "%s: the port belongs to group %s; join it "
                      "(sudo usermod -aG %s $USER), then log in again",
                      std::strerror(error), owners, owners);
#else
    note_failure_text(port, "%s: the port belongs to group %s; join that group, then log in again",
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
bool assert_modem_lines(const SerialPort& port) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd_of(port), TIOCMBIS, &lines) == 0) {
        return true;
    }
    return errno != EIO && errno != ENODEV && errno != ENXIO;
}

// Advisory lock rather than TIOCEXCL where it works: TIOCEXCL does not stop
// root, and it outlives a killed process on a port someone else keeps open.
bool lock_port(SerialPort& port) {
    if (flock(fd_of(port), LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    // Only a lock held elsewhere means the port is busy: FreeBSD refuses flock
    // on every device node (EOPNOTSUPP), which must not make every port busy.
    if (errno == EWOULDBLOCK) {
        note_failure_text(port, "in use by another program, which holds its lock");
        return false;
    }
#ifdef TIOCEXCL
    port.holds_exclusive = ioctl(fd_of(port), TIOCEXCL) == 0;
    if (!port.holds_exclusive) {
        note_failure(port, errno);
    }
    return port.holds_exclusive;
#else
    return true;
#endif
}

#if defined(__linux__)

// A program that takes no lock (a terminal program, cat, a modem manager
// probing a new adapter) still shares the line: both then take the device's
// replies and each sees checksum faults. The device needs one master, so a
// real serial device that another process holds is refused, with its holder
// named. A pseudo-terminal is left alone: there, the other side holding it is
// the point.

// True for a tty with a device behind it in sysfs; pseudo-terminals and
// virtual consoles have none. Read from the device number alone, before the
// port is opened.
bool is_real_serial_device(dev_t device) {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device", major(device), minor(device));
    struct stat info {};
    if (stat(path, &info) != 0) {
        return false;
    }
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/subsystem", major(device), minor(device));
    char subsystem[128];
    const ssize_t length = readlink(path, subsystem, sizeof subsystem - 1);
    if (length <= 0) {
        return false;
    }
    subsystem[length] = '\0';
    const char* last = std::strrchr(subsystem, '/');
    return std::strcmp(last != nullptr ? last + 1 : subsystem, "tty") == 0;
}

// A process number written in decimal (a /proc entry, a lock file's
// text, where blanks may follow when not `whole`); 0 for anything else,
// a number beyond what a pid_t holds included.
pid_t pid_from_text(const char* text, bool whole) {
    std::int64_t n = 0;
    const char* p = text + std::strspn(text, " ");
    const char* digits = p;
    for (; *p >= '0' && *p <= '9' && n <= INT32_MAX; ++p) {
        n = n * 10 + (*p - '0');
    }
    const bool ends = whole ? *p == '\0' : (*p == '\0' || std::strchr(" \n", *p) != nullptr);
    return p != digits && ends && n > 0 && n <= INT32_MAX ? static_cast<pid_t>(n) : 0;
}

// "PID (command)" of a process, in `text`; the command is left out when it
// cannot be read. Any process names itself, with any bytes but NUL: the name
// is escaped, so that it cannot drive the operator's terminal.
void describe_process(pid_t pid, char* text, int capacity) {
    const auto number = static_cast<long long>(pid);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/comm", number);
    char command[24]; // a name of up to 15 bytes and a line end
    ssize_t got = -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        got = read(fd, command, sizeof command);
        close(fd);
    }
    // The kernel ends the name with a line end of its own.
    if (got > 0 && command[got - 1] == '\n') {
        --got;
    }
    if (got > 0) {
        char name[sizeof command * 4 + 1];
        escape_bytes(name, sizeof name, command, static_cast<int>(got));
        std::snprintf(text, static_cast<size_t>(capacity), "%lld (%s)", number, name);
    } else {
        std::snprintf(text, static_cast<size_t>(capacity), "%lld", number);
    }
}

// True when `pid` has a descriptor open on `device`.
bool process_holds(pid_t pid, dev_t device) {
    char fd_dir[64];
    std::snprintf(fd_dir, sizeof fd_dir, "/proc/%lld/fd", static_cast<long long>(pid));
    DIR* dir = opendir(fd_dir);
    if (dir == nullptr) {
        return false; // gone, or another user's: /proc does not let us see
    }
    bool holds = false;
    while (dirent* entry = readdir(dir)) {
        char path[128];
        if (entry->d_name[0] == '.' ||
            std::snprintf(path, sizeof path, "%s/%s", fd_dir, entry->d_name) >=
                static_cast<int>(sizeof path)) {
            continue;
        }
        // The link's text first, which asks no file system: stat follows
        // the link into the file system of whatever the descriptor is on, and
        // one on a dead network mount or a stuck user-space file system
        // never answers. Only a node under /dev can be the port.
        char target[8];
        if (readlink(path, target, sizeof target) < 5 || std::memcmp(target, "/dev/", 5) != 0) {
            continue;
        }
        // stat follows the descriptor's link to the device node without
        // opening it.
        struct stat info {};
        if (stat(path, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device) {
            holds = true;
            break;
        }
    }
    closedir(dir);
    return holds;
}

// Another process with the device open, by its descriptors in /proc; 0 when
// none can be seen.
pid_t process_holding(dev_t device) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    const pid_t self = getpid();
    pid_t holder = 0;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = pid_from_text(entry->d_name, true);
        if (pid > 0 && pid != self && process_holds(pid, device)) {
            holder = pid;
            break;
        }
    }
    closedir(proc);
    return holder;
}

// The process named by a UUCP lock file (/var/lock/LCK..ttyUSB0), as
// terminal programs of long standing leave them: its PID in ASCII, or as a
// binary int in the oldest form. 0 when there is no such file, or its process
// is gone (a stale lock left by a crash is no holder), or it is our own.
pid_t lock_file_holder(const char* path) {
    // Every user may write in the lock folder, so the file may be anything:
    // a FIFO would hold a waiting open or read up for good, and a link may
    // lead anywhere. Opened without waiting and without following a link,
    // and read only when it is a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[32];
    struct stat info {};
    ssize_t read_back = -1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        do {
            read_back = read(fd, text, sizeof text - 1);
        } while (read_back < 0 && errno == EINTR);
    }
    close(fd);
    if (read_back < 0) {
        return 0;
    }
    const auto got = static_cast<size_t>(read_back);
    text[got] = '\0';
    pid_t pid = pid_from_text(text, false);
    if (pid == 0 && got == sizeof(std::int32_t) && (text[0] < '0' || text[0] > '9')) {
        std::int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    // Never kill(0 or less, ...): that asks about a whole group of processes.
    if (pid <= 0 || pid == getpid()) {
        return 0;
    }
    const bool alive = kill(pid, 0) == 0 || errno == EPERM;
    return alive ? pid : 0;
}

// True when another process holds `device`, the port `name` names (open in
// /proc, or by a live lock file); its PID and command are then the failure
// text. From the device number alone, so that it can be asked before the
// port is opened.
bool held_by_another(SerialPort& port, dev_t device, const char* name) {
    if (!is_real_serial_device(device)) {
        return false;
    }
    char who[128];
    if (const pid_t pid = process_holding(device)) {
        describe_process(pid, who, sizeof who);
        std::snprintf(port.failure, sizeof port.failure, "held by PID %s", who);
        return true;
    }
    // Lock files are named after the device node, whatever link was typed.
    char node[PATH_MAX];
    if (realpath(name, node) == nullptr) {
        return false;
    }
    const char* base = std::strrchr(node, '/');
    base = base != nullptr ? base + 1 : node;
    const char* const lock_dirs[] = {"/var/lock", "/run/lock"};
    for (const char* dir : lock_dirs) {
        char path[PATH_MAX + 32];
        std::snprintf(path, sizeof path, "%s/LCK..%s", dir, base);
        if (const pid_t pid = lock_file_holder(path)) {
            describe_process(pid, who, sizeof who);
            char shown[101];
            escape_bytes(shown, sizeof shown, path, static_cast<int>(std::strlen(path)));
            std::snprintf(port.failure, sizeof port.failure, "held by PID %s, lock file %s", who,
                          shown);
            return true;
        }
    }
    return false;
}

#else

// Elsewhere /proc cannot tell who holds a port.
bool held_by_another(SerialPort&, dev_t, const char*) { return false; }

#endif

} // namespace

namespace {

void on_close_timer(int) {}

// A timer whose SIGALRM cuts short a wait in the driver (tcdrain, a close on
// a stalled line). On Linux the signal goes to the waiting thread alone, so
// that several ports, each driven by a thread of its own, never take each
// other's shots; elsewhere the one process-wide interval timer, for a
// program that drives one port.
struct WaitAlarm {
#if defined(__linux__)
    timer_t timer;
    bool made;
#endif
    struct sigaction before;
};

void alarm_start(WaitAlarm& alarm, void (*handler)(int), std::uint64_t first_us,
                 std::uint64_t every_us) {
    struct sigaction quiet {};
    quiet.sa_handler = handler; // no SA_RESTART: the wait must end
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGALRM, &quiet, &alarm.before);
#if defined(__linux__)
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid)); // sigev_notify_thread_id
    alarm.made = timer_create(CLOCK_MONOTONIC, &event, &alarm.timer) == 0;
    if (alarm.made) {
        itimerspec shots{};
        shots.it_value.tv_sec = static_cast<time_t>(first_us / 1000000);
        shots.it_value.tv_nsec = static_cast<long>(first_us % 1000000 * 1000);
        shots.it_interval.tv_nsec = static_cast<long>(every_us * 1000);
        timer_settime(alarm.timer, 0, &shots, nullptr);
        return;
    }
#endif
    itimerval shots{};
    shots.it_value.tv_sec = static_cast<time_t>(first_us / 1000000);
    shots.it_value.tv_usec = static_cast<suseconds_t>(first_us % 1000000);
    shots.it_interval.tv_usec = static_cast<suseconds_t>(every_us);
    setitimer(ITIMER_REAL, &shots, nullptr);
}

void alarm_stop(WaitAlarm& alarm) {
#if defined(__linux__)
    if (alarm.made) {
        timer_delete(alarm.timer);
    } else
#endif
    {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    sigaction(SIGALRM, &alarm.before, nullptr);
}

// The queue is dropped, and a timer's signal cuts short the driver's wait for
// its transmitter to empty, which the drop does not cover (the UART's own
// FIFO, a USB transfer already sent). The descriptor is freed either way.
void close_stalled_port(SerialPort& port) {
    tcflush(fd_of(port), TCOFLUSH);
    WaitAlarm alarm{};
    alarm_start(alarm, on_close_timer, 200000, 0);
    close(fd_of(port));
    alarm_stop(alarm);
    port.output_stalled = false;
}

} // namespace

PortOpenResult port_open(SerialPort& port, const char* name) {
    // Holders are looked for before the open: opening a tty raises DTR and
    // RTS, which resets some devices and disturbs the holder's session even
    // when the port is then refused.
    struct stat named {};
    const bool looked = stat(name, &named) == 0 && S_ISCHR(named.st_mode);
    if (looked && held_by_another(port, named.st_rdev, name)) {
        return PortOpenResult::open_failed;
    }
    port.handle = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.handle < 0) {
        const int error = errno;
        note_open_failure(port, name, error);
        return error == ENOENT ? PortOpenResult::not_found : PortOpenResult::open_failed;
    }
    // Asked again only if the name has come to mean another device meanwhile.
    struct stat opened {};
    if (fstat(fd_of(port), &opened) == 0 && S_ISCHR(opened.st_mode) &&
        (!looked || opened.st_rdev != named.st_rdev) &&
        held_by_another(port, opened.st_rdev, name)) {
        return PortOpenResult::open_failed;
    }
    // select() watches descriptors below FD_SETSIZE only.
    if (fd_of(port) >= FD_SETSIZE) {
        note_failure_text(port, "too many files open (descriptor %d)", fd_of(port));
        return PortOpenResult::open_failed;
    }
    if (!lock_port(port)) {
        return PortOpenResult::open_failed;
    }

    termios tio{};
    if (tcgetattr(fd_of(port), &tio) != 0) {
        note_failure(port, errno);
        return PortOpenResult::get_state_failed;
    }
    make_binary_clean(tio);
    if (cfsetispeed(&tio, B57600) != 0 || cfsetospeed(&tio, B57600) != 0 ||
        tcsetattr(fd_of(port), TCSANOW, &tio) != 0 || !assert_modem_lines(port)) {
        note_failure(port, errno);
        return PortOpenResult::set_state_failed;
    }

    // Reads return at once with what has arrived: O_NONBLOCK already gives
    // that, and VMIN = VTIME = 0 keeps it so for anyone who clears the flag.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd_of(port), TCSANOW, &tio) != 0 || fcntl(fd_of(port), F_GETFL) < 0) {
        note_failure(port, errno);
        return PortOpenResult::timeouts_failed;
    }

#if defined(__linux__)
    // The 50 ms byte gap is the device's floor; the default 50 us timer slack
    // only ever lengthens it, so keep the slack small.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    return PortOpenResult::ok;
}

void port_close(SerialPort& port) {
    if (port.handle >= 0) {
#ifdef TIOCNXCL
        if (port.holds_exclusive) {
            ioctl(fd_of(port), TIOCNXCL);
            port.holds_exclusive = false;
        }
#endif
        if (port.output_stalled) {
            close_stalled_port(port);
        } else {
            close(fd_of(port));
        }
        port.handle = -1;
    }
}

namespace {

// 1 when the port is ready to read (or write) within timeout_ms, 0 when not,
// -1 on failure. select, not poll: macOS's poll serves no character device and
// reports POLLNVAL for every terminal.
int wait_for_port(SerialPort& port, bool to_write, int timeout_ms) {
    fd_set ports;
    int ready;
    do {
        FD_ZERO(&ports);
        FD_SET(fd_of(port), &ports);
        timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        ready = select(fd_of(port) + 1, to_write ? nullptr : &ports, to_write ? &ports : nullptr,
                       nullptr, &limit);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

void on_drain_timer(int) {}

// Waits until what was written has left the port: the driver's queue and the
// UART's transmitter (or the USB adapter's) are empty. tcdrain has no
// time-out of its own and waits for ever on a stalled line, so an interval
// timer's signal cuts it short; firing again every few milliseconds, it also
// ends a wait that began only after its first shot. False at `deadline_us`
// or on a failure (its reason noted).
bool drain_output(SerialPort& port, std::uint64_t deadline_us) {
    const std::uint64_t now = system_monotonic_us();
    const std::uint64_t left = deadline_us > now ? deadline_us - now : 1;
    WaitAlarm alarm{};
    alarm_start(alarm, on_drain_timer, left, 2000);
    int drained;
    int error = 0;
    do {
        drained = tcdrain(fd_of(port));
        error = drained == 0 ? 0 : errno;
    } while (drained != 0 && error == EINTR && system_monotonic_us() < deadline_us);
    alarm_stop(alarm);
    // A program that a busy machine woke late finds the time up though the
    // driver had all of it: what the driver still holds decides.
    int queued = -1;
    if (drained != 0 && error == EINTR && ioctl(fd_of(port), TIOCOUTQ, &queued) == 0 &&
        queued == 0) {
        drained = 0;
    }
    if (drained != 0 && error != EINTR) {
        // A port that has gone says so here as on a write. A port that cannot
        // be drained at all is sent to as the driver takes the bytes.
        if (error != EIO && error != ENXIO && error != ENODEV) {
            return true;
        }
        note_failure(port, error);
    } else if (drained != 0) {
        note_failure_text(port,
                          "the byte had not left the port after %d ms (held back by flow "
                          "control, or the adapter has stalled)",
                          write_timeout_ms);
        port.output_stalled = true;
    }
    return drained == 0;
}

// 1 when the driver took the byte, 0 when its queue is full, -1 on failure.
int try_write(SerialPort& port, std::uint8_t byte) {
    ssize_t written;
    do {
        written = write(fd_of(port), &byte, 1);
    } while (written < 0 && errno == EINTR);
    if (written == 1) {
        return 1;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        note_failure(port, errno);
        return -1;
    }
    return 0;
}

} // namespace

bool port_write_byte(SerialPort& port, std::uint8_t byte) {
    const std::uint64_t deadline = system_monotonic_us() + write_timeout_ms * std::uint64_t{1000};
    int result = try_write(port, byte);
    if (result == 0) {
        // The output queue is full: give the driver a bounded time to drain.
        // A hung-up port counts as writable, and the write then fails.
        const int ready = wait_for_port(port, true, write_timeout_ms);
        if (ready > 0) {
            result = try_write(port, byte);
        } else if (ready < 0) {
            note_failure(port, errno);
            return false;
        }
        if (result == 0) {
            note_failure_text(port,
                              "the driver took no byte for %d ms (held back by flow control, "
                              "or the adapter has stalled)",
                              write_timeout_ms);
        }
    }
    // A byte the driver would not take is a lost byte of a frame: a failure,
    // never a silent drop.
    port.output_stalled = port.output_stalled || result == 0;
    // Taken by the driver is not yet sent: on a USB adapter the byte may
    // wait there for a while, and the device's gap starts only when it has
    // left. One still there at the write limit is the same failure.
    return result == 1 && drain_output(port, deadline);
}

int port_read(SerialPort& port, std::uint8_t* buffer, int capacity) {
    // A quiet device is a port with nothing to read; a vanished adapter is a
    // port that reads as ready and then gives 0 bytes (end of file) or fails.
    // That test holds on every POSIX system; macOS's poll could not make it.
    const int ready = wait_for_port(port, false, 0);
    if (ready <= 0) {
        if (ready < 0) {
            note_failure(port, errno);
        }
        return ready;
    }
    ssize_t got;
    do {
        got = read(fd_of(port), buffer, static_cast<size_t>(capacity));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        note_failure(port, errno);
        return -1;
    }
    if (got == 0) {
        note_failure_text(port,
                          "the port has gone (the adapter was unplugged or the line hung up)");
        return -1;
    }
    return static_cast<int>(got);
}

int port_read_within(SerialPort& port, std::uint8_t* buffer, int capacity, unsigned timeout_ms) {
    int got = port_read(port, buffer, capacity);
    if (got != 0) {
        return got;
    }
    // A signal cuts select short; wait only for what is left of the time.
    const std::uint64_t deadline = system_monotonic_us() + timeout_ms * std::uint64_t{1000};
    for (;;) {
        const std::uint64_t now = system_monotonic_us();
        if (now >= deadline) {
            return 0;
        }
        fd_set ports;
        FD_ZERO(&ports);
        FD_SET(fd_of(port), &ports);
        const std::uint64_t left = deadline - now;
        timeval limit{static_cast<time_t>(left / 1000000),
                      static_cast<suseconds_t>(left % 1000000)};
        const int ready = select(fd_of(port) + 1, &ports, nullptr, nullptr, &limit);
        if (ready > 0) {
            return port_read(port, buffer, capacity);
        }
        if (ready < 0 && errno != EINTR) {
            note_failure(port, errno);
            return -1;
        }
    }
}

void port_discard_input(SerialPort& port) { tcflush(fd_of(port), TCIFLUSH); }
