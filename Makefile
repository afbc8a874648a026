# SPDX-License-Identifier: MIT
# Copyright The Kvitor authors
# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# How long `make fuzz` runs each fuzz target.
FUZZ_SECONDS ?= 60
# Our builds treat warnings as errors; a plain `cmake` configure does not.
KVITOR_FLAGS = -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKVITOR_WERROR=ON

.PHONY: all deps configure build test demo clean bench fuzz lint format check-sanitize \
	screenshots install package check-install

all: build

deps:
	@./scripts/install-deps test

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(KVITOR_FLAGS) -DKVITOR_BUILD_GUI=ON -DKVITOR_BUILD_TESTS=ON \
	  $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only what the command line needs: its packages, kvitor-cli and the catalogues.
# A build folder configured before (with the window, the tests) stays so.
demo:
	@./scripts/install-deps cli
	@if [ -f $(BUILD)/CMakeCache.txt ]; then cmake $(BUILD) >/dev/null; else \
	  cmake -S . -B $(BUILD) -G Ninja $(KVITOR_FLAGS) -DKVITOR_BUILD_GUI=OFF \
	    -DKVITOR_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null; fi
	@cmake --build $(BUILD) -j $(JOBS) --target kvitor-cli
	@./scripts/demo $(BUILD)

# ASan+UBSan build running every test, then a TSan build of the threaded tests.
check-sanitize:
	@./scripts/install-deps sanitize
	@JOBS=$(JOBS) ./scripts/check-sanitize

# The libFuzzer targets (clang), each run FUZZ_SECONDS over fuzz/corpus; a
# finding is left in build-fuzz/findings/ and fails the run.
fuzz:
	@./scripts/install-deps fuzz
	@CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS=-O1 -DKVITOR_WERROR=ON -DKVITOR_BUILD_FUZZ=ON -DKVITOR_BUILD_GUI=OFF \
	  -DKVITOR_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_tlv fuzz_report_file fuzz_show fuzz_report_build \
	  fuzz_storage_image fuzz_torvel_settings fuzz_fn_frame
	@./scripts/fuzz build-fuzz $(FUZZ_SECONDS)

# Formatting check, licence headers and clang-tidy; `make format` applies the formatting.
lint:
	@./scripts/install-deps lint
	@JOBS=$(JOBS) ./scripts/lint

format:
	@./scripts/install-deps lint
	@./scripts/lint format

# Google Benchmark over the core, then whole-process runs of kvitor-cli over
# synthetic storages; the table goes to $(BUILD)/bench/results.txt.
bench:
	@./scripts/install-deps bench
	@cmake -S . -B $(BUILD) -G Ninja $(KVITOR_FLAGS) -DKVITOR_BUILD_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@./scripts/bench $(BUILD)

# The main window during a job and after it, under Xvfb, in $(BUILD)/screenshots,
# taken by kvitor-screenshots, a program of its own that is never installed.
screenshots:
	@./scripts/install-deps screenshots
	@cmake -S . -B $(BUILD) -G Ninja $(KVITOR_FLAGS) -DKVITOR_BUILD_GUI=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target kvitor-screenshots
	@./scripts/screenshots $(BUILD)

install: build
	@cmake --install $(BUILD)

# The Debian packages kvitor-cli, kvitor and kvitor-tools, a Release build for
# /usr with the distribution's flags in build-package (scripts/package):
# apt install ./build-package/kvitor*.deb
package:
	@./scripts/install-deps package
	@JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" ./scripts/package build-package

# Installs $(BUILD) into a temporary prefix and runs what was installed; then
# the packages: lintian, a second build that must give the same files, and
# (as root) an install and a removal that must leave nothing behind.
check-install: build package
	@./scripts/check-install $(BUILD) build-package

clean:
	@rm -rf $(BUILD) build-*
