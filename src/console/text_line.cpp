#include "console/text_line.h"

int text_read_line(FILE* file, char* buf, int size) {
    return text_take_line([file] { return std::getc(file); }, [file](int c) { std::ungetc(c, file); }, buf, size);
}
