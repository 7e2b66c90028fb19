// Shared pieces of the fuzz harnesses: a silent console, a private working
// directory for the files the parsers read, and a scripted serial backend that
// plays fuzzed device bytes. The scripted device never fails a read, so the
// program's abnormal end (which leaves the process) stays out of every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Called at the start of every input: every module's state back to the
// program's start (module_state_reset), so that an input does the same
// whatever ran before it, then console output to /dev/null and the pause and
// the clock replaced (the clock from the same time each input). The first
// call also moves the working directory to a private one under /dev/shm.
void fuzz_setup();

// Writes bytes to the file `name` in the private directory; 0 on success.
int fuzz_write_file(const char* name, const uint8_t* data, size_t size);

// An input stream over a copy of the bytes (an empty stream for no bytes).
// fuzz_close_input closes it and restores standard input.
FILE* fuzz_open_input(const uint8_t* data, size_t size);
void fuzz_close_input(FILE* stream);

// The scripted device, on the unit tests' scripted serial fake. Its reply
// script is a series of chunks: one length byte n, then n bytes, handed to one
// read call (cut to the size asked, the rest lost as on a line); n = 0 is a
// read that times out with nothing; the end of the script answers every
// further read with nothing. fail_write is the number (1-based) of the write
// call that fails, 0 for none. The device never fails a read.
void fuzz_device_start(const uint8_t* script, size_t size, uint32_t fail_write);
// Uninstalls it; the port must be closed by then.
void fuzz_device_stop();

// Stops the run with a crash report: a broken promise of the code under test.
[[noreturn]] void fuzz_fail(const char* what);
