# `make test-pythons`: the module's suite on every CPython a user may run, each in its own
# .venv-NAME, against the wheel pip picks from dist/ for it (what users install):
#   test-python-3.X          pyenv's newest 3.X.Y, for every 3.X from 3.11 up
#   test-python-debian       the machine's /usr/bin/python3
#   test-python-3.13t        free-threaded 3.13, built once from Debian's source package
#   test-python-3.14, test-python-3.15
#                            Debian unstable's interpreters, run with chroot in a Debian
#                            unstable root built once
#   test-python-3.15d        its debug build, which takes no release wheel: built from source
# Caches live in $(SPINLATTICE_CACHE), outside the checkout.
# Included from the top-level Makefile, after BUILD_TOOLS and SPINLATTICE_CACHE are defined.

PYENV_VERSIONS ?= $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
# Plain releases only (3.12.1, not 3.13.0t or 3.14.0a1).
PYTHON_MINORS := $(shell ls $(PYENV_VERSIONS) 2>/dev/null \
    | grep -E '^3\.[0-9]+\.[0-9]+$$' | awk -F. '$$2 >= 11 {print $$1 "." $$2}' | sort -uV)
# $(call pyenv_python,3.X): pyenv's newest 3.X.Y.
pyenv_python = $(lastword $(shell ls -d $(PYENV_VERSIONS)/$(1).* 2>/dev/null \
    | grep -E '/$(subst .,\.,$(1))\.[0-9]+$$' | sort -V))/bin/python3
# $(call abi_of,3.X[t]): the wheel's ABI tag, cp3X[t].
abi_of = cp$(subst .,,$(1))
# $(call free_threaded_python,3.X[,VARIANT]): the free-threaded 3.X built into the cache
# (a VARIANT such as tsan is built with more configure flags, beside it).
free_threaded_python = $(SPINLATTICE_CACHE)/python-$(1)t$(if $(2),-$(2))/bin/python$(1)t
DEBIAN_UNSTABLE_ROOT := $(SPINLATTICE_CACHE)/debian-unstable
SUITE := BUILD_TOOLS='$(BUILD_TOOLS)' tools/run_suite.sh
WHEEL_SUITE := SUITE_WHEELS=dist $(SUITE)
FREE_THREADED_PYTHONS := $(addsuffix t,$(addprefix python-,$(FREE_THREADED_VERSIONS)))
PYTHON_SUITES := $(addprefix test-python-,$(PYTHON_MINORS) debian $(addsuffix t,$(FREE_THREADED_VERSIONS)) \
    3.14 3.15 3.15d)

.PHONY: test-pythons $(PYTHON_SUITES) debian-unstable-root $(FREE_THREADED_PYTHONS) bench-threads

test-pythons: $(PYTHON_SUITES)
	@test -n "$(PYTHON_MINORS)" || { echo "no CPython 3.11+ under $(PYENV_VERSIONS)"; exit 1; }

$(addprefix test-python-,$(PYTHON_MINORS)): test-python-%:
	$(WHEEL_SUITE) $(call pyenv_python,$*) $*
$(foreach v,$(PYTHON_MINORS) 3.14 3.15 $(addsuffix t,$(FREE_THREADED_VERSIONS)),\
    $(eval test-python-$(v): dist/.wheel-$(call abi_of,$(v))-x86_64))

test-python-debian: dist/.wheel-cp311-x86_64
	@. tools/lib.sh && apt_install_missing python3-venv
	$(WHEEL_SUITE) /usr/bin/python3 debian

$(foreach p,$(FREE_THREADED),$(eval python-$(firstword $(subst :, ,$(p)))t: ; \
    tools/build_python_ft.sh $(subst :, ,$(p))))

# Few test extras have free-threaded wheels: those without build from source (C only,
# no Rust), and mypy 2 is held back since its ast-serialize needs a Rust toolchain.
FREE_THREADED_EXTRAS := --prefer-binary mypy<2
# $(call free_threaded_suite,3.X)
free_threaded_suite = SUITE_EXTRAS_PIP_ARGS='$(FREE_THREADED_EXTRAS)' $(WHEEL_SUITE) \
    $(call free_threaded_python,$(1)) $(1)t
$(addprefix test-python-,$(addsuffix t,$(FREE_THREADED_VERSIONS))): test-python-%t: python-%t
	$(call free_threaded_suite,$*)

# Thread against process speed-up on the free-threaded build (BENCH_THREADS_ARGS=--quick
# passes through).
bench-threads: python-3.13t dist/.wheel-cp313t-x86_64
	SUITE_INSTALL_ONLY=1 $(call free_threaded_suite,3.13)
	.venv-3.13t/bin/python bench/bench_threads.py $(BENCH_THREADS_ARGS)

debian-unstable-root:
	tools/debian_root.sh

test-python-3.14 test-python-3.15: test-python-%: debian-unstable-root
	tools/in_root.sh env $(WHEEL_SUITE) /usr/bin/python$* unstable-$*

test-python-3.15d: debian-unstable-root
	tools/in_root.sh env $(SUITE) /usr/bin/python3.15-dbg unstable-3.15d
