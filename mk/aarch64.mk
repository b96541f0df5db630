# `make test-aarch64`: 64-bit ARM Linux under qemu-user, on this x86-64 Debian machine,
# from what `make dist` ships:
# - aarch64-ctest: the C++ tests, built with the wheels' compiler (zig, glibc 2.17);
# - aarch64-pytest: the whole suite on CPython 3.11 (Debian 12's arm64 interpreter) with
#   the cp311 aarch64 wheel installed;
# - aarch64-wheels: every other aarch64 wheel that has an arm64 interpreter in Debian's
#   archive (3.13, 3.14, 3.15 from unstable) installs, imports and passes the exact-stream
#   and geometry tests. No suite has an arm64 3.12 or a free-threaded arm64 interpreter:
#   those wheels are built and gated, not run.
# The arm64 interpreters are Debian packages unpacked into roots in the cache
# (tools/arm64_root.sh); each venv gets its wheels from the host's pip, choosing by the
# interpreter's tags (emulated, pip takes minutes per install).
# Included from the top-level Makefile, after mk/pythons.mk.

AARCH64_ROOT := $(SPINLATTICE_CACHE)/aarch64-root
ARM64_UNSTABLE_ROOT := $(SPINLATTICE_CACHE)/arm64-unstable-root
# Interpreters run under qemu, and the root that holds each.
AARCH64_PYTHONS := 3.11 3.13 3.14 3.15
AARCH64_ROOT_3.11 := $(AARCH64_ROOT)
$(foreach v,3.13 3.14 3.15,$(eval AARCH64_ROOT_$(v) := $(ARM64_UNSTABLE_ROOT)))
# The tests every aarch64 wheel passes; 3.11 runs the whole suite.
AARCH64_WHEEL_TESTS := tests/test_exact_runs.py tests/test_geometry.py
AARCH64_QEMU = qemu-aarch64-static -cpu $(AARCH64_CPU) -L $(AARCH64_ROOT)
# A real processor (AWS Graviton 2's core) without pointer authentication: Debian unstable
# builds with it, and qemu's emulation of it makes those interpreters twenty times slower.
AARCH64_CPU := neoverse-n1
ZIG_CC_AARCH64 := build/ctest-zig-aarch64/zig-aarch64-linux-gnu.2.17/cc

.PHONY: test-aarch64 aarch64-tools aarch64-binfmt aarch64-ctest aarch64-pytest aarch64-wheels \
    $(addprefix aarch64-venv-,$(AARCH64_PYTHONS))

test-aarch64: aarch64-ctest aarch64-pytest aarch64-wheels

aarch64-tools:
	@. tools/lib.sh && apt_install_missing qemu-user-static

# Child interpreters are started by path, so the kernel must hand arm64 programs to qemu.
aarch64-binfmt: aarch64-tools
	@mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	@test -e /proc/sys/fs/binfmt_misc/qemu-aarch64 \
	|| cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register

# libstdc++6: the whole suite runs here, and numpy's arm64 wheels link it (nothing else pulls it in).
$(AARCH64_ROOT)/.complete:
	tools/arm64_root.sh $(AARCH64_ROOT) $(SPINLATTICE_CACHE)/aarch64-apt bookworm python3.11 libpython3.11-dev \
	    libstdc++6
$(ARM64_UNSTABLE_ROOT)/.complete:
	tools/arm64_root.sh $(ARM64_UNSTABLE_ROOT) $(SPINLATTICE_CACHE)/arm64-unstable-apt unstable \
	    $(foreach v,3.13 3.14 3.15,python$(v) libpython$(v)-dev)

# The C++ tests as the wheels' compiler builds them, for either processor: ctest-zig-x86_64
# runs them here, ctest-zig-aarch64 under qemu.
ctest-zig-%: $(BIN)/cmake dist-tools
	$(call configure,build/ctest-zig-$*,-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig.cmake) \
	    -DSPINLATTICE_ZIG=$(ZIG) \
	    -DSPINLATTICE_ZIG_TARGET=$*-linux-gnu.2.17 -DSPINLATTICE_MODULE=OFF -DSPINLATTICE_TESTS=ON \
	    $(if $(filter aarch64,$*),"-DCMAKE_CROSSCOMPILING_EMULATOR=$(subst $() ,;,$(AARCH64_QEMU))"))
	+ZIG_GLOBAL_CACHE_DIR=$(SPINLATTICE_CACHE)/zig $(BIN)/cmake --build build/ctest-zig-$*
	$(BIN)/ctest --test-dir build/ctest-zig-$* --output-on-failure
ctest-zig-aarch64: aarch64-tools $(AARCH64_ROOT)/.complete
aarch64-ctest: ctest-zig-aarch64

# $(call aarch64_venv,3.X): a venv of the emulated 3.X with the test extra's arm64 wheels and
# spinlattice's wheel from dist/, all chosen by pip for that interpreter.
aarch64_venv = .venv-aarch64-$(1)
aarch64_env = QEMU_CPU=$(AARCH64_CPU) QEMU_LD_PREFIX=$(AARCH64_ROOT_$(1)) CC=$(abspath $(ZIG_CC_AARCH64)) \
    SPINLATTICE_EXPECT_INSTALLED_IN=$(abspath $(call aarch64_venv,$(1)))
define aarch64_venv_rule
aarch64-venv-$(1): aarch64-binfmt $(AARCH64_ROOT_$(1))/.complete dist/.wheel-$(call abi_of,$(1))-aarch64 | $(PY)
	[ -x $(call aarch64_venv,$(1))/bin/python ] \
	|| $(call aarch64_env,$(1)) $(AARCH64_ROOT_$(1))/usr/bin/python$(1) -m venv --without-pip $(call aarch64_venv,$(1))
	$(PY) tools/requirements.py test > $(call aarch64_venv,$(1))/requirements.txt
	$(PY) -m pip install -q --upgrade --target $(call aarch64_venv,$(1))/lib/python$(1)/site-packages \
	    --only-binary=:all: --python-version $(1) --implementation cp --abi $(call abi_of,$(1)) \
	    $(foreach p,manylinux_2_17 manylinux2014 manylinux_2_28 manylinux_2_36,--platform $(p)_aarch64) \
	    $(if $(filter 3.11,$(1)),-r $(call aarch64_venv,$(1))/requirements.txt,pytest hypothesis) \
	    --find-links dist spinlattice
endef
$(foreach v,$(AARCH64_PYTHONS),$(eval $(call aarch64_venv_rule,$(v))))

# AARCH64_PYTEST_ARGS="-k name" narrows the run; no tests collected fails it.
aarch64-pytest: aarch64-venv-3.11 ctest-zig-aarch64
	@echo "== $$($(call aarch64_env,3.11) $(call aarch64_venv,3.11)/bin/python -c 'import platform, sys; print(sys.version.split()[0], platform.machine())') under qemu"
	@$(call aarch64_env,3.11) $(PYTEST) $(call aarch64_venv,3.11)/bin/python -q -p no:cacheprovider $(AARCH64_PYTEST_ARGS)

aarch64-wheels: $(addprefix aarch64-wheel-,$(filter-out 3.11,$(AARCH64_PYTHONS)))
aarch64-wheel-%: aarch64-venv-% ctest-zig-aarch64
	@echo "== $$($(call aarch64_env,$*) $(call aarch64_venv,$*)/bin/python -c 'import platform, sys; print(sys.version.split()[0], platform.machine())') under qemu"
	@$(call aarch64_env,$*) $(PYTEST) $(call aarch64_venv,$*)/bin/python -q -p no:cacheprovider $(AARCH64_WHEEL_TESTS)
