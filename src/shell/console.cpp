#include "shell/console.h"

#include <cstdarg>

#include "common/text_file.h"
#include "platform/platform.h"

namespace {
FILE* out_stream = nullptr;
FILE* in_stream = nullptr;
char error_text[1024];
}  // namespace

FILE* con_output() { return out_stream != nullptr ? out_stream : stdout; }
void con_set_output(FILE* stream) { out_stream = stream; }
FILE* con_input() { return in_stream != nullptr ? in_stream : stdin; }
void con_set_input(FILE* stream) { in_stream = stream; }

int con_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(con_output(), format, args);
    va_end(args);
    return n;
}

int con_read_line(char* buf, int size) {
    if (buf == nullptr || size < 1) return CON_END_OF_INPUT;
    int n = text_read_line(con_input(), buf, size);
    return n == 0 ? CON_END_OF_INPUT : n;
}

int con_read_answer(char* buf, int size) {
    int n = con_read_line(buf, size);
    FILE* in = con_input();
    if (n > 0 && buf[n - 1] != '\n') {
        int c;
        do {
            c = std::getc(in);
        } while (c != EOF && c != '\n');
    }
    // On a terminal the end of input (Ctrl-D, Ctrl-Z) answers this question
    // only: the next prompt reads the terminal again. A pipe or a file has
    // ended for good, and the next prompt finds that out.
    if (std::feof(in) && plat_is_terminal(in)) std::clearerr(in);
    return n;
}

const char* sys_error_text() {
    plat_last_error_text(error_text, sizeof error_text);
    return error_text;
}

void fatal_exit(int code, const char* message) {
    int system_code = plat_last_error();
    if (message != nullptr) std::fputs(message, stderr);
    std::fprintf(stderr, "Return code %d, system error code %d\n", code, system_code);
    std::fflush(stderr);
    if (code != 0) {
        plat_sleep_ms(5000);
        plat_abnormal_end();
    }
}
