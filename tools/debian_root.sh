#!/usr/bin/env bash
# Builds, once, a minimal Debian unstable root holding CPython 3.14, 3.15 and the
# 3.15 debug build with a C++ toolchain, in $SPINLATTICE_CACHE/debian-unstable.
# It is built in a temporary directory and renamed when complete, so a half-built
# root is never reused.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
cache=$SPINLATTICE_CACHE
root=$cache/debian-unstable
if [ -e "$root/.complete" ]; then exit 0; fi
packages=(python3.14 python3.14-dev python3.14-venv
          python3.15 python3.15-dev python3.15-venv python3.15-dbg
          g++ make cmake ninja-build ca-certificates)

apt_install_missing debootstrap
uri=$("$here/apt_archive_uri.sh")
mkdir -p "$cache"
tmp=$(mktemp -d "$cache/debian-unstable.build.XXXXXX")
# Mounts live in a private namespace (see below), so removal never reaches the host.
trap 'rm -rf --one-file-system "$tmp"' EXIT

echo "== debootstrap --variant=minbase unstable from $uri"
debootstrap --variant=minbase unstable "$tmp" "$uri" >"$tmp.log" 2>&1 \
    || { tail -n 30 "$tmp.log"; rm -f "$tmp.log"; exit 1; }
rm -f "$tmp.log"
"$here/root_config.sh" "$tmp" >/dev/null
# The archive may serve a frozen snapshot whose Release has passed its Valid-Until.
cat >"$tmp/etc/apt/apt.conf.d/90spinlattice" <<'CONF'
Acquire::Check-Valid-Until "false";
APT::Sandbox::User "root";
CONF

echo "== installing ${packages[*]}"
in_private_root "$tmp" "" env DEBIAN_FRONTEND=noninteractive bash -euo pipefail -c '
    apt-get -q update >/dev/null
    apt-get install -y -q --no-install-recommends "$@" >/dev/null
    apt-get clean
' _ "${packages[@]}"

touch "$tmp/.complete"
rm -rf --one-file-system "$root"
mv "$tmp" "$root"
trap - EXIT
echo "== Debian unstable root ready in $root"
