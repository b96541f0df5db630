#!/usr/bin/env bash
# Unpacks Debian's arm64 packages (and their dependencies) from SUITE into ROOT, for
# running under qemu-user and building against: tools/arm64_root.sh ROOT STATE SUITE PACKAGE...
# apt runs with a private state (lists, status, cache) under STATE and this machine's
# own archive sources, so the host's packages are never touched; nothing is installed
# through multiarch, which would conflict with the host's own Python. The root is
# unpacked beside ROOT and renamed when complete.
set -euo pipefail
root=$1
state=$2
suite=$3
shift 3
if [ -f "$root/.complete" ]; then exit 0; fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
private_apt "$state" deb "$suite"
apt_opts+=(
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Dir::State="$state"
    -o Debug::NoLocking=1 -o APT::Install-Recommends=false
    -o Acquire::Check-Valid-Until=false
)
apt-get "${apt_opts[@]}" -q update >/dev/null
rm -f "$state"/cache/archives/*.deb
apt-get "${apt_opts[@]}" -q -y --download-only install "$@" >/dev/null

rm -rf "$root.part"
mkdir -p "$root.part"
for deb in "$state"/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$root.part"
done
# A merged-/usr release leaves the top-level links (the loader's path among them) to base-files.
for d in bin sbin lib; do
    [ -e "$root.part/$d" ] || ln -s "usr/$d" "$root.part/$d"
done
touch "$root.part/.complete"
rm -rf "$root"
mv "$root.part" "$root"
echo "== arm64 root ($suite: $*) ready in $root"
