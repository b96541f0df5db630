#!/usr/bin/env bash
# Builds a free-threaded (--disable-gil) CPython from the Debian source package of its
# version in SUITE, once, into $SPINLATTICE_CACHE/python-VERSIONt:
#   tools/build_python_ft.sh VERSION SUITE      (e.g. 3.13 trixie)
# or a variant with more configure flags into $SPINLATTICE_CACHE/python-VERSIONt-VARIANT:
#   tools/build_python_ft.sh VERSION SUITE VARIANT FLAG...  (e.g. ... tsan --with-thread-sanitizer)
# apt runs with private lists, state and cache so the machine's own apt setup is left alone.
set -euo pipefail
version=$1
suite=$2
variant=${3:+-$3}
flags=("${@:4}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
prefix=$SPINLATTICE_CACHE/python-${version}t$variant
if [ -x "$prefix/bin/python${version}t" ]; then exit 0; fi

apt_install_missing build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev \
    libsqlite3-dev libbz2-dev liblzma-dev libreadline-dev libgdbm-dev \
    libgdbm-compat-dev libncurses-dev uuid-dev libexpat1-dev

mkdir -p "$SPINLATTICE_CACHE"
work=$(mktemp -d "$prefix.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
tarball=$(cpython_source_tarball "$work" "$suite" "$version")
tar -xf "$tarball" -C "$work"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -iname "python*$version*" | head -n 1)

echo "== building $(basename "$tarball") with --disable-gil ${flags[*]} (several minutes)"
cd "$src"
# A sanitized interpreter runs during its own build and install; what it reports
# there is not under test and must not fail the build.
export TSAN_OPTIONS=report_bugs=0
./configure -q --disable-gil "${flags[@]}" --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1 \
    || { tail -n 30 "$work/configure.log"; exit 1; }
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
# Installed into a staging tree, then renamed, so a half-built prefix is never used.
make install DESTDIR="$work/stage" >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
rm -rf "$prefix"
mv "$work/stage$prefix" "$prefix"
"$prefix/bin/python${version}t" -c 'import sys; assert not sys._is_gil_enabled(); print("==", sys.version)'
