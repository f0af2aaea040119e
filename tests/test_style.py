"""The tree stays formatted and lint-clean with the project's own settings.

The tools are pinned in the test extra and in .pre-commit-config.yaml, so
this check and the commit hooks agree on every machine.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = [
    pytest.mark.apart_from_clients,
    pytest.mark.skipif(not (ROOT / ".clang-format").is_file(), reason="source tree not present (installed package)"),
]


def _tool(name: str) -> str:
    found = shutil.which(name, path=str(Path(sys.executable).parent)) or shutil.which(name)
    if found is None:
        pytest.fail(f"{name} is not installed: it is part of the test extra")
    return found


def _tracked(*patterns: str) -> list[str]:
    if shutil.which("git") is None:
        pytest.skip("git is not installed (the sid chroot has none): the reference interpreter checks")
    listing = subprocess.run(["git", "ls-files", "--", *patterns], cwd=ROOT, capture_output=True, text=True)
    if listing.returncode != 0:
        pytest.skip("not a git checkout")
    return listing.stdout.split()


@pytest.mark.parametrize(
    "command",
    [["ruff", "check", "--no-fix", "."], ["ruff", "format", "--check", "."]],
    ids=["ruff-check", "ruff-format"],
)
def test_python_is_clean(command: list[str]) -> None:
    result = subprocess.run([_tool(command[0]), *command[1:]], cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_cxx_is_formatted() -> None:
    files = _tracked("*.cpp", "*.h")
    assert files, "no C++ sources found"
    result = subprocess.run(
        [_tool("clang-format"), "--dry-run", "--Werror", *files], cwd=ROOT, capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr[-4000:]
