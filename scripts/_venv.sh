# Sourced by the scripts in this folder: makes sure that .venv at the project
# root holds CPython 3.10 with vexa installed (built from this tree) plus the
# service and test extras.
#
# Afterwards VEXA_ROOT is the project root and VEXA_PYTHON_BIN the venv's python.
#
# The interpreter is, in order: $VEXA_PYTHON; pyenv's newest installed 3.10.x;
# python3.10 on PATH. An existing .venv is reused when its python is 3.10,
# otherwise it is made anew.
#
# The package is installed as a regular (non-editable) wheel. The build
# requirements live in the venv and the build runs without isolation, so the
# CMake build directory (build/<wheel tag>) stays valid between runs and a
# re-run only recompiles what changed.

VEXA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VEXA_PYTHON_BIN="$VEXA_ROOT/.venv/bin/python"

# True when "$1" runs and is CPython 3.10.
_vexa_is_cpython310() {
    [ -n "$1" ] && "$1" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 10)))' \
        >/dev/null 2>&1
}

# Prints the path of a CPython 3.10 interpreter, or fails.
_vexa_find_python() {
    if [ -n "${VEXA_PYTHON:-}" ]; then
        if _vexa_is_cpython310 "$VEXA_PYTHON"; then
            echo "$VEXA_PYTHON"
            return 0
        fi
        echo "error: VEXA_PYTHON=$VEXA_PYTHON is not a working CPython 3.10 interpreter" >&2
        return 1
    fi

    local pyenv_bin version candidate
    pyenv_bin="$(command -v pyenv 2>/dev/null || true)"
    if [ -z "$pyenv_bin" ] && [ -x "${PYENV_ROOT:-${HOME:-}/.pyenv}/bin/pyenv" ]; then
        pyenv_bin="${PYENV_ROOT:-${HOME:-}/.pyenv}/bin/pyenv"
    fi
    if [ -n "$pyenv_bin" ]; then
        version="$("$pyenv_bin" versions --bare 2>/dev/null | grep -E '^3\.10\.[0-9]+$' | sort -V | tail -n 1 || true)"
        if [ -n "$version" ]; then
            candidate="$(PYENV_VERSION="$version" "$pyenv_bin" which python3.10 2>/dev/null || true)"
            if _vexa_is_cpython310 "$candidate"; then
                echo "$candidate"
                return 0
            fi
        fi
    fi

    candidate="$(command -v python3.10 2>/dev/null || true)"
    if _vexa_is_cpython310 "$candidate"; then
        echo "$candidate"
        return 0
    fi

    echo "error: CPython 3.10 not found. Install it (e.g. 'pyenv install 3.10'), put python3.10" \
        "on PATH, or set VEXA_PYTHON=/path/to/python3.10." >&2
    return 1
}

# Runs a command with its output kept in a log; shows the log only on failure.
_vexa_quiet() {
    local log status
    log="$(mktemp)"
    if "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    else
        status=$?
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

_vexa_setup_venv() {
    local python
    python="$(_vexa_find_python)" || return 1

    if [ -e "$VEXA_ROOT/.venv" ] && ! _vexa_is_cpython310 "$VEXA_PYTHON_BIN"; then
        echo "Recreating .venv (its python is missing or not CPython 3.10)"
        rm -rf "$VEXA_ROOT/.venv"
    fi
    if [ ! -e "$VEXA_ROOT/.venv" ]; then
        echo "Creating .venv with $python"
        _vexa_quiet "$python" -m venv "$VEXA_ROOT/.venv" || return 1
    fi

    local requires_text
    local -a requires
    requires_text="$(_vexa_build_requires)" || return 1
    mapfile -t requires <<<"$requires_text"
    echo "Installing vexa into .venv (building the C++ modules)"
    _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q --upgrade pip || return 1
    # CMake and Ninja come from PyPI, as scikit-build-core would fetch them in
    # an isolated build.
    _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q "${requires[@]}" "cmake>=3.20" "ninja>=1.10" || return 1
    (cd "$VEXA_ROOT" && _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q --no-build-isolation ".[service,cli,test]") || return 1
}

_vexa_setup_venv || return 1
