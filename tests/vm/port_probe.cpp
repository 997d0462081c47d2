// What a serial port's driver says to the calls tolvaner makes, before and
// after the device behind it goes away: for each line on standard input, one
// line on standard output with what poll, a read and tcflush return (and a
// write, for a line "write"). A line "modem" answers only with the modem lines
// set, a line "dtr-off" drops DTR first, and a line "fill" answers only with
// how many bytes the driver took before it took none for a second. The VM tests run it beside
// tolvaner and record the answers of each driver.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string result(long value) {
    return value >= 0 ? std::to_string(value) : std::string("-1 ") + strerrorname_np(errno);
}

// The names of the bits set, joined by "|".
std::string names_of(int bits, std::initializer_list<std::pair<int, const char*>> names) {
    std::string set;
    for (const auto& [bit, name] : names) {
        if ((bits & bit) != 0) {
            set += set.empty() ? name : std::string("|") + name;
        }
    }
    return set.empty() ? "none" : set;
}

std::string events(short revents) {
    return names_of(
        revents,
        {{POLLIN, "IN"}, {POLLOUT, "OUT"}, {POLLHUP, "HUP"}, {POLLERR, "ERR"}, {POLLNVAL, "NVAL"}});
}

std::string modem_lines(int fd) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        return result(-1);
    }
    return names_of(lines, {{TIOCM_DTR, "DTR"},
                            {TIOCM_RTS, "RTS"},
                            {TIOCM_CTS, "CTS"},
                            {TIOCM_DSR, "DSR"},
                            {TIOCM_CD, "CD"},
                            {TIOCM_RI, "RI"}});
}

// Writes until the driver takes no byte at all, even after a second's wait:
// a line whose far end has stopped reading. Only then does a write of one
// byte fail; poll calls a queue full well before that.
long fill(int fd) {
    static const unsigned char block[256] = {};
    long taken = 0;
    for (int refused = 0; refused < 2;) {
        const ssize_t wrote = write(fd, block, sizeof block);
        if (wrote > 0) {
            taken += wrote;
            refused = 0;
        } else if (wrote < 0 && errno != EAGAIN) {
            return -1;
        } else if (++refused < 2) {
            usleep(1000000);
        }
    }
    return taken;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: port-probe PORT\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("open -1 %s\n", strerrorname_np(errno));
        return 1;
    }
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const bool drop_dtr = std::strncmp(line, "dtr-off", 7) == 0;
        if (drop_dtr) {
            const int dtr = TIOCM_DTR;
            ioctl(fd, TIOCMBIC, &dtr);
        }
        if (drop_dtr || std::strncmp(line, "modem", 5) == 0 || std::strncmp(line, "fill", 4) == 0) {
            std::printf("%s\n",
                        line[0] == 'f' ? result(fill(fd)).c_str() : modem_lines(fd).c_str());
            std::fflush(stdout);
            continue;
        }
        pollfd p{fd, POLLIN | POLLOUT, 0};
        const int ready = poll(&p, 1, 0);
        std::string said = "poll " + std::to_string(ready) + " " + events(p.revents);
        unsigned char byte = 0;
        said += ", read " + result(read(fd, &byte, 1));
        if (std::strncmp(line, "write", 5) == 0) {
            said += ", write " + result(write(fd, &byte, 1));
        }
        said += ", tcflush " + result(tcflush(fd, TCIOFLUSH));
        std::printf("%s\n", said.c_str());
        std::fflush(stdout);
    }
    return 0;
}
