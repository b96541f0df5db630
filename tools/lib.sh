# Sourced by the scripts in tools/: the helpers they share.

# apt_install_missing PACKAGE...: installs, with their dependencies, the packages not yet
# installed. make may run several jobs that get here at once: they take turns.
apt_install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing ${missing[*]} with apt"
    flock /var/lock/spinlattice-apt bash -euo pipefail -c '
        apt-get -o DPkg::Lock::Timeout=600 -q update >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -q -y \
            --no-install-recommends install "$@" >/dev/null
    ' _ "${missing[@]}"
}

# private_apt DIR TYPE SUITE fills the array apt_opts with options that give apt its own
# sources list, lists, status and cache under DIR, so that the machine's own apt setup is
# never touched. The one source is "TYPE URI SUITE main", from the archive the machine's
# apt already uses.
private_apt() {
    local dir=$1 uri
    uri=$("$(dirname "${BASH_SOURCE[0]}")/apt_archive_uri.sh")
    mkdir -p "$dir"/{lists/partial,cache/archives/partial,sources.list.d,preferences.d}
    [ -e "$dir/status" ] || : >"$dir/status"
    echo "$2 $uri $3 main" >"$dir/sources.list"
    apt_opts=(-o "Dir::Etc::SourceList=$dir/sources.list"
              -o "Dir::Etc::SourceParts=$dir/sources.list.d"
              -o "Dir::Etc::Preferences=$dir/preferences"
              -o "Dir::Etc::PreferencesParts=$dir/preferences.d"
              -o "Dir::State::Lists=$dir/lists"
              -o "Dir::State::status=$dir/status"
              -o "Dir::Cache=$dir/cache"
              -o APT::Sandbox::User=root)  # the private folders are root's own
}

# cpython_source_tarball WORK SUITE VERSION downloads Debian SUITE's pythonVERSION source
# package into WORK through a private apt and prints the path of its upstream tarball.
cpython_source_tarball() {
    local work=$1 suite=$2 version=$3
    private_apt "$work/apt" deb-src "$suite"
    echo "== downloading Debian $suite's python$version source package" >&2
    apt-get "${apt_opts[@]}" -q update >/dev/null
    (cd "$work" && apt-get "${apt_opts[@]}" -q source --download-only "python$version" >/dev/null)
    ls "$work/python${version}_"*.orig.tar.xz | head -n 1
}

# in_private_root ROOT BINDS COMMAND...: runs COMMAND chrooted into ROOT with /proc, /dev
# and BINDS mounted (a space-separated list of HOST_DIR=ROOT_DIR, "=ro" at the end for
# read-only). The mounts live in a private namespace, so they vanish with it, also on failure.
in_private_root() {
    local root=$1 binds=$2
    shift 2
    unshare --mount --propagation private -- bash -euo pipefail -c '
        root=$1 binds=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        for bind in $binds; do
            IFS== read -r from to ro <<<"$bind"
            mkdir -p "$root$to"
            mount --bind "$from" "$root$to"
            [ -z "$ro" ] || mount -o remount,bind,ro "$root$to"
        done
        chroot "$root" env HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    ' _ "$root" "$binds" "$@"
}

# Interpreters, roots, headers and compiler caches live here, outside any checkout; the
# Makefile names the place.
: "${SPINLATTICE_CACHE:?run this through make, or set SPINLATTICE_CACHE}"
