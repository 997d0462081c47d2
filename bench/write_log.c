// Preloaded into a long-running program (LD_PRELOAD): notes the monotonic
// time of every one-byte write() to a descriptor above 2 (a paced byte to a
// port) as a line "<ns> <fd>" appended to the file named by BENCH_WRITE_LOG
// at once. Unlike syscall_log.c it keeps nothing in memory, so the
// program's resident memory stays as it is, and it is safe from any thread:
// each line is one write() to a descriptor opened with O_APPEND. The cost is
// a clock read and one more system call per paced byte.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int log_fd = -1;

__attribute__((constructor)) static void open_log(void) {
    const char* path = getenv("BENCH_WRITE_LOG");
    if (path != NULL) {
        log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static ssize_t (*real)(int, const void*, size_t);
    if (!real) {
        real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    }
    if (count == 1 && fd > 2 && log_fd >= 0 && fd != log_fd) {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        char line[48];
        int n = snprintf(line, sizeof line, "%lld %d\n", (long long)t.tv_sec * 1000000000LL + t.tv_nsec, fd);
        syscall(SYS_write, log_fd, line, (size_t)n);
    }
    return real(fd, buffer, count);
}
