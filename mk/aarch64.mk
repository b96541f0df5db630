# `make test-aarch64`: the C++ tests and the whole pytest suite for 64-bit ARM
# Linux, cross-compiled here and run under qemu-user. Self-installing on an
# x86-64 Debian machine: the cross compiler and qemu from apt, Debian's arm64
# CPython 3.11 unpacked into a root in the cache (tools/aarch64_root.sh), a venv
# of that emulated Python with arm64 wheels put in by the host's pip (under
# emulation pip takes minutes), and the module built with the host's cmake.
# Included from the top-level Makefile, after PY, BIN, SPINLATTICE_CACHE and
# NONE_COLLECTED_FAILS are defined.

AARCH64_ROOT := $(SPINLATTICE_CACHE)/aarch64-root
AARCH64_APT := $(SPINLATTICE_CACHE)/aarch64-apt
AARCH64_PYTHON := $(AARCH64_ROOT)/usr/bin/python3.11
AARCH64_VENV := .venv-aarch64
AARCH64_SITE := $(AARCH64_VENV)/lib/python3.11/site-packages
AARCH64_BUILD := build/aarch64
# Debian 12 has glibc 2.36: any manylinux wheel up to that runs in the root.
AARCH64_WHEELS := --only-binary=:all: --python-version 3.11 --implementation cp --abi cp311 \
    --platform manylinux_2_36_aarch64 --platform manylinux_2_28_aarch64 \
    --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64
# Every emulated process, children included, finds its loader and libraries in the root.
AARCH64_ENV := QEMU_LD_PREFIX=$(AARCH64_ROOT) CC=aarch64-linux-gnu-gcc

.PHONY: test-aarch64 aarch64-tools aarch64-binfmt aarch64-build aarch64-ctest aarch64-pytest

test-aarch64: aarch64-ctest aarch64-pytest

aarch64-tools:
	@command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64-static >/dev/null \
	|| { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
	        g++-aarch64-linux-gnu qemu-user-static; }

# Child interpreters are started by path, so the kernel must hand arm64 programs to qemu.
aarch64-binfmt: aarch64-tools
	@mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	@test -e /proc/sys/fs/binfmt_misc/qemu-aarch64 \
	|| cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register

$(AARCH64_ROOT)/.complete: | aarch64-tools
	tools/aarch64_root.sh $(AARCH64_ROOT) $(AARCH64_APT)

$(AARCH64_VENV)/bin/python: | $(AARCH64_ROOT)/.complete aarch64-binfmt
	$(AARCH64_ENV) $(AARCH64_PYTHON) -m venv --without-pip $(AARCH64_VENV)

# The test extra's requirements, as arm64 wheels; redone when pyproject.toml changes.
$(AARCH64_VENV)/.test-requirements: pyproject.toml | $(AARCH64_VENV)/bin/python $(PY)
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"], sep="\n")' > $@.txt
	$(PY) -m pip install -q --upgrade $(AARCH64_WHEELS) --target $(AARCH64_SITE) -r $@.txt
	mv $@.txt $@

# One cross build gives the C++ tests and the module, installed into the venv.
aarch64-build: $(BIN)/cmake $(AARCH64_ROOT)/.complete $(AARCH64_VENV)/bin/python
	$(BIN)/cmake -S . -B $(AARCH64_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/aarch64-linux-gnu.cmake) -DSPINLATTICE_TARGET_ROOT=$(AARCH64_ROOT) \
	    -DPython_EXECUTABLE=$(AARCH64_PYTHON) -DCMAKE_BUILD_TYPE=Release -DSPINLATTICE_TESTS=ON >/dev/null
	$(BIN)/cmake --build $(AARCH64_BUILD)
	$(BIN)/cmake --install $(AARCH64_BUILD) --prefix $(AARCH64_SITE) >/dev/null

aarch64-ctest: aarch64-build
	$(BIN)/ctest --test-dir $(AARCH64_BUILD) --output-on-failure

# AARCH64_PYTEST_ARGS="-k name" narrows the run; no tests collected fails it.
aarch64-pytest: aarch64-build $(AARCH64_VENV)/.test-requirements aarch64-binfmt
	@echo "== $$($(AARCH64_ENV) $(AARCH64_VENV)/bin/python -c 'import platform, sys; print(sys.version.split()[0], platform.machine())') under qemu"
	@$(AARCH64_ENV) $(AARCH64_VENV)/bin/python -m pytest -q -p no:cacheprovider $(AARCH64_PYTEST_ARGS) $(NONE_COLLECTED_FAILS)
