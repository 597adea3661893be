# Every target sets itself up: on a fresh machine `make demo` and `make test`
# install the Debian packages they need (only those, and only when missing),
# build or find the interpreter, and make the .venv before they build
# anything. Reruns skip what is already done. QUARLEX_PYTHON=/path/to/python
# picks the interpreter (any CPython >= 3.12, GIL or free-threaded).

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

VENV     := $(CURDIR)/.venv
PYTHON   := $(VENV)/bin/python
BUILD    := $(CURDIR)/build
BENCHDIR := $(CURDIR)/build-bench
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)

# Extra C++ test binary built with AddressSanitizer and UBSan; the tables keep
# entries in raw arenas, where a sanitizer catches what assertions cannot.
# `make test QUARLEX_ASAN_TESTS=OFF` skips it.
QUARLEX_ASAN_TESTS ?= ON
CMAKE_ARGS ?=

# What scripts/setup-dev installs, and whether the C++ tests are configured:
# the demo needs neither GoogleTest nor the Python test tools.
SETUP_PROFILE := test
BUILD_TESTS := ON
demo: SETUP_PROFILE := demo
demo: BUILD_TESTS := OFF
bench: SETUP_PROFILE := bench

# Passed through by `make bench`: BENCH_ARGS to the C++ benchmark (e.g.
# --benchmark_filter=FindHit), PYBENCH_ARGS to bench/bench.py (e.g. --quick).
# `make bench` ends with the plots in bench/results/ (matplotlib, installed
# into the venv on first use; `make test` never needs it).
BENCH_ARGS ?=
PYBENCH_ARGS ?=

# cmake, ctest and ninja come from the venv (PyPI), not from whatever is on
# PATH. PATH is set per command only: exporting the venv globally would let
# scripts/bootstrap-python see the venv's own python3 first.
IN_VENV := env PATH="$(VENV)/bin:$$PATH"

.PHONY: all setup configure build demo test test-cpp test-python bench install-check clean

all: test

setup:
	@scripts/setup-dev $(SETUP_PROFILE)

# The full cmake output is kept in build/configure.log and shown on failure;
# on success only our own status lines are worth a glance.
configure: setup
	@mkdir -p $(BUILD)
	@$(IN_VENV) cmake -S . -B $(BUILD) -G Ninja \
	    -DPython_EXECUTABLE=$(PYTHON) \
	    -DQUARLEX_BUILD_TESTS=$(BUILD_TESTS) \
	    -DQUARLEX_BUILD_ASAN_TESTS=$(QUARLEX_ASAN_TESTS) \
	    $(CMAKE_ARGS) >$(BUILD)/configure.log 2>&1 \
	  || { cat $(BUILD)/configure.log; exit 1; }
	@grep -E '^-- quarlex' $(BUILD)/configure.log || true

build: configure
	@$(IN_VENV) cmake --build $(BUILD) --parallel $(JOBS)

demo: configure
	@$(IN_VENV) cmake --build $(BUILD) --parallel $(JOBS) --target quarlex
	@PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py

test: test-cpp test-python

test-cpp: build
	@if ! compgen -G 'tests/cpp/*.cpp' >/dev/null; then \
	    echo "[test] no C++ tests in tests/cpp yet"; \
	elif grep -q 'GoogleTest not found' $(BUILD)/configure.log; then \
	    echo "[test] C++ tests skipped: GoogleTest is not installed"; \
	else \
	    $(IN_VENV) ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS); \
	fi

# pytest exits with 5 when it collects nothing; an empty (or, in a fresh
# clone, absent) tests/python is not a failure while the suite is being
# written.
test-python: build
	@rc=0; \
	if [[ -d tests/python ]]; then PYTHONPATH=$(BUILD)/python $(PYTHON) -m pytest tests/python -q || rc=$$?; \
	else rc=5; fi; \
	if [[ $$rc -eq 5 ]]; then echo "[test] no Python tests in tests/python yet"; rc=0; fi; \
	exit $$rc

bench: setup
	@mkdir -p $(BENCHDIR)
	@$(IN_VENV) cmake -S . -B $(BENCHDIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(PYTHON) \
	    -DQUARLEX_BUILD_TESTS=OFF -DQUARLEX_BUILD_BENCH=ON \
	    $(CMAKE_ARGS) >$(BENCHDIR)/configure.log 2>&1 \
	  || { cat $(BENCHDIR)/configure.log; exit 1; }
	@$(IN_VENV) cmake --build $(BENCHDIR) --parallel $(JOBS)
	@if [[ -x $(BENCHDIR)/quarlex_bench ]]; then $(BENCHDIR)/quarlex_bench $(BENCH_ARGS); \
	 else echo "[bench] no C++ benchmarks in bench/ yet"; fi
	@mkdir -p bench/results
	@PYTHONPATH=$(BENCHDIR)/python $(PYTHON) bench/bench.py --json bench/results/python.json $(PYBENCH_ARGS)
	@$(BENCHDIR)/quarlex_probe_counts --by-exponent >bench/results/probes_by_exponent.csv
	@$(PYTHON) -m pip install --disable-pip-version-check --only-binary=:all: -q matplotlib
	@PYTHONPATH=$(BENCHDIR)/python $(PYTHON) bench/plots.py --python bench/results/python.json \
	    --probes bench/results/probes_by_exponent.csv --out bench/results
	@PYTHONPATH=$(BENCHDIR)/python $(PYTHON) bench/threads.py

install-check: setup
	@scripts/install-check

clean:
	rm -rf $(BUILD) $(BENCHDIR) build-clang build-tsan dist _skbuild .pytest_cache .hypothesis .mypy_cache
