#!/usr/bin/env bash
# A Debian sid chroot with the CPython versions that pyenv and the host's
# Debian do not have (3.14 and 3.15), plus the compiler and tools the build
# and the test suite need. Runs as root.
#
#   bash scripts/sid-chroot.sh path
#       Provisions the chroot when needed and prints its folder.
#   bash scripts/sid-chroot.sh run [--bind DIR]... [--host-root] -- COMMAND [ARG]...
#       Runs COMMAND inside the chroot (as root, in a mount namespace of its
#       own) with /proc, /dev, /dev/shm and each DIR (at the same path as on
#       the host) mounted. --host-root also mounts the host's / at /host
#       (for running the host's compiler, see scripts/build-wheels.sh). The
#       mounts live in the private mount namespace only, so they vanish when
#       COMMAND ends, whether it succeeds, fails or is killed.
#
# The chroot is cached under ${XDG_CACHE_HOME:-$HOME/.cache}/vexa/, in a
# folder named after a hash of the package list below: it is reused while the
# list stays the same and rebuilt (the old one removed) when the list changes.
# The first build takes 2 to 5 minutes (debootstrap from the mirror below) and
# leaves about 760 MB.
set -euo pipefail

# Changing this list (or the mirror) rebuilds the chroot.
SID_MIRROR="http://deb.debian.org/debian"
SID_PACKAGES=(
    python3.14 python3.14-dev python3.14-venv
    python3.15 python3.15-dev python3.15-venv
    g++ cmake binutils ca-certificates
    valgrind
)

SID_CACHE="${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/vexa"
SID_KEY="$(printf '%s\n' "$SID_MIRROR" "${SID_PACKAGES[@]}" | sha256sum | cut -c1-12)"
SID_ROOT="$SID_CACHE/sid-$SID_KEY"

_sid_log() { echo "sid-chroot: $*" >&2; }

_sid_need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: the sid chroot needs root (debootstrap, chroot and mounts)" >&2
        exit 1
    fi
}

_sid_apt_install() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        _sid_log "installing ${missing[*]} on the host"
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
    fi
}

# The host's CA bundle (and name resolution) over the chroot's, so that pip
# inside reaches PyPI through whatever the host trusts.
_sid_copy_host_config() {
    local bundle=/etc/ssl/certs/ca-certificates.crt
    if [ -f "$bundle" ]; then
        mkdir -p "$SID_ROOT/etc/ssl/certs"
        cp -f "$bundle" "$SID_ROOT$bundle"
    fi
    cp -fL /etc/resolv.conf "$SID_ROOT/etc/resolv.conf" 2>/dev/null || true
    [ -f /etc/pip.conf ] && cp -f /etc/pip.conf "$SID_ROOT/etc/pip.conf"
    return 0
}

# Removes a (partial) chroot; whatever a failed debootstrap left mounted in it
# is unmounted first, and the removal never crosses into another file system.
_sid_remove() {
    [ -e "$1" ] || return 0
    local mount_point
    while read -r mount_point; do
        umount -l "$mount_point" 2>/dev/null || true
    done < <(awk -v root="$1/" 'index($2, root) == 1 { print $2 }' /proc/self/mounts | sort -r)
    rm -rf --one-file-system "$1"
}

sid_provision() {
    if [ -f "$SID_ROOT/.vexa-ready" ]; then
        _sid_copy_host_config
        return 0
    fi
    _sid_need_root
    _sid_apt_install debootstrap ca-certificates
    mkdir -p "$SID_CACHE"
    # Only one process builds; others wait for it.
    exec 9>"$SID_CACHE/.sid.lock"
    flock 9
    if [ ! -f "$SID_ROOT/.vexa-ready" ]; then
        local building="$SID_ROOT.building" include started
        _sid_remove "$building"
        include="$(
            IFS=,
            echo "${SID_PACKAGES[*]}"
        )"
        started=$SECONDS
        _sid_log "building $SID_ROOT (debootstrap sid, a few minutes)"
        if ! debootstrap --variant=minbase --include="$include" sid "$building" "$SID_MIRROR" \
            >"$SID_CACHE/debootstrap.log" 2>&1; then
            tail -n 30 "$SID_CACHE/debootstrap.log" >&2
            [ -f "$building/debootstrap/debootstrap.log" ] && tail -n 30 "$building/debootstrap/debootstrap.log" >&2
            echo "error: debootstrap failed (log: $SID_CACHE/debootstrap.log)" >&2
            _sid_remove "$building"
            exit 1
        fi
        rm -rf "$building/var/cache/apt/archives/"*.deb
        touch "$building/.vexa-ready"
        mv "$building" "$SID_ROOT"
        # Chroots of older package lists.
        local old
        for old in "$SID_CACHE"/sid-*; do
            [ "$old" != "$SID_ROOT" ] && [ -d "$old" ] && _sid_remove "$old"
        done
        _sid_log "built in $((SECONDS - started)) s"
    fi
    flock -u 9
    exec 9>&-
    _sid_copy_host_config
}

# Runs inside the private mount namespace (see sid_run).
_sid_enter() {
    local root="$1" host_root="$2"
    shift 2
    local -a binds=()
    while [ "$1" != "--" ]; do
        binds+=("$1")
        shift
    done
    shift
    mount --make-rprivate /
    # First, so that the host's tree seen at /host holds none of the mounts below.
    if [ "$host_root" = 1 ]; then
        mkdir -p "$root/host"
        mount --rbind / "$root/host"
    fi
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mkdir -p "$root/dev/shm"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    local dir
    for dir in "${binds[@]}"; do
        mkdir -p "$root$dir"
        mount --bind "$dir" "$root$dir"
    done
    # A clean environment, but for the project's, pip's and pytest's settings.
    local -a keep=()
    local name
    while read -r name; do
        keep+=("$name=${!name}")
    done < <(compgen -e | grep -E '^(VEXA_|PIP_|PYTEST_|HYPOTHESIS_|CC$|CXX$|CFLAGS$|CXXFLAGS$|LDFLAGS$)' || true)
    exec chroot "$root" /usr/bin/env -i \
        HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM="${TERM:-dumb}" VEXA_IN_SID_CHROOT=1 \
        "${keep[@]}" "$@"
}

sid_run() {
    local -a binds=()
    local host_root=0
    while [ $# -gt 0 ]; do
        case "$1" in
        --bind)
            binds+=("$(cd "$2" && pwd -P)")
            shift 2
            ;;
        --host-root)
            host_root=1
            shift
            ;;
        --)
            shift
            break
            ;;
        *)
            echo "error: sid-chroot.sh run: unknown option $1" >&2
            exit 2
            ;;
        esac
    done
    [ $# -gt 0 ] || {
        echo "error: sid-chroot.sh run: no command" >&2
        exit 2
    }
    _sid_need_root
    sid_provision
    # A mount namespace of its own: the kernel drops every mount when the
    # last process in it exits, so nothing is left mounted on any exit path.
    unshare --mount --propagation private \
        bash "${BASH_SOURCE[0]}" _enter "$SID_ROOT" "$host_root" "${binds[@]}" -- "$@"
}

case "${1:-}" in
path)
    sid_provision
    echo "$SID_ROOT"
    ;;
run)
    shift
    sid_run "$@"
    ;;
_enter)
    shift
    _sid_enter "$@"
    ;;
*)
    echo "usage: bash scripts/sid-chroot.sh path | run [--bind DIR]... [--host-root] -- COMMAND..." >&2
    exit 2
    ;;
esac
