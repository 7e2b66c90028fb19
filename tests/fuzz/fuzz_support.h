// Shared pieces of the fuzz harnesses: a silent console, a private working
// directory for the files the parsers read, and a scripted serial backend that
// plays fuzzed device bytes. The scripted device never fails a read, so the
// program's abnormal end (which leaves the process) stays out of every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Called once per process: console output to /dev/null, the pause and the
// clock replaced, the working directory moved to a private one under /dev/shm.
void fuzz_setup();

// Writes bytes to the file `name` in the private directory; 0 on success.
int fuzz_write_file(const char* name, const uint8_t* data, size_t size);

// An input stream over a copy of the bytes (an empty stream for no bytes).
// fuzz_close_input closes it and restores standard input.
FILE* fuzz_open_input(const uint8_t* data, size_t size);
void fuzz_close_input(FILE* stream);

// The scripted device. Its reply script is a series of chunks: one length
// byte n, then n bytes, handed to one read call (cut to the size asked); n = 0
// is a read that times out with nothing; the end of the script answers every
// further read with nothing. fail_write is the number (1-based) of the write
// call that fails, 0 for none.
struct fuzz_device {
    const uint8_t* script;
    size_t script_size;
    size_t position;
    uint32_t fail_write;
    uint32_t writes;
    uint32_t reads;
    int open_handles;  // opens minus closes
};

extern fuzz_device fuzz_dev;

// Installs the scripted backend with the given reply script.
void fuzz_device_start(const uint8_t* script, size_t size, uint32_t fail_write);
// Uninstalls it; the port must be closed by then.
void fuzz_device_stop();

// Stops the run with a crash report: a broken promise of the code under test.
[[noreturn]] void fuzz_fail(const char* what);
