# `make test-cross`: what this Linux machine can prove of the macOS and Windows builds.
# - cross-module-aarch64-macos, cross-module-x86_64-macos, cross-module-x86_64-windows:
#   the whole module from the same sources with zig's clang, warnings as errors, against
#   CPython 3.13's headers with each system's pyconfig.h (tools/cross_headers.py), linked as
#   each system links extension modules; then tools/check_module_imports.py checks its
#   format, what it imports (exp from the system's C library) and what it exports;
# - cross-ctest-windows: the C++ tests built for x86_64-windows-gnu and run under Wine
#   (Debian's wine64): close to Windows, but Wine's implementation of its API, not Windows.
# Each part's time is printed. Headers, the interpreter's import library and the Wine prefix
# are built once into the cache; zig builds its C++ runtime once per target (minutes, cold).
# Included from the top-level Makefile, after mk/pythons.mk and mk/dist.mk.

CROSS_PYTHON := 3.13
CROSS_PYTHON_SUITE := trixie
CROSS_ABI := $(call abi_of,$(CROSS_PYTHON))
CPYTHON_SOURCE := $(SPINLATTICE_CACHE)/cpython-$(CROSS_PYTHON)-source
CROSS_MACOS_HEADERS := $(PYTHON_HEADERS)/$(CROSS_ABI)-macos
CROSS_WINDOWS_HEADERS := $(PYTHON_HEADERS)/$(CROSS_ABI)-windows
CROSS_PYTHON_DLL := python$(subst .,,$(CROSS_PYTHON)).dll
CROSS_IMPORT_LIBRARY := $(CROSS_WINDOWS_HEADERS)/libs/lib$(CROSS_PYTHON_DLL).a
# macOS's pyconfig.h starts from a Linux build of the same version: pyenv's.
CROSS_LINUX_PYCONFIG = $(dir $(call pyenv_python,$(CROSS_PYTHON)))../include/python$(CROSS_PYTHON)/pyconfig.h
WINE := /usr/lib/wine/wine64
WINESERVER := /usr/lib/wine/wineserver
WINE_PREFIX := $(SPINLATTICE_CACHE)/wine
WINE_ENV := WINEPREFIX=$(WINE_PREFIX) WINEDEBUG=-all

# Each part: its zig target, the CMake options naming the interpreter, the module's file.
CROSS_MODULES := aarch64-macos x86_64-macos x86_64-windows
CROSS_ZIG_aarch64-macos := aarch64-macos.13.3
CROSS_ZIG_x86_64-macos := x86_64-macos.13.3
CROSS_ZIG_x86_64-windows := x86_64-windows-gnu
CROSS_PYTHON_macos = -DPython_INCLUDE_DIR=$(CROSS_MACOS_HEADERS)/include -DPython_SOABI=cpython-313-darwin
CROSS_PYTHON_windows = -DPython_INCLUDE_DIR=$(CROSS_WINDOWS_HEADERS)/include \
    -DPython_LIBRARY=$(CROSS_IMPORT_LIBRARY) -DPython_SOABI=$(CROSS_ABI)-win_amd64
CROSS_FILE_macos := spinlattice.cpython-313-darwin.so
CROSS_FILE_windows := spinlattice.$(CROSS_ABI)-win_amd64.pyd
cross_system = $(lastword $(subst -, ,$(1)))
# zig's compiler checks at configure time build its runtime too: into the same cache.
ZIG_CACHE_ENV := ZIG_GLOBAL_CACHE_DIR=$(SPINLATTICE_CACHE)/zig
# The modules are built two at a time: zig builds each target's runtime on one core.
test-cross:
	@start=$$SECONDS; $(MAKE) --no-print-directory cross-headers cross-tools || exit 1; \
	    echo "== 'make cross-headers cross-tools' took $$((SECONDS - start)) s"
	@start=$$SECONDS; $(MAKE) --no-print-directory -j2 --output-sync=target \
	    $(addprefix cross-module-,$(CROSS_MODULES)) || exit 1; \
	    echo "== the $(words $(CROSS_MODULES)) modules took $$((SECONDS - start)) s together"
	@for part in wine-prefix cross-ctest-windows; do \
	    start=$$SECONDS; $(MAKE) --no-print-directory $$part || exit 1; \
	    echo "== 'make $$part' took $$((SECONDS - start)) s"; \
	done

# dist-tools brings LIEF, which tools/check_module_imports.py reads the modules with.
cross-tools: $(BIN)/cmake dist-tools

$(CPYTHON_SOURCE)/Include/Python.h:
	tools/cpython_source.sh $(CROSS_PYTHON) $(CROSS_PYTHON_SUITE) $(CPYTHON_SOURCE)
$(CROSS_MACOS_HEADERS)/include/pyconfig.h: | $(CPYTHON_SOURCE)/Include/Python.h $(PY)
	@test -e $(CROSS_LINUX_PYCONFIG) || { echo "no pyenv CPython $(CROSS_PYTHON) for its pyconfig.h"; exit 1; }
	$(PY) tools/cross_headers.py macos $(CROSS_MACOS_HEADERS) $(CPYTHON_SOURCE) $(CROSS_LINUX_PYCONFIG)
$(CROSS_IMPORT_LIBRARY): | $(CPYTHON_SOURCE)/Include/Python.h $(PY) $(ZIG)
	$(PY) tools/cross_headers.py windows $(CROSS_WINDOWS_HEADERS) $(CPYTHON_SOURCE)
	$(ZIG) dlltool -m i386:x86-64 -d $(CROSS_WINDOWS_HEADERS)/libs/python$(subst .,,$(CROSS_PYTHON)).def -l $@.tmp
	mv $@.tmp $@
cross-headers: $(CROSS_MACOS_HEADERS)/include/pyconfig.h $(CROSS_IMPORT_LIBRARY)

$(addprefix cross-module-,$(CROSS_MODULES)): cross-module-%: cross-headers cross-tools
	@mkdir -p build && date +%s > build/cross-$*.start
	$(ZIG_CACHE_ENV) $(call configure,build/cross-$*,-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig.cmake) -DSPINLATTICE_ZIG=$(ZIG) \
	    -DSPINLATTICE_ZIG_TARGET=$(CROSS_ZIG_$*) $(CROSS_PYTHON_$(call cross_system,$*)))
	+$(ZIG_CACHE_ENV) $(BIN)/cmake --build build/cross-$*
	$(PY) tools/check_module_imports.py build/cross-$*/$(CROSS_FILE_$(call cross_system,$*)) $(CROSS_ZIG_$*) \
	    --python-dll $(CROSS_PYTHON_DLL)
	@echo "== '$@' took $$(($$(date +%s) - $$(cat build/cross-$*.start))) s"

# Wine's first start makes its prefix (a minute or less); later runs reuse it.
wine-prefix:
	@. tools/lib.sh && apt_install_missing wine64
	@test -e $(WINE_PREFIX)/system.reg || { $(WINE_ENV) $(WINE) wineboot --init && $(WINE_ENV) $(WINESERVER) -w; }

cross-ctest-windows: wine-prefix cross-tools
	$(ZIG_CACHE_ENV) $(call configure,build/ctest-zig-x86_64-windows,-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig.cmake) \
	    -DSPINLATTICE_ZIG=$(ZIG) -DSPINLATTICE_ZIG_TARGET=x86_64-windows-gnu \
	    -DSPINLATTICE_MODULE=OFF -DSPINLATTICE_TESTS=ON \
	    "-DCMAKE_CROSSCOMPILING_EMULATOR=env;$(subst $() ,;,$(WINE_ENV));$(WINE)")
	+$(ZIG_CACHE_ENV) $(BIN)/cmake --build build/ctest-zig-x86_64-windows
	$(BIN)/ctest --test-dir build/ctest-zig-x86_64-windows --output-on-failure
