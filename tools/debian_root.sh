#!/usr/bin/env bash
# Builds, once, a minimal Debian unstable root holding CPython 3.14, 3.15 and the
# 3.15 debug build with a C++ toolchain, in $SPINLATTICE_CACHE/debian-unstable.
# It is built in a temporary directory and renamed when complete, so a half-built
# root is never reused.
set -euo pipefail
cache=${SPINLATTICE_CACHE:-$HOME/.cache/spinlattice}
root=$cache/debian-unstable
if [ -e "$root/.complete" ]; then exit 0; fi
here=$(cd "$(dirname "$0")" && pwd)
packages=(python3.14 python3.14-dev python3.14-venv
          python3.15 python3.15-dev python3.15-venv python3.15-dbg
          g++ make cmake ninja-build ca-certificates)

if ! command -v debootstrap >/dev/null; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >/dev/null
fi
uri=$("$here/apt_archive_uri.sh")
mkdir -p "$cache"
tmp=$(mktemp -d "$cache/debian-unstable.build.XXXXXX")
# Mounts live in a private namespace (see below), so removal never reaches the host.
trap 'rm -rf --one-file-system "$tmp"' EXIT

echo "== debootstrap --variant=minbase unstable from $uri"
debootstrap --variant=minbase unstable "$tmp" "$uri" >"$tmp.log" 2>&1 \
    || { tail -n 30 "$tmp.log"; rm -f "$tmp.log"; exit 1; }
rm -f "$tmp.log"
"$here/root_config.sh" "$tmp"
# The archive may serve a frozen snapshot whose Release has passed its Valid-Until.
cat >"$tmp/etc/apt/apt.conf.d/90spinlattice" <<'CONF'
Acquire::Check-Valid-Until "false";
APT::Sandbox::User "root";
CONF

echo "== installing ${packages[*]}"
# A private mount namespace: /proc and /dev go away with it, also on failure.
unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -q update >/dev/null
    chroot "$root" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "$@" >/dev/null
    chroot "$root" apt-get clean
' _ "$tmp" "${packages[@]}"

touch "$tmp/.complete"
rm -rf --one-file-system "$root"
mv "$tmp" "$root"
trap - EXIT
echo "== Debian unstable root ready in $root"
