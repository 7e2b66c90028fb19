// The one way the unit tests look at the console: for the life of an
// out_capture, everything the console prints goes to memory, and, when it is
// given an input text, the console reads its lines from that text (an empty
// one is the end of input at once). Both streams go back to the process's own
// when it ends.
//
//   out_capture out;                      out_capture out("yes\nno\n");
//   conf_display();                       cmd_download();
//   EXPECT_EQ(out.text(), "...");         EXPECT_EQ(out.take(), "...");
//
//   std::string printed = capture_output([&] { rc = conf_process(path); });
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/console.h"

class out_capture {
public:
    out_capture() {
        stream_ = open_memstream(&data_, &size_);
        con_set_output(stream_);
    }
    explicit out_capture(const std::string& input) : out_capture() {
        input_text_ = input;
        input_ = input_text_.empty() ? std::fopen("/dev/null", "r")
                                     : fmemopen(input_text_.data(), input_text_.size(), "r");
        con_set_input(input_);
    }
    ~out_capture() {
        con_set_output(nullptr);
        if (stream_ != nullptr) std::fclose(stream_);
        std::free(data_);
        if (input_ != nullptr) {
            con_set_input(nullptr);
            std::fclose(input_);
        }
    }
    out_capture(const out_capture&) = delete;
    out_capture& operator=(const out_capture&) = delete;

    // The memory stream behind the console's output.
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
    std::string input_text_;
    FILE* input_ = nullptr;
};

// Runs fn with the console's output in memory; returns what it printed.
template <typename F>
std::string capture_output(F fn) {
    out_capture out;
    fn();
    return out.text();
}

// The same with the console's input read from input.
template <typename F>
std::string capture_output(const std::string& input, F fn) {
    out_capture out(input);
    fn();
    return out.text();
}
