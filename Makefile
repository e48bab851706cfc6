# Entry points: `make demo` runs the main job, `make test` runs every test. Both set up what they
# need on a fresh machine.
SHELL := /bin/bash
PY39 := $(firstword $(wildcard $(HOME)/.pyenv/versions/3.9*/bin/python3))
BUILD := build/cpp
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_DIR ?= $(HOME)/.cache/kestrix-ccache
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: setup build-cpp test test-cpp test-python test-python39 test-sanitize test-tsan install demo bench fuzz format format-check clean

setup:
	scripts/bootstrap.sh .venv python3

build-cpp: setup
	.venv/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON
	.venv/bin/cmake --build $(BUILD)

test-cpp: build-cpp
	.venv/bin/ctest --test-dir $(BUILD) --output-on-failure --timeout 180

# The C++ core and its tests under AddressSanitizer and UBSan; any finding fails the run.
test-sanitize: setup
	.venv/bin/cmake -S . -B build/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_SANITIZE=ON
	.venv/bin/cmake --build build/sanitize
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  .venv/bin/ctest --test-dir build/sanitize --output-on-failure --timeout 300

# The C++ tests that run threads (shared connections, cancellation from another thread, fleets,
# the loopback server of the connection tests) under ThreadSanitizer; every report is printed and
# any fails the run (TSan exits with 66). Not part of `make test`.
TSAN_TESTS = SharedConnection.*:Cancel.*:Job.AFleet*:Job.AStopped*:TcpConnection.*:*CommandPath.*:*BadFrames.*:*PeerClose.*
TSAN_BUILD = build/tsan
test-tsan: setup
	.venv/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_SANITIZE_THREAD=ON
	.venv/bin/cmake --build $(TSAN_BUILD) --target kestrix_tests
	TSAN_OPTIONS=second_deadlock_stack=1 \
	  $(TSAN_BUILD)/tests/cpp/kestrix_tests --gtest_filter='$(TSAN_TESTS)'

# Installs the package the way a user does, then tests the installed package (not the source tree).
install: setup
	.venv/bin/python -m pip install -q --no-build-isolation .

test-python: install
	cd tests/python && ../../.venv/bin/python -m pytest -q

test-python39:
ifneq ($(PY39),)
	scripts/bootstrap.sh .venv39 $(PY39)
	.venv39/bin/python -m pip install -q --no-build-isolation .
	cd tests/python && ../../.venv39/bin/python -m pytest -q
else
	@echo "no Python 3.9 interpreter under pyenv; skipping the 3.9 run"
endif

test: test-cpp test-python test-python39

demo: install
	.venv/bin/python scripts/demo.py

# Every libFuzzer target for SECONDS each (clang; see scripts/fuzz.sh).
SECONDS ?= 60
FUZZ_TARGETS = $(shell sed -n 's/^set(KESTRIX_FUZZ_TARGETS \(.*\))/\1/p' fuzz/CMakeLists.txt)
fuzz:
	@for target in $(FUZZ_TARGETS); do scripts/fuzz.sh $$target $(SECONDS) || exit 1; done

# Not part of `make test`: figures, not verdicts.
bench: install
	.venv/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DKESTRIX_BUILD_BENCH=ON
	.venv/bin/cmake --build build/bench --target kestrix-sim kestrix_floor_client kestrix_cpp_update
	.venv/bin/python bench/run_bench.py --build-dir build/bench

# Formatting of the C++ sources (clang-format 14, as Debian ships it).
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp')
format:
	clang-format-14 -i $(CXX_SOURCES)
format-check:
	clang-format-14 --dry-run --Werror $(CXX_SOURCES)

clean:
	rm -rf build
