#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/interrupt_win32.h"

namespace {
std::atomic<bool> interrupted{false};
bool catching = false;
// The program's thread, whose synchronous read the handler cancels.
HANDLE program_thread = nullptr;
// A read is under way on the program's thread (guarded by read_lock), and
// the program has seen the flag, so the handler stops cancelling.
SRWLOCK read_lock = SRWLOCK_INIT;
bool reading = false;
std::atomic<bool> seen{false};
std::atomic<int> handlers{0};

// How long the handler goes on cancelling a read begun before the program
// saw the flag, and how often it tries: the flag and the start of a read may
// cross, so a cancel can find nothing to cancel once.
constexpr int CANCEL_TRIES = 500;
constexpr DWORD CANCEL_EVERY_MS = 10;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;  // Ctrl-Break, closing the console: as the system has them
    ++handlers;
    interrupted = true;
    for (int i = 0; i < CANCEL_TRIES && !seen; ++i) {
        AcquireSRWLockExclusive(&read_lock);
        if (reading) CancelSynchronousIo(program_thread);
        ReleaseSRWLockExclusive(&read_lock);
        Sleep(CANCEL_EVERY_MS);
    }
    --handlers;
    return TRUE;
}
}  // namespace

void plat_interrupt_catch(bool on) {
    interrupted = false;
    seen = false;
    if (on == catching) return;
    if (on) {
        if (program_thread == nullptr) program_thread = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
        // A program started with Ctrl-C ignored (CREATE_NEW_PROCESS_GROUP, or
        // SetConsoleCtrlHandler(NULL, TRUE) of its parent) never sees the
        // event, so the handler changes nothing for it.
        catching = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
        return;
    }
    SetConsoleCtrlHandler(on_console_event, FALSE);
    catching = false;
    // A handler still cancelling could hit a read of the console next: it
    // is told to stop, and the program waits for it.
    seen = true;
    for (int i = 0; i < CANCEL_TRIES && handlers > 0; ++i) Sleep(1);
    interrupted = false;
}

bool plat_interrupted() {
    if (!interrupted) return false;
    seen = true;
    return true;
}

void plat_interrupt_raise() { interrupted = true; }

bool win_interrupt_read_begin() {
    AcquireSRWLockExclusive(&read_lock);
    bool go = !plat_interrupted();
    reading = go;
    ReleaseSRWLockExclusive(&read_lock);
    return go;
}

void win_interrupt_read_end() {
    AcquireSRWLockExclusive(&read_lock);
    reading = false;
    ReleaseSRWLockExclusive(&read_lock);
}

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

int64_t plat_os_clock_us() {
    // The counter's frequency is fixed at boot; it never steps back.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    int64_t ticks = static_cast<int64_t>(now.QuadPart);
    // Whole seconds and the rest apart, so the product cannot overflow.
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

// Sleep(n) ends between n and about n + 1 ms late while the system timer runs
// at 1 ms (the serial port asks for that while it is open; at the default
// 15.6 ms it could end a whole tick late). So the wait sleeps in whole
// milliseconds until 3 ms are left, then gives up the rest of its time slice
// (Sleep(0)) until the deadline: it keeps the processor only when no other
// thread wants it, and then for less than 3 ms.
void plat_os_sleep_until_us(int64_t deadline_us) {
    constexpr int64_t SLEEP_MARGIN_US = 3000;
    for (;;) {
        int64_t left = deadline_us - plat_os_clock_us();
        if (left <= 0) return;
        if (left > SLEEP_MARGIN_US) {
            Sleep(static_cast<DWORD>((left - SLEEP_MARGIN_US) / 1000 + 1));
        } else {
            Sleep(0);
        }
    }
}

void plat_abnormal_end() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::abort();
}
