# A thin front end over the CMake presets.
.PHONY: all build run test test-drivers windows package fuzz bench demo clean deps

JOBS ?= $(shell nproc 2>/dev/null || echo 2)

all: build

deps:
	@scripts/install-deps

build:
	@scripts/install-deps build
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# The console with the simulated device attached as COM1.
run: build
	@scripts/run-console

test: deps
	@scripts/run-tests

# The program against the kernel's 8250 and FTDI USB serial drivers in a
# virtual machine (part of make test; a few minutes).
test-drivers:
	@scripts/install-deps drivers
	@scripts/test-drivers

# The long runs that make test keeps short: 1,000 connect cycles in one
# program, its descriptors and memory checked, and firmware updates against
# 40 loaders with answers drawn at random (a few minutes).
.PHONY: soak
soak: build
	@scripts/run-soak

windows:
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS)

# The Debian package (build/) and the Windows zip (build-win/), from one source.
package:
	@scripts/install-deps package
	@scripts/build-packages

fuzz:
	@scripts/run-fuzz $${FUZZ_SECONDS:-60}

bench:
	@scripts/run-bench $(BENCH_ARGS)

demo: build
	@scripts/run-demo.py

clean:
	rm -rf build build-san build-win build-fuzz build-bench build-drivers
