#include "common/text_file.h"

#include <cerrno>
#include <cstring>

FILE* text_file_open(const char* path) {
    if (path == nullptr) return nullptr;
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return nullptr;
    int c = std::getc(file);
    if (c == EOF) {
        if (std::ferror(file)) {
            std::fclose(file);
            return nullptr;
        }
        // Empty: the end is found again by the first real read.
        std::clearerr(file);
    } else {
        std::ungetc(c, file);
    }
    return file;
}

const char* text_file_error(int error_code) {
    // A read that failed without saying why is still an input/output error.
    return std::strerror(error_code != 0 ? error_code : EIO);
}
