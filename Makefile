# Entry points: `make demo` runs the main job, `make test` runs every test. Both set up what they
# need on a fresh machine.
SHELL := /bin/bash
PY39 := $(firstword $(wildcard $(HOME)/.pyenv/versions/3.9*/bin/python3))
# Build trees live outside the source tree, one set per checkout (so worktrees do not share).
BUILD_ROOT ?= $(HOME)/.cache/kestrix/build/$(shell printf %s '$(CURDIR)' | sha256sum | cut -c1-12)
BUILD := $(BUILD_ROOT)/cpp
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_DIR ?= $(HOME)/.cache/kestrix-ccache
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: setup fuzz-tools build-cpp test test-cpp test-python test-python39 test-sanitize test-tsan \
  install lint demo bench fuzz format format-check clean wheel-tools wheel test-wheel sdist

BOOTSTRAP = scripts/bootstrap.sh --lint --ansible
setup:
	$(BOOTSTRAP) .venv python3

# setup, and clang 14 with libFuzzer and its sanitizer runtimes; only the fuzz targets need them.
fuzz-tools:
	$(BOOTSTRAP) --fuzz .venv python3

build-cpp: setup
	.venv/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_BUILD_TESTS=ON
	.venv/bin/cmake --build $(BUILD)

test-cpp: build-cpp
	.venv/bin/ctest --test-dir $(BUILD) --output-on-failure --timeout 180

# The sanitizer builds compile at -O1 with line tables only (-g1): the level the sanitizers
# recommend, a file and line in every report, and about half the compile time of -O2 -g.
SANITIZER_BUILD = -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG'

# The C++ core and its tests under AddressSanitizer and UBSan; any finding fails the run.
# One test is left out: FleetSafety.AHostOutOfDescriptorsIsAResourceFailure uses up every file
# descriptor, and gcc 12's UBSan then reports a false "object has invalid vptr" (its check that
# the object's memory is readable needs a pipe). `make test` and `make test-tsan` run it.
SANITIZE_SKIP = ^FleetSafety\.AHostOutOfDescriptorsIsAResourceFailure$$
test-sanitize: setup
	.venv/bin/cmake -S . -B $(BUILD_ROOT)/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  $(SANITIZER_BUILD) -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_SANITIZE=ON
	.venv/bin/cmake --build $(BUILD_ROOT)/sanitize
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  .venv/bin/ctest --test-dir $(BUILD_ROOT)/sanitize --output-on-failure --timeout 300 \
	  -E '$(SANITIZE_SKIP)'

# The C++ tests that run threads under ThreadSanitizer: shared connections, cancellation from
# another thread, the loopback server of the connection tests, every test that runs a fleet (its
# pool of device threads), and the tests whose own threads write a record file or a hosts FIFO.
# Every report is printed and any fails the run (TSan exits with 66). Not part of `make test`.
TSAN_TESTS := SharedConnection.*:*Cancel.*:TcpConnection.*:*CommandPath.*:*BadFrames.*:*PeerClose.*
TSAN_TESTS := $(TSAN_TESTS):FleetSafety.*:Job.*Fleet*:Job.AStartEventThatFailsEndsOnlyThatDevicesJob
TSAN_TESTS := $(TSAN_TESTS):Job.ARecordThatCannotBeWrittenStopsNoDeviceAndIsReported
TSAN_TESTS := $(TSAN_TESTS):*RefusedImages.AFleet*:HostsFile.AFifoIsReadToItsWritersEnd
TSAN_TESTS := $(TSAN_TESTS):RecordFile.ConcurrentWritersNeverMixTheirLines:EventLoop.*:*LoopedStream.*
TSAN_TESTS := $(TSAN_TESTS):*Window.EndsAsTheLockStepUpdateEnds*
TSAN_BUILD = $(BUILD_ROOT)/tsan
test-tsan: setup
	.venv/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  $(SANITIZER_BUILD) -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_SANITIZE_THREAD=ON
	.venv/bin/cmake --build $(TSAN_BUILD) --target kestrix_tests
	TSAN_OPTIONS=second_deadlock_stack=1 \
	  $(TSAN_BUILD)/tests/cpp/kestrix_tests --gtest_filter='$(TSAN_TESTS)'

# Installs the package the way a user does, then tests the installed package (not the source tree).
install: setup
	.venv/bin/python -m pip install -q --no-build-isolation -C build-dir=$(BUILD_ROOT)/wheel/{wheel_tag} .

test-python: install
	cd tests/python && ../../.venv/bin/python -m pytest -q

test-python39:
ifneq ($(PY39),)
	scripts/bootstrap.sh .venv39 $(PY39)
	.venv39/bin/python -m pip install -q --no-build-isolation -C build-dir=$(BUILD_ROOT)/wheel/{wheel_tag} .
	cd tests/python && ../../.venv39/bin/python -m pytest -q
else
	@echo "no Python 3.9 interpreter under pyenv; skipping the 3.9 run"
endif

test: test-cpp test-python test-python39

# Wheels land in dist/ (git-ignored). auditwheel bundles libcrypto into them, so installing one
# needs neither a compiler nor libssl; each interpreter reuses its `make install` build tree.
wheel-tools: setup
	scripts/bootstrap.sh --wheel-tools .venv

# A repaired wheel for every CPython 3.9+ here: the default python3 and each pyenv version.
wheel: wheel-tools
	scripts/build_wheels.sh $(BUILD_ROOT) dist

# The default interpreter's wheel installed into a fresh venv without build tools runs
# kestrix-flash pack, check and update --sim, with the libcrypto it bundles (scripts/test_wheel.sh).
test-wheel: wheel-tools
	scripts/test_wheel.sh $(BUILD_ROOT)

# The source distribution, with what a source build needs (python -m build --sdist).
sdist: wheel-tools
	.venv/bin/python -m build --sdist --no-isolation --outdir dist .
	tar -tzf dist/kestrix-$$(sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml).tar.gz

# ruff, mypy --strict, stubtest on the installed extension modules, the clang-format check and the
# size check of files and functions; any finding fails (scripts/lint.sh).
lint: install
	scripts/lint.sh .venv

demo: install
	.venv/bin/python scripts/demo.py

# Every libFuzzer target for SECONDS each, built with clang 14 (scripts/fuzz.sh). The targets
# share one build tree, so the instrumented core is built once. Every target runs; a finding in
# any fails the run, after the others have had their turn.
SECONDS ?= 60
FUZZ_CXX ?= clang++-14
FUZZ_TARGETS = $(shell sed -n 's/^set(KESTRIX_FUZZ_TARGETS \(.*\))/\1/p' fuzz/CMakeLists.txt)
fuzz: fuzz-tools
	@failed=""; \
	for target in $(FUZZ_TARGETS); do \
	  CXX=$(FUZZ_CXX) scripts/fuzz.sh $$target $(SECONDS) || failed="$$failed $$target"; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: failed:$$failed"; exit 1; fi

# Not part of `make test`: figures, not verdicts.
bench: install
	.venv/bin/cmake -S . -B $(BUILD_ROOT)/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DKESTRIX_BUILD_BENCH=ON
	.venv/bin/cmake --build $(BUILD_ROOT)/bench --target kestrix-sim kestrix_floor_client kestrix_cpp_update
	.venv/bin/python bench/run_bench.py --build-dir $(BUILD_ROOT)/bench

# Formatting of the C++ sources: clang-format 14.0.6 from PyPI in .venv, the same on any machine.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp')
format: setup
	.venv/bin/clang-format -i $(CXX_SOURCES)
format-check: setup
	.venv/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

clean:
	rm -rf $(BUILD_ROOT)
