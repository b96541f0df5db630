#!/usr/bin/env bash
# Runs a command inside the Debian unstable root (built first if missing), from the
# checkout: tools/in_root.sh COMMAND... The checkout and the cache are mounted at their own
# paths, so paths mean the same inside and out; local package folders that pip's settings
# name are mounted read-only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/.." && pwd)
. "$here/lib.sh"
cache=$SPINLATTICE_CACHE
root=$cache/debian-unstable
"$here/debian_root.sh"
binds="$checkout=$checkout $cache=$cache"
for d in $("$here/root_config.sh" "$root"); do
    binds+=" $d=$d=ro"
done
in_private_root "$root" "$binds" env SPINLATTICE_CACHE="$cache" \
    bash -c 'cd "$1" && shift && exec "$@"' _ "$checkout" "$@"
