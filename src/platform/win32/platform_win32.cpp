#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

int plat_last_error() { return static_cast<int>(GetLastError()); }

void plat_save_error(int code) { SetLastError(static_cast<DWORD>(code)); }

void plat_save_error_text(int code, const char*) { plat_save_error(code); }

void plat_error_text(int code, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return;
    buf[0] = '\0';
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                             static_cast<DWORD>(size), nullptr);
    if (n == 0) {
        buf[0] = '\0';
        return;
    }
    if (n >= size) n = static_cast<DWORD>(size - 1);
    // The system's texts end with a line feed: drop that one character only, so a
    // carriage return before it stays.
    buf[n - 1] = '\0';
}

bool plat_is_terminal(FILE* stream) {
    if (stream == nullptr) return false;
    int fd = _fileno(stream);
    return fd >= 0 && _isatty(fd) != 0;
}

bool plat_port_path(const char*) { return false; }

void plat_last_error_text(char* buf, size_t size) { plat_error_text(plat_last_error(), buf, size); }

void plat_os_sleep_ms(uint32_t ms) { Sleep(ms); }

int64_t plat_os_clock_ms() { return static_cast<int64_t>(GetTickCount64()); }

void plat_abnormal_end() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::abort();
}
