#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "platform/platform.h"

namespace {
int saved_error = 0;
// A fuller text for saved_error (empty: the system's own).
char saved_text[1024];

volatile sig_atomic_t interrupted = 0;
bool catching = false;
struct sigaction before_catch {};

void on_interrupt(int) { interrupted = 1; }
}  // namespace

void plat_interrupt_catch(bool on) {
    if (on == catching) {
        interrupted = 0;
        return;
    }
    if (!on) {
        sigaction(SIGINT, &before_catch, nullptr);
        catching = false;
        interrupted = 0;
        return;
    }
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the wait under way ends with EINTR and looks at the flag.
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, &before_catch) != 0) return;
    // Started with Ctrl-C ignored (in the background by a script): it stays so.
    if (before_catch.sa_handler == SIG_IGN) {
        sigaction(SIGINT, &before_catch, nullptr);
        return;
    }
    catching = true;
}

bool plat_interrupted() { return interrupted != 0; }

void plat_interrupt_raise() { interrupted = 1; }

int plat_last_error() { return saved_error; }

void plat_save_error(int code) {
    saved_error = code;
    saved_text[0] = '\0';
}

void plat_save_error_text(int code, const char* text) {
    saved_error = code;
    std::snprintf(saved_text, sizeof saved_text, "%s", text != nullptr ? text : "");
}

void plat_last_error_text(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return;
    if (saved_text[0] == '\0') {
        plat_error_text(saved_error, buf, size);
        return;
    }
    std::snprintf(buf, size, "%s", saved_text);
}

void plat_error_text(int code, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return;
    buf[0] = '\0';
    if (code == 0) return;
    // The XSI strerror_r fills buf; the GNU one may return a static text instead.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(code, buf, size);
    if (text != buf) std::snprintf(buf, size, "%s", text);
#else
    if (strerror_r(code, buf, size) != 0) buf[0] = '\0';
#endif
    buf[size - 1] = '\0';
}

bool plat_is_terminal(FILE* stream) {
    if (stream == nullptr) return false;
    int fd = fileno(stream);
    return fd >= 0 && isatty(fd) == 1;
}

bool plat_port_path(const char* word) { return word != nullptr && word[0] == '/'; }

void plat_os_sleep_ms(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t plat_os_clock_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t plat_os_clock_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void plat_os_sleep_until_us(int64_t deadline_us) {
    if (deadline_us <= 0) return;
    timespec ts{static_cast<time_t>(deadline_us / 1000000), static_cast<long>(deadline_us % 1000000) * 1000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void plat_abnormal_end() {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(3);
}
