// Collects everything the console prints while it is alive, through a memory
// stream that stands in for standard output.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "shell/console.h"

class out_capture {
public:
    out_capture() {
        stream_ = open_memstream(&data_, &size_);
        con_set_output(stream_);
    }
    ~out_capture() {
        con_set_output(nullptr);
        if (stream_ != nullptr) std::fclose(stream_);
        std::free(data_);
    }
    out_capture(const out_capture&) = delete;
    out_capture& operator=(const out_capture&) = delete;

    FILE* stream() const { return stream_; }

    // The text so far; the capture goes on.
    std::string text() {
        std::fflush(stream_);
        return std::string(data_ != nullptr ? data_ : "", size_);
    }

    // The text since the last take, or since the start.
    std::string take() {
        std::string t = text();
        std::string fresh = t.substr(mark_);
        mark_ = t.size();
        return fresh;
    }

private:
    FILE* stream_ = nullptr;
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t mark_ = 0;
};
