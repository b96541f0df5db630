#!/usr/bin/env bash
# Carries into the root at $1 what lets pip inside reach the same package index as
# the machine: pip's configuration files, the files they name (constraints...), and
# the CA bundle SSL_CERT_FILE / PIP_CERT name. Prints the local directories the pip
# settings name (find-links, file:// indexes), for the caller to bind-mount.
set -euo pipefail
root=$1
configs=()
for f in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf" \
         ${PIP_CONFIG_FILE:-}; do
    [ -f "$f" ] && configs+=("$f")
done
copy() {
    mkdir -p "$root$(dirname "$1")"
    cp -L "$1" "$root$1"
}
for f in "${configs[@]}" ${SSL_CERT_FILE:-} ${PIP_CERT:-}; do
    [ -f "$f" ] && copy "$f"
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# Absolute paths named by the settings: files are copied, directories reported.
{
    [ ${#configs[@]} -eq 0 ] || cat "${configs[@]}"
    printf '%s\n' "${PIP_FIND_LINKS:-}" "${PIP_INDEX_URL:-}" "${PIP_EXTRA_INDEX_URL:-}" "${PIP_CONSTRAINT:-}"
} | grep -oE '(file://)?/[^][:space:]"'\'',;]+' | sed -e 's|^file://||' -e 's|/*$||' | sort -u | while read -r path; do
    if [ -f "$path" ]; then
        copy "$path"
    elif [ -d "$path" ]; then
        # A simple index links to its files beside it: carry the whole tree.
        echo "${path%/simple}"
    fi
done
