#include "console/console.h"

#include <cstdarg>
#include <cstring>

#include "console/text_line.h"
#include "platform/platform.h"

namespace {
FILE* out_stream = nullptr;
FILE* in_stream = nullptr;
char error_text[1024];

// The questions are fixed texts of a few lines.
constexpr int QUESTION_SIZE = 1024;

bool editing = false;
// What is left of the line the editor read last, when the buffer that read it
// was too small: the next reads take it, as they would from a pipe.
const char* rest = nullptr;
int rest_length = 0;

int take_rest(char* buf, int size) {
    if (buf == nullptr || size < 1) return CON_END_OF_INPUT;
    int n = text_take_line(
        []() -> int {
            if (rest_length == 0) return EOF;
            --rest_length;
            return static_cast<unsigned char>(*rest++);
        },
        [](int) {
            --rest;
            ++rest_length;
        },
        buf, size);
    if (rest_length == 0) rest = nullptr;
    return n == 0 ? CON_END_OF_INPUT : n;
}

// An answer takes its line whole: what did not fit in the buffer is dropped
// (the editor's line is one line, so nothing of it is left).
int take_answer(char* buf, int size) {
    int n = take_rest(buf, size);
    rest = nullptr;
    rest_length = 0;
    return n;
}

bool is_blank(const char* line) {
    for (const char* p = line; *p != '\0' && *p != '\n'; ++p) {
        if (*p != ' ' && *p != '\t') return false;
    }
    return true;
}
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

void con_edit_start(edit_completer completer) { editing = edit_start(con_input(), con_output(), completer); }

void con_edit_end() {
    if (editing) edit_end();
    editing = false;
    rest = nullptr;
    rest_length = 0;
}

int con_read_command(const char* prompt, char* buf, int size) {
    if (!editing || rest != nullptr) {
        con_print("%s", prompt);
        return editing ? take_rest(buf, size) : con_read_line(buf, size);
    }
    if (buf == nullptr || size < 1) return CON_END_OF_INPUT;
    int length = 0;
    const char* line = edit_read(prompt, &length);
    if (line == nullptr) return CON_END_OF_INPUT;
    // The history holds the line as typed ('.' as '.'), never a blank one.
    if (!is_blank(line)) edit_remember(line);
    rest = line;
    rest_length = length;
    return take_rest(buf, size);
}

int con_ask(char* buf, int size, const char* format, ...) {
    char question[QUESTION_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(question, sizeof question, format, args);
    va_end(args);
    if (!editing || rest != nullptr) {
        con_print("%s", question);
        return editing ? take_answer(buf, size) : con_read_answer(buf, size);
    }
    // Its last line is the editor's prompt.
    const char* last_line = std::strrchr(question, '\n');
    const char* prompt = last_line != nullptr ? last_line + 1 : question;
    con_print("%.*s", static_cast<int>(prompt - question), question);
    if (buf == nullptr || size < 1) return CON_END_OF_INPUT;
    int length = 0;
    const char* line = edit_read(prompt, &length);
    if (line == nullptr) return CON_END_OF_INPUT;
    rest = line;
    rest_length = length;
    return take_answer(buf, size);
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
