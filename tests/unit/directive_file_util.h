// Helpers of the parser tests: a directive file in a temporary place (and
// capture_output of out_capture.h, for the console output of a call).
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "out_capture.h"

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

// A file whose read fails in the middle: a named pipe that holds content and
// that this object keeps open for writing, so a reader gets the content and
// then waits for more. While run() calls its function, a timer interrupts
// that wait (a signal handler without restart), and the reader's stream sees
// a failed read (EINTR) after the content: a read error in the middle of the
// file, with whatever the file held before it already read.
class failing_pipe_file {
public:
    explicit failing_pipe_file(const std::string& content) {
        char dir[] = "/tmp/qv-pipe-XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        path_ = dir_ + "/file";
        if (mkfifo(path_.c_str(), 0600) != 0) return;
        // Read and write: the open does not wait for a reader, and the pipe
        // never reports its end while this end is open.
        fd_ = open(path_.c_str(), O_RDWR);
        if (fd_ >= 0 && write(fd_, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~failing_pipe_file() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    failing_pipe_file(const failing_pipe_file&) = delete;
    failing_pipe_file& operator=(const failing_pipe_file&) = delete;
    bool ready() const { return fd_ >= 0; }
    const char* path() const { return path_.c_str(); }

    template <typename F>
    void run(F fn) {
        struct sigaction quiet {};
        quiet.sa_handler = [](int) {};
        sigemptyset(&quiet.sa_mask);
        quiet.sa_flags = 0;  // no SA_RESTART: the waiting read fails with EINTR
        struct sigaction old {};
        sigaction(SIGALRM, &quiet, &old);
        // Again and again, so that whenever the reader starts to wait it is woken.
        itimerval every{{0, 20000}, {0, 20000}};
        setitimer(ITIMER_REAL, &every, nullptr);
        fn();
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }

private:
    std::string dir_;
    std::string path_;
    int fd_ = -1;
};

// A directory of its own, given where a file is expected.
class temp_dir {
public:
    temp_dir() {
        char name[] = "/tmp/qv-dir-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~temp_dir() {
        if (!path_.empty()) rmdir(path_.c_str());
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};
