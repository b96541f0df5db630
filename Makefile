# Front door: `make test` builds, installs and tests everything from a fresh clone.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BIN := $(VENV)/bin
BUILD_TOOLS := "scikit-build-core>=0.10" "cmake>=3.21" ninja
# Interpreters, roots and benchmark modules built or downloaded once, outside the checkout.
SPINLATTICE_CACHE ?= $(HOME)/.cache/spinlattice
export SPINLATTICE_CACHE

.PHONY: test install ctest pytest pytest-examples demo study bench clean

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
	$(BIN)/cmake -S . -B build/ctest -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	    -DCMAKE_BUILD_TYPE=Release -DSPINLATTICE_MODULE=OFF -DSPINLATTICE_TESTS=ON >/dev/null
	$(BIN)/cmake --build build/ctest
	$(BIN)/ctest --test-dir build/ctest --output-on-failure

# pytest's exit status 5 means it collected no tests: that is a failure here too.
NONE_COLLECTED_FAILS = || { rc=$$?; [ $$rc -ne 5 ] || echo "pytest collected no tests: failing" >&2; exit $$rc; }
pytest: install
	@$(PY) -m pytest $(NONE_COLLECTED_FAILS)

# The examples' own tests, with the example stack (Dask, matplotlib, SciPy) installed.
pytest-examples: install
	$(PY) -m pip install -q --no-build-isolation ".[test-examples]"
	@$(PY) -m pytest tests/examples $(NONE_COLLECTED_FAILS)

test: ctest pytest pytest-examples

# The example: Monte Carlo across the phase transition against the exact solution;
# table on stdout, figures in examples/output/. DEMO_ARGS="--workers 4" etc. pass through.
demo: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[demo]"
	$(PY) examples/demo.py $(DEMO_ARGS)

# The critical-point study: Wolff chains L = 16..256 near T_c, finite-size scaling;
# estimates in examples/output/critical.json, figure beside it. STUDY_ARGS pass through
# (e.g. STUDY_ARGS="--sizes 16,32,64,128,256,512 --budget-factor 4"); the same command
# resumes an interrupted run, as does `make demo`.
study: $(BIN)/cmake
	$(PY) -m pip install -q --no-build-isolation ".[demo]"
	$(PY) examples/critical.py $(STUDY_ARGS)

# Benchmarks: ratios taken side by side in one process; never part of `make test`.
# BENCH_ARGS=--quick gives a fast, noisier run.
bench: install
	$(BIN)/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	    -DCMAKE_BUILD_TYPE=Release -DSPINLATTICE_MODULE=OFF -DSPINLATTICE_BENCH=ON >/dev/null
	$(BIN)/cmake --build build/bench --target bench_blocks
	build/bench/bench/bench_blocks
	$(PY) bench/bench_calls.py $(BENCH_ARGS)
	$(MAKE) --no-print-directory bench-threads

clean:
	rm -rf build

include mk/memcheck.mk
include mk/pythons.mk
include mk/aarch64.mk
