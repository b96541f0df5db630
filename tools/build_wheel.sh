#!/usr/bin/env bash
# Builds one wheel with zig's compiler for glibc 2.17, as scikit-build-core builds any
# wheel, from a build venv of its own: tools/build_wheel.sh PYTHON PROCESSOR [HEADERS]
# PYTHON is an x86-64 CPython of the wheel's version and ABI. HEADERS, needed for aarch64,
# is the target interpreter's include folder with its own pyconfig.h in place
# (tools/target_headers.py).
# ZIG names the compiler. The unrepaired wheel goes to build/dist/ABI-PROCESSOR/wheel/,
# for tools/gate_wheel.py.
set -euo pipefail
python=$1
processor=$2
headers=${3:-}
cd "$(dirname "$0")/.."
. tools/lib.sh
: "${ZIG:?ZIG must name the zig compiler}"
build_tools=${BUILD_TOOLS:-scikit-build-core>=0.11 cmake>=3.21 ninja}
build_tools=${build_tools//\"/}
abi=$("$python" -c 'import sys, sysconfig
print("cp%d%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
work=build/dist/$abi-$processor
# One build venv per interpreter, shared by its wheels for both processors, made by one at a time.
venv=build/dist/venv-$abi
mkdir -p build/dist
# shellcheck disable=SC2086 # one word per requirement
flock "$venv.lock" bash -c '[ -x "$2/bin/python" ] || "$1" -m venv "$2"
    PYTHONWARNINGS=ignore::ResourceWarning "$2/bin/python" -m pip install -q $3' _ "$python" "$venv" "$build_tools"

args=(-C "build-dir=$work/cmake"
      -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$PWD/cmake/zig.cmake"
      -C "cmake.define.SPINLATTICE_ZIG=$ZIG"
      -C "cmake.define.SPINLATTICE_ZIG_TARGET=$processor-linux-gnu.2.17")
[ -z "$headers" ] || args+=(-C "cmake.define.Python_INCLUDE_DIR=$headers")
cross=()
if [ "$processor" != "$(uname -m)" ]; then
    : "${headers:?a build for $processor needs the headers of the target interpreter}"
    # The wheel's platform tag and the module's file name are the target's.
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    soabi=${soabi/$(uname -m)/$processor}
    cross=(_PYTHON_HOST_PLATFORM="linux-$processor" SETUPTOOLS_EXT_SUFFIX=".$soabi.so")
    args+=(-C "cmake.define.Python_SOABI=$soabi")
fi
rm -rf "$work/wheel"
echo "== building the $abi wheel for $processor"
start=$SECONDS
env "${cross[@]}" ZIG_GLOBAL_CACHE_DIR="$SPINLATTICE_CACHE/zig" \
    "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$work/wheel" "${args[@]}" .
echo "== built the $abi wheel for $processor in $((SECONDS - start)) s"
