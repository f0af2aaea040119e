# Sourced by the scripts in this folder: makes sure that a venv at the project
# root holds the chosen CPython with vexa installed (built from this tree) plus
# the service and test extras.
#
# Afterwards VEXA_ROOT is the project root, VEXA_VENV the venv and
# VEXA_PYTHON_BIN the venv's python.
#
# The interpreter is CPython 3.10 by default: pyenv's newest installed 3.10.x,
# else python3.10 on PATH. $VEXA_PYTHON picks another one, either as a version
# ("3.13": pyenv's newest 3.13.x, else python3.13 on PATH) or as the path of
# an interpreter. Each version has its own venv, .venv for 3.10 and .venv-3.X
# for the others, so switching versions rebuilds nothing. They are made in
# the project root, or in $VEXA_VENVS when that is set: CI keeps them in the
# user's cache, so that its fresh clone of the project finds them with their
# requirements installed (and the package too, when its sources are the same).
#
# CPython 3.14 and 3.15, when the machine has neither, come from a cached
# Debian sid chroot (scripts/sid-chroot.sh, built on first use: a few minutes,
# as root): the calling script then runs again inside it, with the checkout
# mounted at the same path, and its venv is .venv-3.14 / .venv-3.15 as usual.
#
# VEXA_ARCH=aarch64 tests Linux aarch64 on an x86-64 machine: the wheel of
# this tree is cross-built for VEXA_PYTHON (3.13, 3.14 or 3.15; default 3.14)
# by `scripts/build-wheels.sh --arch aarch64` into build/aarch64-wheels/
# (again only when the tree changed), then the calling script runs again in
# the cached arm64 Debian sid chroot (scripts/sid-chroot.sh --arch arm64,
# binaries run by qemu-user-static), where the venv .venv-3.X-aarch64 gets
# that wheel installed rather than a build from source.
#
# VEXA_TOOLCHAIN=clang builds with clang and libc++ instead of the default
# compiler (CC=clang CXX=clang++, -stdlib=libc++; Debian's clang, libc++-dev
# and libc++abi-dev are installed when missing), into a venv and a CMake
# build folder of its own (.venv-clang, .venv-3.X-clang; build/<tag>-clang).
#
# The package is installed as a regular (non-editable) wheel. The build
# requirements live in the venv and the build runs without isolation, so the
# CMake build directory (build/<wheel tag>) stays valid between runs and a
# re-run only recompiles what changed. Requirements already satisfied are not
# installed again, so a re-run needs no network; nor is the package, while
# nothing it is built from has changed (a stamp in the venv: the content of
# its sources and the compiler settings).

VEXA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VEXA_DEFAULT_PYTHON_VERSION=3.10

# Prints "3.X" when "$1" runs and is CPython 3.X; fails otherwise.
_vexa_cpython_version() {
    [ -n "$1" ] && "$1" -c 'import sys; assert sys.implementation.name == "cpython"; print("%d.%d" % sys.version_info[:2])' \
        2>/dev/null
}

# Prints "3.X" when "$1" runs and is CPython 3.X, "pypy3" when it is PyPy.
_vexa_python_label() {
    [ -n "$1" ] && "$1" -c 'import sys; print("pypy3" if sys.implementation.name == "pypy" else "%d.%d" % sys.version_info[:2])' \
        2>/dev/null
}

# Prints the path of a CPython interpreter of version "$1" (3.X), or fails.
_vexa_find_version() {
    local wanted="$1" pyenv_bin version candidate
    pyenv_bin="$(command -v pyenv 2>/dev/null || true)"
    if [ -z "$pyenv_bin" ] && [ -x "${PYENV_ROOT:-${HOME:-}/.pyenv}/bin/pyenv" ]; then
        pyenv_bin="${PYENV_ROOT:-${HOME:-}/.pyenv}/bin/pyenv"
    fi
    if [ -n "$pyenv_bin" ]; then
        version="$("$pyenv_bin" versions --bare 2>/dev/null | grep -E "^${wanted/./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)"
        if [ -n "$version" ]; then
            candidate="$(PYENV_VERSION="$version" "$pyenv_bin" which "python$wanted" 2>/dev/null || true)"
            if [ "$(_vexa_cpython_version "$candidate")" = "$wanted" ]; then
                echo "$candidate"
                return 0
            fi
        fi
    fi
    candidate="$(command -v "python$wanted" 2>/dev/null || true)"
    if [ "$(_vexa_cpython_version "$candidate")" = "$wanted" ]; then
        echo "$candidate"
        return 0
    fi
    echo "error: CPython $wanted not found. Install it (e.g. 'pyenv install $wanted'), put python$wanted" \
        "on PATH, or set VEXA_PYTHON=/path/to/python$wanted." >&2
    return 1
}

# Prints the path of the interpreter to use, or fails.
_vexa_find_python() {
    local choice="${VEXA_PYTHON:-$VEXA_DEFAULT_PYTHON_VERSION}"
    if [[ "$choice" =~ ^3\.[0-9]+$ ]]; then
        _vexa_find_version "$choice"
        return
    fi
    if _vexa_cpython_version "$choice" >/dev/null; then
        echo "$choice"
        return 0
    fi
    echo "error: VEXA_PYTHON=$choice is neither a version such as 3.13 nor a working CPython interpreter" >&2
    return 1
}

# Runs a command with its output kept in a log; shows the log only on failure.
_vexa_quiet() {
    _vexa_step "" "$@"
}

# Runs a command as _vexa_quiet does, and, given what it does in "$1", shows
# meanwhile that it is at work: on a terminal one line that counts the
# seconds and, while the C++ modules compile, the build's step ("[12/40]");
# elsewhere (a CI log) a line every 15 seconds.
_vexa_step() {
    local label="$1" log status=0 pid started="$SECONDS" elapsed step said=0
    shift
    log="$(mktemp)"
    "$@" >"$log" 2>&1 &
    pid=$!
    while [ -n "$label" ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.5
        elapsed=$((SECONDS - started))
        step="$(grep -oE '^ *\[[0-9]+/[0-9]+\]' "$log" | tail -n 1 | tr -d ' ' || true)"
        if [ -t 1 ]; then
            printf '\r  %s: %ss%s\033[K' "$label" "$elapsed" "${step:+, compiling $step}"
        elif [ "$elapsed" -ge $((said + 15)) ]; then
            said="$elapsed"
            echo "  $label: ${elapsed}s${step:+, compiling $step}"
        fi
    done
    wait "$pid" || status=$?
    if [ -n "$label" ] && [ -t 1 ]; then printf '\r\033[K'; fi
    if [ "$status" -eq 0 ]; then
        rm -f "$log"
        return 0
    fi
    # This machine's pip configuration names an index folder that may not exist;
    # pip's warnings about it are noise.
    grep -v "^WARNING: Location 'file:" "$log" >&2 || true
    rm -f "$log"
    echo "error: command failed (exit $status): $*" >&2
    return "$status"
}

# Reads [build-system] requires from pyproject.toml, one per line.
_vexa_build_requires() {
    "$VEXA_PYTHON_BIN" - "$VEXA_ROOT/pyproject.toml" <<'EOF'
import ast, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
match = re.search(r"^\[build-system\]\s*$(.*?)^requires\s*=\s*(\[[^\]]*\])", text, re.M | re.S)
if match is None or "\n[" in match.group(1):
    sys.exit("error: no [build-system] requires in pyproject.toml")
print("\n".join(ast.literal_eval(match.group(2))))
EOF
}

# Prints those of the requirements given as arguments that the venv does not satisfy.
_vexa_unsatisfied() {
    "$VEXA_PYTHON_BIN" - "$@" <<'EOF'
import sys
from importlib import metadata
from pip._vendor.packaging.requirements import Requirement
for text in sys.argv[1:]:
    requirement = Requirement(text)
    try:
        installed = metadata.version(requirement.name)
    except metadata.PackageNotFoundError:
        print(text)
        continue
    if not requirement.specifier.contains(installed, prereleases=True):
        print(text)
EOF
}

# The versions the sid chroot provides.
VEXA_SID_VERSIONS="3.14 3.15"

# The --bind of the venvs' folder ($VEXA_VENVS) for a run in a chroot, in the
# array VEXA_VENVS_BIND; empty when the venvs live in the checkout.
_vexa_venvs_bind() {
    VEXA_VENVS_BIND=()
    [ -n "${VEXA_VENVS:-}" ] || return 0
    mkdir -p "$VEXA_VENVS"
    VEXA_VENVS="$(cd "$VEXA_VENVS" && pwd -P)"  # as the chroot sees it
    export VEXA_VENVS
    VEXA_VENVS_BIND=(--bind "$VEXA_VENVS")
}

# Runs the sourcing script again inside the sid chroot when the chosen version
# is one the chroot provides and this machine lacks; returns otherwise.
_vexa_maybe_enter_sid() {
    local choice="${VEXA_PYTHON:-$VEXA_DEFAULT_PYTHON_VERSION}"
    [ -z "${VEXA_IN_SID_CHROOT:-}" ] || return 0
    [[ " $VEXA_SID_VERSIONS " == *" $choice "* ]] || return 0
    _vexa_find_version "$choice" >/dev/null 2>&1 && return 0
    echo "CPython $choice: running ${0##*/} in the Debian sid chroot (scripts/sid-chroot.sh)"
    # The checkout is mounted at its physical path.
    local root
    root="$(cd "$VEXA_ROOT" && pwd -P)"
    _vexa_venvs_bind
    exec bash "$root/scripts/sid-chroot.sh" run --bind "$root" "${VEXA_VENVS_BIND[@]}" -- \
        bash "$root/scripts/${0##*/}" "${VEXA_SCRIPT_ARGS[@]}"
}

# VEXA_TOOLCHAIN: the default compiler, or clang with libc++.
_vexa_toolchain() {
    case "${VEXA_TOOLCHAIN:-}" in
    "" | default)
        VEXA_TOOLCHAIN_SUFFIX=""
        ;;
    clang)
        VEXA_TOOLCHAIN_SUFFIX="-clang"
        local package missing=()
        for package in clang libc++-dev libc++abi-dev; do
            dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
                missing+=("$package")
        done
        if [ "${#missing[@]}" -gt 0 ] && command -v apt-get >/dev/null; then
            echo "Installing ${missing[*]}"
            _vexa_quiet apt-get update -q || return 1
            _vexa_quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" || return 1
        fi
        export CC=clang CXX=clang++
        export CXXFLAGS="-stdlib=libc++${CXXFLAGS:+ $CXXFLAGS}"
        export LDFLAGS="-stdlib=libc++${LDFLAGS:+ $LDFLAGS}"
        ;;
    *)
        echo "error: VEXA_TOOLCHAIN=$VEXA_TOOLCHAIN is not one of: default, clang" >&2
        return 1
        ;;
    esac
}

# Compiles through ccache where it is installed: every venv and every fresh
# clone builds the same sources, and paths below the checkout are made
# relative so that clones in other folders share the cache.
_vexa_compiler_cache() {
    command -v ccache >/dev/null || return 0
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$VEXA_ROOT" CCACHE_NOHASHDIR=1
}

_vexa_setup_venv() {
    local python version venvs="${VEXA_VENVS:-$VEXA_ROOT}"
    _vexa_toolchain || return 1
    _vexa_compiler_cache
    if [ "${VEXA_PYTHON:-}" = pypy3 ]; then
        # Only with its universal wheel (see _vexa_maybe_enter_pypy).
        python="$(command -v pypy3)" || { echo "error: no pypy3 on PATH" >&2; return 1; }
        version=pypy3
    else
        python="$(_vexa_find_python)" || return 1
        version="$(_vexa_cpython_version "$python")"
    fi
    if [ "$version" = pypy3 ]; then
        VEXA_VENV="$venvs/.venv-pypy3"
    elif [ -n "${VEXA_WHEEL:-}" ]; then
        VEXA_VENV="$VEXA_ROOT/.venv-$version-$(uname -m)"
    elif [ "$version" = "$VEXA_DEFAULT_PYTHON_VERSION" ]; then
        VEXA_VENV="$venvs/.venv$VEXA_TOOLCHAIN_SUFFIX"
    else
        VEXA_VENV="$venvs/.venv-$version$VEXA_TOOLCHAIN_SUFFIX"
    fi
    mkdir -p "$venvs"
    VEXA_PYTHON_BIN="$VEXA_VENV/bin/python"

    if [ -e "$VEXA_VENV" ] && [ "$(_vexa_python_label "$VEXA_PYTHON_BIN")" != "$version" ]; then
        echo "Recreating ${VEXA_VENV##*/} (its python is missing or not $version)"
        rm -rf "$VEXA_VENV"
    fi
    if [ ! -e "$VEXA_VENV" ] && [ -n "${VEXA_ARCH:-}" ] && [ -n "${VEXA_IN_SID_CHROOT:-}" ]; then
        # Under qemu, ensurepip's compiling of pip alone takes many minutes:
        # Debian's bundled pip wheel, run from the wheel itself, installs pip uncompiled.
        echo "Creating ${VEXA_VENV##*/} with $python (pip not compiled)"
        _vexa_quiet "$python" -m venv --without-pip "$VEXA_VENV" || return 1
        local pip_wheel
        pip_wheel="$(ls /usr/share/python-wheels/pip-*.whl | tail -n 1)"
        _vexa_quiet "$VEXA_PYTHON_BIN" "$pip_wheel/pip" install -q --no-compile --no-index "$pip_wheel" || return 1
    elif [ ! -e "$VEXA_VENV" ]; then
        echo "Creating ${VEXA_VENV##*/} with $python"
        _vexa_quiet "$python" -m venv "$VEXA_VENV" || return 1
    fi

    if [ -n "${VEXA_WHEEL:-}" ]; then
        _vexa_install_wheel
        return
    fi

    local requires_text missing_text
    local -a requires missing
    requires_text="$(_vexa_build_requires)" || return 1
    mapfile -t requires <<<"$requires_text"
    # CMake and Ninja come from PyPI, as scikit-build-core would fetch them in
    # an isolated build.
    missing_text="$(_vexa_unsatisfied "${requires[@]}" "cmake>=3.20" "ninja>=1.10")" || return 1
    if [ -n "$missing_text" ]; then
        mapfile -t missing <<<"$missing_text"
        echo "Installing the build requirements into ${VEXA_VENV##*/}"
        _vexa_step "installing" "$VEXA_PYTHON_BIN" -m pip install -q "${missing[@]}" || return 1
    fi
    local stamp="$VEXA_VENV/.vexa-installed-from" fingerprint
    fingerprint="$(_vexa_package_fingerprint)"
    if [ -n "$fingerprint" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$fingerprint" ]; then
        echo "vexa in ${VEXA_VENV##*/} is built from this tree already"
        return 0
    fi
    rm -f "$stamp"
    echo "Installing vexa into ${VEXA_VENV##*/} (CPython $version, building the C++ modules)"
    # Always with the compiled modules: VEXA_NO_EXTENSIONS=1 chooses the
    # pure-Python twins when the tests run, not a build without them (that
    # build, the universal wheel, is tested by test_dist.py and build-wheels.sh).
    # -v: the build's own output, whose steps the progress line shows (kept out of sight otherwise).
    (cd "$VEXA_ROOT" && _vexa_step "building" env -u VEXA_NO_EXTENSIONS "$VEXA_PYTHON_BIN" -m pip install -v --no-build-isolation \
        ${VEXA_TOOLCHAIN_SUFFIX:+--config-settings=build-dir="build/{wheel_tag}$VEXA_TOOLCHAIN_SUFFIX"} \
        ".[service,cli,test]") || return 1
    [ -z "$fingerprint" ] || echo "$fingerprint" >"$stamp"
}

# A built wheel (VEXA_WHEEL, see VEXA_ARCH) with the service, CLI and test
# extras, into the venv: again only when it is another file.
_vexa_install_wheel() {
    local stamp="$VEXA_VENV/.vexa-installed-from" fingerprint
    fingerprint="$(sha256sum "$VEXA_WHEEL" | cut -c1-32)"
    if [ "$(cat "$stamp" 2>/dev/null)" = "$fingerprint" ]; then
        echo "${VEXA_WHEEL##*/} in ${VEXA_VENV##*/} already"
        return 0
    fi
    rm -f "$stamp"
    echo "Installing ${VEXA_WHEEL##*/} into ${VEXA_VENV##*/}"
    # Under qemu (VEXA_ARCH), compiling all that pip installs would cost many
    # minutes: what the tests import is compiled as they import it.
    local -a no_compile=()
    [ -z "${VEXA_ARCH:-}" ] || no_compile=(--no-compile)
    _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q "${no_compile[@]}" --force-reinstall --no-deps "$VEXA_WHEEL" || return 1
    if [ "$(_vexa_python_label "$VEXA_PYTHON_BIN")" = pypy3 ]; then
        # The test extra less what cannot be installed on PyPy 8.0 (no wheel
        # for its ABI, and a Rust build here cannot fetch its toolchain):
        # mypy (through ast-serialize) and cryptography. The tests that use
        # them skip there.
        _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q "$VEXA_WHEEL[service,cli]" || return 1
        local -a test_requires
        mapfile -t test_requires < <("$VEXA_PYTHON_BIN" - <<'EOF'
from importlib.metadata import requires
from pip._vendor.packaging.requirements import Requirement
for text in requires("vexa") or []:
    requirement = Requirement(text)
    marker, requirement.marker = requirement.marker, None
    if marker and marker.evaluate({"extra": "test"}) and requirement.name not in ("mypy", "cryptography"):
        print(requirement)
EOF
        )
        # --prefer-binary: hypothesis's newest release is an sdist that builds with Rust on PyPy.
        _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q --prefer-binary "${test_requires[@]}" || return 1
    else
        _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q "${no_compile[@]}" "$VEXA_WHEEL[service,cli,test]" || return 1
    fi
    echo "$fingerprint" >"$stamp"
}

# What the installed package is built from: the content of every file of the
# package's sources (tracked or new, as git sees them) and the compiler
# settings. Empty outside a git checkout: then the package is always installed.
_vexa_package_fingerprint() {
    command -v git >/dev/null && git -C "$VEXA_ROOT" rev-parse --git-dir >/dev/null 2>&1 || return 0
    {
        git -C "$VEXA_ROOT" ls-files -z -c -o --exclude-standard -- \
            src common cmake CMakeLists.txt pyproject.toml README.md LICENSE |
            (cd "$VEXA_ROOT" && xargs -0 sha256sum 2>&1)
        printf '%s\n' "${CC:-}" "${CXX:-}" "${CXXFLAGS:-}" "${LDFLAGS:-}"
    } | sha256sum | cut -c1-32
}

# Prints the wheel that `build-wheels.sh`-like COMMAND writes into DIR (a
# folder below the checkout) from this tree, running it only when the tree
# changed since it last did.
_vexa_wheel_of_tree() {  # _vexa_wheel_of_tree DIR COMMAND...
    local dir="$1" fingerprint
    shift
    fingerprint="$(_vexa_package_fingerprint)"
    if [ -z "$fingerprint" ] || [ "$(cat "$dir/.built-from" 2>/dev/null)" != "$fingerprint" ] ||
        ! ls "$dir"/vexa-*.whl >/dev/null 2>&1; then
        rm -rf "$dir"
        mkdir -p "$dir"
        "$@" >&2 || return 1
        [ -z "$fingerprint" ] || echo "$fingerprint" >"$dir/.built-from"
    fi
    ls "$dir"/vexa-*.whl
}

# Another architecture (VEXA_ARCH): the cross-built wheel, then the calling
# script again in that architecture's chroot; returns when there already.
_vexa_maybe_enter_arch() {
    case "${VEXA_ARCH:-}" in
    "" | "$(uname -m)") return 0 ;;
    aarch64) ;;
    *)
        echo "error: VEXA_ARCH=$VEXA_ARCH is not one of: aarch64 (or this machine's $(uname -m))" >&2
        return 1
        ;;
    esac
    [ -z "${VEXA_IN_SID_CHROOT:-}" ] || return 0
    export VEXA_PYTHON="${VEXA_PYTHON:-3.14}"
    local root
    root="$(cd "$VEXA_ROOT" && pwd -P)"
    echo "The $VEXA_ARCH wheel of this tree for CPython $VEXA_PYTHON (scripts/build-wheels.sh, when the tree changed)"
    VEXA_WHEEL="$(_vexa_wheel_of_tree "$root/build/$VEXA_ARCH-wheels/$VEXA_PYTHON" \
        bash "$root/scripts/build-wheels.sh" --arch "$VEXA_ARCH" --python "$VEXA_PYTHON" --no-smoke \
        --out "$root/build/$VEXA_ARCH-wheels/$VEXA_PYTHON")" || return 1
    export VEXA_WHEEL
    # pip under qemu takes many minutes per install: the venv is made in the
    # chroot without pip, and the host's pip puts the wheel and the target's
    # wheels of its extras into its site-packages (for another wheel with the
    # same requirements, only the wheel).
    local venv="$root/.venv-$VEXA_PYTHON-$VEXA_ARCH" host_python
    host_python="$(VEXA_PYTHON=$VEXA_DEFAULT_PYTHON_VERSION _vexa_find_python)" || return 1
    echo "${VEXA_WHEEL##*/} with its extras in ${venv##*/} (the host's pip, $VEXA_ARCH wheels)"
    VEXA_WHEELS_STEP=1 bash "$root/scripts/build-wheels.sh" target-venv "$host_python" "$VEXA_PYTHON" \
        "$VEXA_ARCH" "$VEXA_WHEEL" service,cli,test "$venv" || return 1
    echo "CPython $VEXA_PYTHON on $VEXA_ARCH: running ${0##*/} in the arm64 chroot, under qemu"
    # Emulated, everything runs about ten times slower: the tests stretch
    # their waits for a hang by as much (tests/conftest.py).
    export VEXA_TEST_TIME_SCALE="${VEXA_TEST_TIME_SCALE:-10}"
    exec bash "$root/scripts/sid-chroot.sh" --arch arm64 run --bind "$root" -- \
        bash "$root/scripts/${0##*/}" "${VEXA_SCRIPT_ARGS[@]}"
}

# VEXA_PYTHON=pypy3: Debian sid's PyPy (installed into the sid chroot when
# missing) with the universal wheel of this tree, built with
# VEXA_NO_EXTENSIONS=1 by the host's CPython; then the calling script again
# in the chroot. Returns when there already.
_vexa_maybe_enter_pypy() {
    [ "${VEXA_PYTHON:-}" = pypy3 ] || return 0
    [ -z "${VEXA_IN_SID_CHROOT:-}" ] || return 0
    local root builder
    root="$(cd "$VEXA_ROOT" && pwd -P)"
    builder="$(VEXA_PYTHON=$VEXA_DEFAULT_PYTHON_VERSION _vexa_find_python)" || return 1
    echo "The universal wheel of this tree (VEXA_NO_EXTENSIONS=1, when the tree changed)"
    VEXA_WHEEL="$(_vexa_wheel_of_tree "$root/build/universal-wheel" \
        _vexa_quiet env VEXA_NO_EXTENSIONS=1 "$builder" -m pip wheel -q --no-deps \
        -w "$root/build/universal-wheel" "$root")" || return 1
    export VEXA_WHEEL
    bash "$root/scripts/sid-chroot.sh" install pypy3 pypy3-venv || return 1
    _vexa_venvs_bind
    echo "PyPy: running ${0##*/} in the Debian sid chroot (scripts/sid-chroot.sh)"
    exec bash "$root/scripts/sid-chroot.sh" run --bind "$root" "${VEXA_VENVS_BIND[@]}" -- \
        bash "$root/scripts/${0##*/}" "${VEXA_SCRIPT_ARGS[@]}"
}

# The sourcing script's own arguments, for running it again in the chroot.
VEXA_SCRIPT_ARGS=("$@")
_vexa_maybe_enter_arch || return 1
_vexa_maybe_enter_pypy || return 1
_vexa_maybe_enter_sid
_vexa_setup_venv || return 1
