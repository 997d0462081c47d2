// What a serial port's driver says to the calls tolvaner makes, before and
// after the device behind it goes away: for each line on standard input, one
// line on standard output with what poll, a read and tcflush return (and a
// write, for a line "write"). The VM tests run it beside tolvaner and record
// the answers of each driver.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

std::string result(long value) {
    return value >= 0 ? std::to_string(value) : std::string("-1 ") + strerrorname_np(errno);
}

std::string events(short revents) {
    std::string names;
    for (const auto& [bit, name] :
         {std::pair{POLLIN, "IN"}, std::pair{POLLOUT, "OUT"}, std::pair{POLLHUP, "HUP"},
          std::pair{POLLERR, "ERR"}, std::pair{POLLNVAL, "NVAL"}}) {
        if ((revents & bit) != 0) {
            names += names.empty() ? name : std::string("|") + name;
        }
    }
    return names.empty() ? "none" : names;
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
