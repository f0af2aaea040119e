"""The built extension modules: one exported symbol, no library needs beyond libc."""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import pytest

import vexa.client

pytestmark = [pytest.mark.apart_from_clients, pytest.mark.compiled_build]

PACKAGE_DIR = Path(vexa.client.__file__).parent
MODULE_FILES = sorted(PACKAGE_DIR.glob("**/_*.so"))
ALLOWED_NEEDED = {"libc.so.6", "libpthread.so.0"}


def module_name(path: Path) -> str:
    # "_code.cpython-310-x86_64-linux-gnu.so" -> "_code"
    return path.name.split(".", 1)[0]


def module_id(path: Path) -> str:
    # "_sync/_jobs": the same module name lives in two packages
    return path.relative_to(PACKAGE_DIR).parent.as_posix() + "/" + module_name(path)


def tool(name: str) -> str:
    found = shutil.which(name)
    if found is None:
        pytest.skip(f"{name} is not installed")
    return found


def run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def test_every_module_is_found() -> None:
    found = sorted(module_id(path) for path in MODULE_FILES)
    assert found == ["_async/_jobs", "_async/_web", "_sync/_code", "_sync/_jobs", "_sync/_web"]


@pytest.mark.parametrize("path", MODULE_FILES, ids=module_id)
def test_exports_only_its_init_function(path: Path) -> None:
    output = run(tool("nm"), "-D", "--defined-only", str(path))
    symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{module_name(path)}"]


@pytest.mark.parametrize("path", MODULE_FILES, ids=module_id)
def test_needs_nothing_beyond_libc_and_libpthread(path: Path) -> None:
    output = run(tool("readelf"), "-d", str(path))
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", output)
    assert "Dynamic section" in output
    assert set(needed) - ALLOWED_NEEDED == set()


@pytest.mark.parametrize("path", MODULE_FILES, ids=module_id)
def test_every_strong_undefined_symbol_is_libcs_or_the_interpreters(path: Path) -> None:
    # A runtime member left out of a static link shows up here, not in the
    # NEEDED list: the module would fail to import.
    output = run(tool("nm"), "-D", "--undefined-only", str(path))
    entries = [line.split()[-2:] for line in output.splitlines() if line.strip()]
    assert entries, "no undefined symbols at all: the listing is not what this test reads"
    unresolved = [
        name for kind, name in entries if kind == "U" and "@GLIBC_" not in name and not re.match(r"_?Py", name)
    ]
    assert unresolved == []
