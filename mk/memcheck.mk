# `make memcheck`: a representative part of the suite under AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer, against a separately built
# sanitized module in build/asan. Included from the top-level Makefile, after
# PY, BIN and the install target are defined.

ASAN_BUILD := build/asan
ASAN_CXX ?= g++
MEMCHECK_TESTS ?= $(wildcard tests/test_binding.py tests/test_hostile.py tests/test_threads.py tests/test_bulk.py \
    tests/test_exact_runs.py)
# Needs an address-space limit, under which the sanitizer can't run at all.
MEMCHECK_DESELECT ?= tests/test_binding.py::test_memory_exhaustion_raises_memory_error

# PYTHONMALLOC=malloc puts every Python object on the sanitizer's heap, so
# overruns and uses after free of objects are caught and leak scanning can
# follow them. libstdc++ is preloaded so the sanitizer can intercept C++ throws.
# pytest captures only sys.stdout/sys.stderr (--capture=sys, below), so that a
# sanitizer report written to the stderr descriptor is seen even when it ends
# the process in the middle of a test. Allocation stacks are two frames deep so
# that tests/lsan.supp can tell the interpreter's allocations from the module's.
MEMCHECK_ENV = \
    LD_PRELOAD="$$($(ASAN_CXX) -print-file-name=libasan.so) $$($(ASAN_CXX) -print-file-name=libstdc++.so.6)" \
    PYTHONMALLOC=malloc \
    PYTHONPATH=$(abspath $(ASAN_BUILD)) \
    SPINLATTICE_ASAN_BUILD=$(abspath $(ASAN_BUILD)) \
    ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:verify_asan_link_order=0:halt_on_error=1:abort_on_error=0 \
    LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: memcheck asan-module

asan-module: $(BIN)/cmake
	$(call configure,$(ASAN_BUILD),-DCMAKE_CXX_COMPILER=$(ASAN_CXX) -DCMAKE_BUILD_TYPE=None \
	    -DCMAKE_CXX_FLAGS="-O1 -g" -DSPINLATTICE_SANITIZE=ON -DSPINLATTICE_MODULE=ON \
	    -DSPINLATTICE_TESTS=OFF -DPython_EXECUTABLE=$(abspath $(PY)))
	+$(BIN)/cmake --build $(ASAN_BUILD) --target spinlattice

memcheck: install asan-module
	env $(MEMCHECK_ENV) $(PY) tests/memcheck.py -p no:cacheprovider -q --capture=sys \
	    $(addprefix --deselect ,$(MEMCHECK_DESELECT)) $(MEMCHECK_TESTS)
