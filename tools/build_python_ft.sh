#!/usr/bin/env bash
# Builds a free-threaded (--disable-gil) CPython 3.13 from Debian trixie's source
# package, once, into $SPINLATTICE_CACHE/python-3.13t. apt runs with private
# lists, state and cache so the machine's own apt setup is left alone.
set -euo pipefail
cache=${SPINLATTICE_CACHE:-$HOME/.cache/spinlattice}
prefix=$cache/python-3.13t
if [ -x "$prefix/bin/python3.13t" ]; then exit 0; fi
here=$(cd "$(dirname "$0")" && pwd)

build_deps=(build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev
            libsqlite3-dev libbz2-dev liblzma-dev libreadline-dev libgdbm-dev
            libgdbm-compat-dev libncurses-dev uuid-dev libexpat1-dev)
missing=()
for p in "${build_deps[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing build dependencies: ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/python-3.13t.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
apt_dir=$work/apt
. "$here/private_apt.sh"
private_apt "$apt_dir" deb-src trixie
echo "== downloading Debian trixie's python3.13 source package"
apt-get "${apt_opts[@]}" -q update >/dev/null
(cd "$work" && apt-get "${apt_opts[@]}" -q source --download-only python3.13 >/dev/null)
tarball=$(ls "$work"/python3.13_*.orig.tar.xz | head -n 1)
tar -xf "$tarball" -C "$work"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -iname 'python*3.13*' | head -n 1)

echo "== building $(basename "$tarball") with --disable-gil (several minutes)"
cd "$src"
./configure -q --disable-gil --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1 \
    || { tail -n 30 "$work/configure.log"; exit 1; }
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
# Installed into a staging tree, then renamed, so a half-built prefix is never used.
make install DESTDIR="$work/stage" >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
rm -rf "$prefix"
mv "$work/stage$prefix" "$prefix"
"$prefix/bin/python3.13t" -c 'import sys; assert not sys._is_gil_enabled(); print("==", sys.version)'
