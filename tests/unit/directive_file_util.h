// Helpers of the parser tests: a directive file in a temporary place, and the
// console output of a call captured as bytes.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "shell/console.h"

class temp_file {
public:
    explicit temp_file(const std::string& content) {
        char name[] = "/tmp/qv-directive-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            FILE* f = fdopen(fd, "wb");
            if (f != nullptr) {
                std::fwrite(content.data(), 1, content.size(), f);
                std::fclose(f);
            }
        }
    }
    ~temp_file() { std::remove(path_.c_str()); }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

// Runs fn with the console output going to memory; returns what it printed.
template <typename F>
std::string capture_output(F fn) {
    char* buf = nullptr;
    size_t size = 0;
    FILE* mem = open_memstream(&buf, &size);
    con_set_output(mem);
    fn();
    con_set_output(nullptr);
    std::fclose(mem);
    std::string out(buf, size);
    std::free(buf);
    return out;
}
