# The evidence behind the thread-safety and reference-counting claims, checked
# the way CPython checks its own:
#   make tsan      the thread tests and the every-callable stress under
#                  ThreadSanitizer: a free-threaded 3.13 configured
#                  --with-thread-sanitizer, built once into the cache, and the
#                  module built with -fsanitize=thread in build/tsan
#   make refleaks  the suite's tests that drive the module in this process, each
#                  run 3 + 3 times (tests/refleaks.py) on the debug 3.15 in the
#                  Debian unstable root, in .venv-refleaks with build/refleaks
# Included from the top-level Makefile, after mk/pythons.mk.

# The first free-threaded CPython the Makefile names (VERSION SUITE), with ThreadSanitizer.
TSAN_FROM := $(subst :, ,$(firstword $(FREE_THREADED)))
TSAN_VERSION := $(firstword $(TSAN_FROM))
TSAN_PYTHON := $(call free_threaded_python,$(TSAN_VERSION),tsan)
TSAN_VENV := .venv-tsan
TSAN_BUILD := build/tsan
TSAN_TESTS ?= tests/test_threads.py tests/test_thread_stress.py
# Every report is printed (to the stderr descriptor, which --capture=sys leaves
# alone, so a report is seen whichever test it comes from), and any report makes
# the process exit with status 66. tests/tsan.supp lists the interpreter's own.
TSAN_ENV = \
    TSAN_OPTIONS="suppressions=$(abspath tests/tsan.supp) halt_on_error=0 exitcode=66" \
    PYTHONPATH=$(abspath $(TSAN_BUILD))

# Left out of the repeats: files and tests that drive the module only in child
# processes (a leak there can't show in this interpreter's totals; they ran in
# the suite on this interpreter) or not at all, and test_leaks.py's
# resident-size checks, 200 000 calls each, whose calls other tests here make
# and the repeats count exactly, and whose resident size does not come back
# down when they run again in one process (the C library keeps a freed 16 MiB
# block in its heap the second time).
REFLEAKS_IGNORE ?= tests/test_exact_runs.py tests/test_interpreters.py tests/test_oracle.py \
    tests/test_physics.py
REFLEAKS_DESELECT ?= \
    tests/test_binding.py::test_a_seeding_failure_is_a_stop_and_the_next_lattice_seeds_afresh \
    tests/test_binding.py::test_memory_exhaustion_raises_memory_error \
    tests/test_surface.py::test_stub_matches_runtime_objects \
    tests/test_surface.py::test_mypy_finds_the_stubs_and_accepts_correct_use \
    tests/test_surface.py::test_mypy_rejects_misuse_line_by_line \
    tests/test_threads.py::test_concurrent_first_stops_share_one_exception_class \
    tests/test_leaks.py::test_success_is_flat \
    tests/test_leaks.py::test_error_path_is_flat \
    tests/test_leaks.py::test_stop_from_python_code_is_flat \
    tests/test_leaks.py::test_many_small_lattices_are_freed \
    tests/test_leaks.py::test_a_big_lattice_gives_its_memory_back \
    tests/test_bulk.py::test_runs_in_one_call_match_the_oracle \
    tests/test_bulk.py::test_millions_of_updates_in_one_call_are_those_of_single_calls \
    tests/test_bulk.py::test_ctrl_c_stops_a_long_run_between_whole_updates

.PHONY: tsan tsan-python tsan-module refleaks

tsan-python:
	tools/build_python_ft.sh $(TSAN_FROM) tsan --with-thread-sanitizer

# pip's own threads are not under test: their reports are not printed.
$(TSAN_VENV)/bin/pytest: | tsan-python
	$(TSAN_PYTHON) -m venv $(TSAN_VENV)
	TSAN_OPTIONS=report_bugs=0 $(TSAN_VENV)/bin/python -m pip install -q pytest

tsan-module: $(BIN)/cmake tsan-python
	$(call configure,$(TSAN_BUILD),-DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g" \
	    -DSPINLATTICE_SANITIZE_THREADS=ON -DSPINLATTICE_MODULE=ON -DSPINLATTICE_TESTS=OFF \
	    -DPython_EXECUTABLE=$(TSAN_PYTHON))
	+$(BIN)/cmake --build $(TSAN_BUILD) --target spinlattice

tsan: tsan-module $(TSAN_VENV)/bin/pytest
	@env $(TSAN_ENV) $(PYTEST) $(TSAN_VENV)/bin/python -p no:cacheprovider -q --capture=sys $(TSAN_TESTS) \
	    || { rc=$$?; [ $$rc -ne 66 ] || echo "ThreadSanitizer reported the races above: failing" >&2; exit $$rc; }

refleaks: debian-unstable-root
	tools/in_root.sh env $(SUITE) /usr/bin/python3.15-dbg refleaks -p tests.refleaks \
	    $(addprefix --ignore ,$(REFLEAKS_IGNORE)) $(addprefix --deselect ,$(REFLEAKS_DESELECT))
