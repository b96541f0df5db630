#!/usr/bin/env bash
# Unpacks Debian's arm64 python3.11, libpython3.11-dev, libstdc++6 and their
# dependencies into ROOT, for running and building against under qemu-user.
# apt runs with a private state (lists, status, cache) under STATE and this
# machine's own archive sources, so the host's packages are never touched;
# nothing is installed through multiarch, which would conflict with the host's
# own Python. Usage: aarch64_root.sh ROOT STATE
set -euo pipefail
root=$1
state=$2
packages=(python3.11 libpython3.11-dev libstdc++6)

if [ -f "$root/.complete" ]; then exit 0; fi
here=$(cd "$(dirname "$0")" && pwd)
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
. "$here/private_apt.sh"
# This release from the archive the machine's apt already uses.
private_apt "$state" deb "$codename"
apt_opts+=(
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Dir::State="$state"
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o APT::Install-Recommends=false
)
apt-get "${apt_opts[@]}" -q update
apt-get "${apt_opts[@]}" -q -y --download-only install "${packages[@]}"

mkdir -p "$root"
for deb in "$state"/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$root"
done
touch "$root/.complete"
echo "arm64 root ready in $root"
