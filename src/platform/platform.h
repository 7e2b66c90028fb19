// The operating-system services the program needs besides the serial port:
// the system's last error and its text, a pause, a clock, and the abnormal
// end. Tests replace the pause and the clock through the hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The system's error code of the last failing call (GetLastError on Windows; on
// POSIX the errno that the failing call left, saved with plat_save_error).
int plat_last_error();
// POSIX: remember errno of a failing call so that the message printed later
// shows its text even if other calls ran in between. Windows: SetLastError.
void plat_save_error(int code);
// The system's text for an error code, without the line feed that ends it,
// always terminated within size bytes; empty when the system has none.
void plat_error_text(int code, char* buf, size_t size);
// POSIX: plat_save_error with a text of its own that says more than the
// system's (which device an open tried, who may use it); it stands until the
// next error is saved. Windows: SetLastError, the text is the system's.
void plat_save_error_text(int code, const char* text);
// The text of the last error: the one saved with it, else the system's.
void plat_last_error_text(char* buf, size_t size);

// Whether a stream reads from a terminal (a console on Windows), where an end
// of input is a key the operator pressed, not the end of everything: isatty /
// _isatty. false for streams without a descriptor (memory streams).
bool plat_is_terminal(FILE* stream);

// Whether a command's port argument names the serial device by its path
// rather than as COMn: on POSIX systems a path that begins with '/'
// ("/dev/ttyUSB0"). Windows names its ports COMn only.
bool plat_port_path(const char* word);

// Pause for ms milliseconds (Sleep / nanosleep), unless a test hook is set.
void plat_sleep_ms(uint32_t ms);
using plat_sleep_hook = void (*)(uint32_t ms);
void plat_set_sleep_hook(plat_sleep_hook hook);  // nullptr restores the real pause

// Milliseconds on a clock that never steps back (CLOCK_MONOTONIC /
// GetTickCount64), from an arbitrary start, unless a test hook is set. Every
// time limit and elapsed time of the program is measured on it.
int64_t plat_clock_ms();
using plat_clock_hook = int64_t (*)();
void plat_set_clock_hook(plat_clock_hook hook);  // nullptr restores the real clock

// Microseconds on the same clock, for waits that must end within a
// millisecond of their time (CLOCK_MONOTONIC / QueryPerformanceCounter; the
// millisecond clock of Windows moves in steps of up to 16 ms). Sleeps until
// the clock reaches deadline_us; it ends at most about a millisecond late and
// keeps a processor busy only for the last moment of the wait, if at all. A
// test sets both hooks together: a clock it drives, and a sleep that moves it.
int64_t plat_clock_us();
void plat_sleep_until_us(int64_t deadline_us);
using plat_clock_us_hook = int64_t (*)();
using plat_sleep_until_hook = void (*)(int64_t deadline_us);
// nullptr for both restores the real clock and sleep.
void plat_set_fine_clock_hooks(plat_clock_us_hook clock, plat_sleep_until_hook sleep);

// The operator's Ctrl-C while a serial operation runs. Between
// plat_interrupt_catch(true) and plat_interrupt_catch(false) Ctrl-C does not
// end the program: it raises a flag that the serial backend's reads look at
// (a read under way returns at once with what it has, and so does every read
// after it) and that plat_interrupted() gives. Outside, and when the program
// was started with Ctrl-C ignored, Ctrl-C keeps what the system does with it
// (the program ends). POSIX: a SIGINT handler; Windows: a console control
// handler for CTRL_C_EVENT (Ctrl-Break and closing the console stay as they
// are). Catching again lowers the flag.
void plat_interrupt_catch(bool on);
bool plat_interrupted();
// As if the operator had pressed Ctrl-C now, caught or not (tests).
void plat_interrupt_raise();

// Ends the process abnormally: exit status 3. Windows goes through abort(),
// whose runtime notice and status 3 are the platform's own; POSIX would end by
// signal there, so it leaves with _exit(3) after flushing the standard streams.
[[noreturn]] void plat_abnormal_end();

// Operating-system implementations behind the hooks (posix/ or win32/).
void plat_os_sleep_ms(uint32_t ms);
int64_t plat_os_clock_ms();
int64_t plat_os_clock_us();
void plat_os_sleep_until_us(int64_t deadline_us);
