// Runs a program with the given text on its standard input and its output
// thrown away, and prints how long it ran and its peak resident memory:
//   WALL_US PEAK_RSS_KIB EXIT_STATUS
// Started from this small program rather than from the bench script, so the
// peak memory is the program's own: a child forked from a large process
// inherits that process's memory high-water mark.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
long long now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qv-run-timer INPUT PROGRAM [ARG]...\n");
        return 2;
    }
    int in[2];
    if (pipe(in) != 0) {
        std::fprintf(stderr, "qv-run-timer: no pipe: %s\n", std::strerror(errno));
        return 1;
    }
    long long start = now_us();
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "qv-run-timer: no fork: %s\n", std::strerror(errno));
        close(in[0]);
        close(in[1]);
        return 1;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(in[0], 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
        close(in[0]);
        close(in[1]);
        close(null);
        execv(argv[2], argv + 2);
        _exit(127);
    }
    close(in[0]);
    size_t left = std::strlen(argv[1]);
    const char* text = argv[1];
    while (left > 0) {
        ssize_t n = write(in[1], text, left);
        if (n <= 0) break;
        text += n;
        left -= static_cast<size_t>(n);
    }
    close(in[1]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::fprintf(stderr, "qv-run-timer: wait failed: %s\n", std::strerror(errno));
        return 1;
    }
    long long took = now_us() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%lld %ld %d\n", took, usage.ru_maxrss, code);
    return 0;
}
