#!/usr/bin/env bash
# Unpacks the C headers (Include/ and PC/) of Debian SUITE's pythonVERSION source
# package into OUT, once, for building the module for other systems:
#   tools/cpython_source.sh VERSION SUITE OUT      (e.g. 3.13 trixie)
# apt runs with private lists, state and cache (lib.sh), so the machine's own apt setup is left alone.
set -euo pipefail
version=$1
suite=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
if [ -e "$out/Include/Python.h" ]; then exit 0; fi

mkdir -p "$(dirname "$out")"
work=$(mktemp -d "$out.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
tarball=$(cpython_source_tarball "$work" "$suite" "$version")
tar -xf "$tarball" -C "$work" --wildcards '*/Include/*' '*/PC/*'
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -iname "python*$version*" | head -n 1)
# Renamed into place, so a half-unpacked tree is never used.
mkdir "$work/tree"
mv "$src/Include" "$src/PC" "$work/tree/"
rm -rf "$out"
mv -T "$work/tree" "$out"
