#!/usr/bin/env bash
# Runs tools/run_suite.sh inside the Debian unstable root with chroot:
# tools/in_root.sh PYTHON NAME. The checkout is bind-mounted at /spinlattice;
# the mounts live in a private namespace, so they vanish with it even on failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/.." && pwd)
root=${SPINLATTICE_CACHE:-$HOME/.cache/spinlattice}/debian-unstable
"$here/debian_root.sh"
# Local package directories that pip's settings name are bind-mounted read-only.
pip_dirs=$("$here/root_config.sh" "$root" | tr '\n' ':')
mkdir -p "$root/spinlattice"
exec unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1 checkout=$2 pip_dirs=$3; shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --bind "$checkout" "$root/spinlattice"
    IFS=: read -ra dirs <<<"$pip_dirs"
    for d in "${dirs[@]}"; do
        mkdir -p "$root$d"
        mount --bind "$d" "$root$d"
        mount -o remount,bind,ro "$root$d"
    done
    chroot "$root" env HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /spinlattice && tools/run_suite.sh \"\$@\"" _ "$@"
' _ "$root" "$checkout" "$pip_dirs" "$@"
