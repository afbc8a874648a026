# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# How long `make fuzz` runs each fuzz target.
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test demo clean bench fuzz lint format check-sanitize screenshots install

all: build

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@./scripts/demo $(BUILD)

# ASan+UBSan build running every test, then a TSan build of the threaded tests.
check-sanitize: deps
	@JOBS=$(JOBS) ./scripts/check-sanitize

# The libFuzzer targets (clang), each run FUZZ_SECONDS over fuzz/corpus; a
# finding is left in build-fuzz/findings/ and fails the run.
fuzz: deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS=-O1 -DKVITOR_BUILD_FUZZ=ON -DKVITOR_BUILD_GUI=OFF -DKVITOR_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_tlv fuzz_report_file fuzz_show fuzz_storage_image
	@./scripts/fuzz build-fuzz $(FUZZ_SECONDS)

# Formatting check and clang-tidy; `make format` applies the formatting.
lint: deps
	@JOBS=$(JOBS) ./scripts/lint

format: deps
	@./scripts/lint format

# Google Benchmark over the core, then whole-process runs of kvitor-cli over
# synthetic storages; the table goes to $(BUILD)/bench/results.txt.
bench: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVITOR_BUILD_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@./scripts/bench $(BUILD)

# The main window during a job and after it, under Xvfb, in $(BUILD)/screenshots.
screenshots: build
	@./scripts/screenshots $(BUILD)

install: build
	@cmake --install $(BUILD)

clean:
	@rm -rf $(BUILD) build-*
