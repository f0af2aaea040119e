"""The files generated from the method declarations in api/ are current, and
the check that says so fails when a declaration changes under them."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = [
    pytest.mark.apart_from_clients,
    pytest.mark.skipif(not (ROOT / "api").is_dir(), reason="source tree not present (installed package)"),
]


def check(root: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "api.generate", "--check", "--root", str(root)],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )


def test_every_generated_file_is_current() -> None:
    done = check(ROOT)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_changed_declaration_makes_its_generated_files_stale(tmp_path: Path) -> None:
    # The declarations, the formatters' settings and what is generated from them.
    shutil.copytree(ROOT / "api", tmp_path / "api")
    # The API page also reads the Python modules it documents beside the declared ones.
    read = ["src/vexa/client/_parent.py", "src/vexa/types.py", "src/vexa/client/_base.py", "docs/reference/api.md"]
    read += [f"src/vexa/client/{name}.py" for name in ("_sync/client", "_async/client", "_async/code")]
    for name in ("pyproject.toml", ".clang-format", "common/client/parent_members.h", *read):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / name, tmp_path / name)
    pure = ROOT / "src/vexa/client/_pure"
    generated = [*(ROOT / "src").rglob("*.table.h"), *(ROOT / "src").rglob("*.pyi"), *pure.glob("_*sync/_*.py")]
    for path in generated:
        copy = tmp_path / path.relative_to(ROOT)
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(path, copy)
    assert check(tmp_path).returncode == 0

    declaration = tmp_path / "api/jobs.py"
    text = declaration.read_text()
    assert text.count("Gets the code ID associated with a job.") == 1
    declaration.write_text(text.replace("Gets the code ID associated with a job.", "Gets the code ID of a job."))
    done = check(tmp_path)
    assert done.returncode != 0
    # The asynchronous module's table and twin, those of the synchronous one
    # derived from it, and the API page; the stubs carry no docstrings.
    stale = done.stderr.strip().rpartition(": ")[2].split(", ")
    assert stale == [
        "src/vexa/client/_async/_jobs.table.h",
        "src/vexa/client/_pure/_async/_jobs.py",
        "src/vexa/client/_sync/_jobs.table.h",
        "src/vexa/client/_pure/_sync/_jobs.py",
        "docs/reference/api.md",
    ]
