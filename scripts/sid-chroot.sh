#!/usr/bin/env bash
# A Debian sid chroot with the CPython versions that pyenv and the host's
# Debian do not have (3.14 and 3.15), plus the compiler and tools the build
# and the test suite need; or, with --arch arm64, an arm64 one whose
# interpreters run under qemu (the cross-built aarch64 wheels are tested
# there, see scripts/test.sh). Runs as root.
#
#   bash scripts/sid-chroot.sh [--arch arm64] path
#       Provisions the chroot when needed and prints its folder.
#   bash scripts/sid-chroot.sh [--arch arm64] run [--bind DIR]... [--host-root] -- COMMAND [ARG]...
#       Runs COMMAND inside the chroot (as root, in a mount namespace of its
#       own) with /proc, /dev, /dev/shm and each DIR (at the same path as on
#       the host) mounted. --host-root also mounts the host's / at /host
#       (for running the host's compiler, see scripts/build-wheels.sh). The
#       mounts live in the private mount namespace only, so they vanish when
#       COMMAND ends, whether it succeeds, fails or is killed.
#   bash scripts/sid-chroot.sh [--arch arm64] install PACKAGE...
#       Installs Debian packages into the provisioned chroot when missing
#       (PyPy for scripts/test.sh): kept there until the chroot is rebuilt.
#
# Each chroot is cached under ${XDG_CACHE_HOME:-$HOME/.cache}/vexa/, in a
# folder named after its architecture and a hash of its package list below:
# it is reused while the list stays the same and rebuilt (the old one of the
# same architecture removed) when the list changes. The first build of the
# amd64 one takes 2 to 5 minutes (debootstrap from the mirror below) and
# leaves about 760 MB.
#
# arm64 on an x86-64 host: debootstrap's second stage and everything run in
# the chroot go through qemu-user-static, registered with binfmt_misc when it
# is not yet (the magic and mask from the qemu-user-static package's binfmt.d
# file, its static qemu-aarch64 as the interpreter, with the F flag, so that
# the kernel opens the interpreter once, outside the chroot). Its first build
# takes about 10 minutes, and leaves about 560 MB.
set -euo pipefail

SID_HOST_ARCH="$(dpkg --print-architecture)"
SID_ARCH="$SID_HOST_ARCH"
if [ "${1:-}" = "--arch" ]; then
    SID_ARCH="$2"
    shift 2
fi

# Changing a list (or the mirror) rebuilds that chroot.
SID_MIRROR="http://deb.debian.org/debian"
case "$SID_ARCH" in
amd64)
    SID_PACKAGES=(
        python3.14 python3.14-dev python3.14-venv
        python3.15 python3.15-dev python3.15-venv
        g++ cmake binutils ca-certificates
        valgrind
    )
    ;;
arm64)
    # The interpreters the aarch64 wheels are built for (the headers, for the
    # cross build on the host) and tested with; no compiler: the host's cross
    # g++ builds, and pip must take binary wheels only.
    SID_PACKAGES=(
        python3.13 python3.13-dev python3.13-venv
        python3.14 python3.14-dev python3.14-venv
        python3.15 python3.15-dev python3.15-venv
        ca-certificates
    )
    ;;
*)
    echo "error: sid-chroot.sh: no package list for architecture $SID_ARCH (amd64, arm64)" >&2
    exit 2
    ;;
esac

SID_CACHE="${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/vexa"
if [ "$SID_ARCH" = amd64 ]; then
    # The folder name from before there was a choice of architecture.
    SID_KEY="$(printf '%s\n' "$SID_MIRROR" "${SID_PACKAGES[@]}" | sha256sum | cut -c1-12)"
    SID_NAME="sid"
else
    SID_KEY="$(printf '%s\n' "$SID_ARCH" "$SID_MIRROR" "${SID_PACKAGES[@]}" | sha256sum | cut -c1-12)"
    SID_NAME="sid-$SID_ARCH"
fi
SID_ROOT="$SID_CACHE/$SID_NAME-$SID_KEY"

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

# Lets the kernel run the chroot's binaries when they are not the host's
# architecture: qemu-user-static's interpreter registered with binfmt_misc
# (which is mounted first where it is not). Registrations do not survive a
# reboot, so this is checked before every use.
_sid_foreign_binaries() {
    [ "$SID_ARCH" != "$SID_HOST_ARCH" ] || return 0
    local cpu
    case "$SID_ARCH" in
    arm64) cpu=aarch64 ;;
    *)
        echo "error: sid-chroot.sh: no qemu name for $SID_ARCH" >&2
        exit 2
        ;;
    esac
    local entry="/proc/sys/fs/binfmt_misc/qemu-$cpu" interpreter="/usr/bin/qemu-$cpu-static"
    if [ -f "$entry" ] && grep -qx enabled "$entry" && grep -q '^flags: .*F' "$entry"; then
        return 0
    fi
    _sid_need_root
    _sid_apt_install qemu-user-static
    [ -f /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # A registration without F (the interpreter looked up inside the chroot,
    # where it does not exist) is replaced.
    [ -f "$entry" ] && echo -1 >"$entry"
    # The package's line is ":name:type:offset:magic:mask:interpreter:flags";
    # its magic and mask, with the static binary and F.
    local line
    line="$(grep -v '^#' "/usr/lib/binfmt.d/qemu-$cpu.conf" | head -n 1)"
    IFS=: read -r _ name type offset magic mask _ _ <<<"$line"
    echo ":$name:$type:$offset:$magic:$mask:$interpreter:F" >/proc/sys/fs/binfmt_misc/register
    _sid_log "registered $interpreter for $cpu binaries (binfmt_misc)"
}

sid_provision() {
    _sid_foreign_binaries
    if [ -f "$SID_ROOT/.vexa-ready" ]; then
        _sid_copy_host_config
        return 0
    fi
    _sid_need_root
    _sid_apt_install debootstrap ca-certificates
    mkdir -p "$SID_CACHE"
    # Only one process builds; others wait for it.
    exec 9>"$SID_CACHE/.$SID_NAME.lock"
    flock 9
    if [ ! -f "$SID_ROOT/.vexa-ready" ]; then
        local building="$SID_ROOT.building" include started
        _sid_remove "$building"
        include="$(
            IFS=,
            echo "${SID_PACKAGES[*]}"
        )"
        started=$SECONDS
        _sid_log "building $SID_ROOT (debootstrap sid $SID_ARCH, a few minutes)"
        if ! debootstrap --arch="$SID_ARCH" --variant=minbase --include="$include" sid "$building" "$SID_MIRROR" \
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
        # Chroots of older package lists, of the same architecture.
        local old
        for old in "$SID_CACHE/$SID_NAME"-*; do
            [[ "${old##*/}" =~ ^$SID_NAME-[0-9a-f]{12}$ ]] || continue
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
        bash "${BASH_SOURCE[0]}" --arch "$SID_ARCH" _enter "$SID_ROOT" "$host_root" "${binds[@]}" -- "$@"
}

# Installs the Debian packages given when missing, once at a time.
sid_install() {
    _sid_need_root
    sid_provision
    local missing=() package
    for package in "$@"; do
        chroot "$SID_ROOT" dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    exec 8>"$SID_CACHE/.$SID_NAME.install.lock"
    flock 8
    _sid_log "installing ${missing[*]} in $SID_ROOT"
    # sid's Release files are valid for a week only; a cached chroot is older.
    sid_run -- sh -c 'apt-get -q -o Acquire::Check-Valid-Until=false update >/dev/null &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" >/dev/null &&
        apt-get clean' sh "${missing[@]}"
    flock -u 8
    exec 8>&-
}

case "${1:-}" in
install)
    shift
    sid_install "$@"
    ;;
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
    echo "usage: bash scripts/sid-chroot.sh [--arch arm64] path | run [--bind DIR]... [--host-root] -- COMMAND... | install PACKAGE..." >&2
    exit 2
    ;;
esac
