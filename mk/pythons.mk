# `make test-pythons`: the whole suite on every CPython a user may run, each in its
# own .venv-NAME with its own build/NAME:
#   test-python-3.X          pyenv's newest 3.X.Y, for every 3.X from 3.11 up
#   test-python-debian       the machine's /usr/bin/python3
#   test-python-3.13t        free-threaded 3.13, built once from Debian's source package
#   test-python-3.14, test-python-3.15, test-python-3.15d
#                            Debian unstable's interpreters (3.15d: the debug build),
#                            run with chroot in a Debian unstable root built once
# Caches live in $(SPINLATTICE_CACHE), outside the checkout.
# Included from the top-level Makefile, after BUILD_TOOLS and SPINLATTICE_CACHE are defined.

PYENV_VERSIONS ?= $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
# Plain releases only (3.12.1, not 3.13.0t or 3.14.0a1).
PYTHON_MINORS := $(shell ls $(PYENV_VERSIONS) 2>/dev/null \
    | grep -E '^3\.[0-9]+\.[0-9]+$$' | awk -F. '$$2 >= 11 {print $$1 "." $$2}' | sort -uV)
UNSTABLE_PYTHONS := 3.14 3.15 3.15d
SUITE := BUILD_TOOLS='$(BUILD_TOOLS)' tools/run_suite.sh
PYTHON_SUITES := $(addprefix test-python-,$(PYTHON_MINORS) debian 3.13t $(UNSTABLE_PYTHONS))

.PHONY: test-pythons $(PYTHON_SUITES) debian-unstable-root python-3.13t bench-threads

test-pythons: $(PYTHON_SUITES)
	@test -n "$(PYTHON_MINORS)" || { echo "no CPython 3.11+ under $(PYENV_VERSIONS)"; exit 1; }

$(addprefix test-python-,$(PYTHON_MINORS)): test-python-%:
	$(SUITE) $$(ls -d $(PYENV_VERSIONS)/$*.* | grep -E '/$(subst .,\.,$*)\.[0-9]+$$' | sort -V | tail -n 1)/bin/python3 $*

test-python-debian:
	@/usr/bin/python3 -c 'import ensurepip, sysconfig, os; assert os.path.exists(sysconfig.get_paths()["include"] + "/Python.h")' 2>/dev/null \
	    || { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3-venv python3-dev; }
	$(SUITE) /usr/bin/python3 debian

python-3.13t:
	tools/build_python_ft.sh

# Few test extras have free-threaded wheels: those without build from source (C only,
# no Rust), and mypy 2 is held back since its ast-serialize needs a Rust toolchain.
FREE_THREADED_EXTRAS := --prefer-binary mypy<2
FREE_THREADED_SUITE := SUITE_EXTRAS_PIP_ARGS='$(FREE_THREADED_EXTRAS)' $(SUITE) \
    $(SPINLATTICE_CACHE)/python-3.13t/bin/python3.13t 3.13t
test-python-3.13t: python-3.13t
	$(FREE_THREADED_SUITE)

# Thread against process speed-up on the free-threaded build (part of `make bench`;
# BENCH_THREADS_ARGS=--quick passes through, BENCH_ARGS belongs to bench_calls.py).
bench-threads: python-3.13t
	SUITE_INSTALL_ONLY=1 $(FREE_THREADED_SUITE)
	.venv-3.13t/bin/python bench/bench_threads.py $(BENCH_THREADS_ARGS)

debian-unstable-root:
	tools/debian_root.sh

$(addprefix test-python-,$(UNSTABLE_PYTHONS)): test-python-%: debian-unstable-root
	BUILD_TOOLS='$(BUILD_TOOLS)' tools/in_root.sh /usr/bin/python$(subst d,-dbg,$*) unstable-$*
