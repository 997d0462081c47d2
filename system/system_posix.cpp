// The system on POSIX: Linux, macOS and the BSDs.
#include "system/system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

void system_guard_standard_streams() {
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

namespace {

// Whether `file` is the character device `path` names (nullptr: the one
// standard error is on).
bool is_device(const struct stat& file, const char* path) {
    struct stat device {};
    const int found = path != nullptr ? stat(path, &device) : fstat(STDERR_FILENO, &device);
    return found == 0 && S_ISCHR(device.st_mode) && device.st_rdev == file.st_rdev;
}

// Why a trace may not go to `file`, or nullptr when it may: a regular file, a
// pipe, the null device (and /dev/full, which fails every write, to try that
// out), or the terminal standard error is on.
const char* unfit_for_trace(const struct stat& file) {
    if (S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode)) {
        return nullptr;
    }
    if (!S_ISCHR(file.st_mode) && !S_ISBLK(file.st_mode)) {
        return "neither a file nor a pipe";
    }
    if (S_ISCHR(file.st_mode) && (is_device(file, "/dev/null") || is_device(file, "/dev/full") ||
                                  (isatty(STDERR_FILENO) == 1 && is_device(file, nullptr)))) {
        return nullptr;
    }
    return "a device (a serial port, a terminal), where no trace may go: give a file, a pipe, "
           "/dev/null, or - for standard error";
}

} // namespace

namespace {

// Keeps why the trace could not be opened in `why`.
[[gnu::format(printf, 3, 4)]] void note_why(char* why, int capacity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(why, static_cast<size_t>(capacity), format, arguments);
    va_end(arguments);
}

} // namespace

std::FILE* system_open_trace(const char* path, char* why_text, int why_capacity) {
    // Looked at before it is opened: a serial port opened even for a moment
    // has its DTR and RTS raised. A name that does not exist yet is a file
    // to make.
    struct stat named {};
    if (stat(path, &named) == 0 && (S_ISCHR(named.st_mode) || S_ISBLK(named.st_mode))) {
        if (const char* why = unfit_for_trace(named)) {
            note_why(why_text, why_capacity, "%s", why);
            return nullptr;
        }
    }
    // Without waiting (a port may wait for a carrier) and without taking a
    // controlling terminal.
    const int fd =
        open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == ENXIO && S_ISFIFO(named.st_mode)) {
            note_why(why_text, why_capacity, "%s: a named pipe that no program reads",
                     std::strerror(error));
        } else {
            note_why(why_text, why_capacity, "%s", std::strerror(error));
        }
        return nullptr;
    }
    // The name may have come to mean something else meanwhile.
    struct stat opened {};
    const char* why = fstat(fd, &opened) == 0 ? unfit_for_trace(opened) : std::strerror(errno);
    // Lines then wait for a slow disk, pipe or terminal, as standard output's do.
    const int flags = fcntl(fd, F_GETFL);
    if (why == nullptr && (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        why = std::strerror(errno);
    }
    std::FILE* file = why == nullptr ? fdopen(fd, "a") : nullptr;
    if (file == nullptr) {
        note_why(why_text, why_capacity, "%s", why != nullptr ? why : std::strerror(errno));
        close(fd);
    }
    return file;
}

namespace {

// The one flag a signal handler sets: the number of the signal that came
// while the program waited for one (system_sleep_or_interrupted). Lock-free,
// so that the handler may set it and every thread see it.
std::atomic<int> signal_noted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int number) { signal_noted.store(number); }

constexpr int held_signals[] = {SIGINT, SIGTERM};
constexpr int held_signal_count = 2;

// Held means blocked: a signal that comes stays pending, acts on nothing,
// and cuts no system call short. Only the wait of system_sleep_or_
// interrupted lets it in, to the handler above, atomically with the wait.
// The dispositions and the count of holds belong to the process, under
// `lock`, so that threads may hold and release; the mask belongs to a
// thread: the outermost hold blocks the signals in the thread that makes it,
// and a thread started from there inherits that. Pending signals and the
// flag are seen from every thread.
struct SignalHold {
    std::mutex lock;
    int depth;
    sigset_t mask_before; // the mask the outermost hold found
    struct sigaction found[held_signal_count];
};
SignalHold hold;

bool ignored_from_start(int index) { return hold.found[index].sa_handler == SIG_IGN; }

} // namespace

void system_hold_signals() {
    const std::lock_guard<std::mutex> locked(hold.lock);
    if (hold.depth++ > 0) {
        return;
    }
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : held_signals) {
        sigaddset(&set, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &set, &hold.mask_before);
    struct sigaction noting {};
    noting.sa_handler = on_signal;
    sigemptyset(&noting.sa_mask);
    // A write to standard output that the signal meets (a full pipe) goes
    // on rather than failing and losing a line.
    noting.sa_flags = SA_RESTART;
    for (int i = 0; i < held_signal_count; ++i) {
        sigaction(held_signals[i], nullptr, &hold.found[i]);
        if (!ignored_from_start(i)) {
            sigaction(held_signals[i], &noting, nullptr);
        }
    }
}

void system_release_signals() {
    const std::lock_guard<std::mutex> locked(hold.lock);
    if (hold.depth == 0 || --hold.depth > 0) {
        return;
    }
    for (int i = 0; i < held_signal_count; ++i) {
        sigaction(held_signals[i], &hold.found[i], nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &hold.mask_before, nullptr);
}

int system_held_signal() {
    if (const int noted = signal_noted.load()) {
        return noted;
    }
    const std::lock_guard<std::mutex> locked(hold.lock);
    if (hold.depth == 0) {
        return 0;
    }
    // Blocked, even an ignored signal is kept pending: it is not one of ours.
    sigset_t pending;
    sigpending(&pending);
    for (int i = 0; i < held_signal_count; ++i) {
        if (!ignored_from_start(i) && sigismember(&pending, held_signals[i]) == 1) {
            return held_signals[i];
        }
    }
    return 0;
}

void system_end_by_signal(int signal_number) {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    sigemptyset(&by_default.sa_mask);
    sigaction(signal_number, &by_default, nullptr);
    // Still blocked: raised, it is pending (again, if the handler took it),
    // and acts the moment it is let in.
    raise(signal_number);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::_Exit(128 + signal_number); // not reached
}

bool system_sleep_or_interrupted(unsigned milliseconds) {
    const std::uint64_t deadline = system_monotonic_us() + milliseconds * std::uint64_t{1000};
    // While held, pselect lets the signals in only for the wait itself: one
    // that came after the last look, or comes during the wait, ends it.
    // Unheld, nothing can end it early.
    while (system_held_signal() == 0) {
        const std::uint64_t now = system_monotonic_us();
        if (now >= deadline) {
            break;
        }
        const std::uint64_t left = deadline - now;
        timespec rest{};
        rest.tv_sec = static_cast<time_t>(left / 1000000);
        rest.tv_nsec = static_cast<decltype(rest.tv_nsec)>(left % 1000000) * 1000;
        bool held = false;
        sigset_t during{};
        {
            const std::lock_guard<std::mutex> locked(hold.lock);
            held = hold.depth > 0;
            during = hold.mask_before;
        }
        if (held) {
            pselect(0, nullptr, nullptr, nullptr, &rest, &during);
        } else {
            nanosleep(&rest, nullptr);
        }
    }
    return system_held_signal() != 0;
}

bool system_stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

void system_pause_ms(unsigned milliseconds) {
    timespec rest{};
    rest.tv_sec = static_cast<time_t>(milliseconds / 1000);
    rest.tv_nsec = static_cast<decltype(rest.tv_nsec)>(milliseconds % 1000) * 1000000;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

std::uint64_t system_monotonic_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}

WallTime system_wall_time() {
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
