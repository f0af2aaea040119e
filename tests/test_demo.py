"""The demo end to end, as `scripts/demo.sh` runs it: a real web app served through the local service."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.apart_from_clients

EXAMPLE_APP_DIR = Path(__file__).resolve().parents[1] / "examples" / "hello_web"


def run_demo(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    """The demo of the vexa under test (installed or source tree), from an empty folder."""
    vexa = pytest.importorskip("vexa")
    env = {**os.environ, "PYTHONPATH": str(Path(vexa.__file__).resolve().parents[1])}
    return subprocess.run(
        [sys.executable, "-m", "vexa.demo", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )


def test_demo_serves_the_example_app_and_every_step_holds(tmp_path: Path) -> None:
    finished = run_demo("--app", str(EXAMPLE_APP_DIR), cwd=tmp_path)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    out = finished.stdout
    assert "<h1>Hello from vexa</h1>" in out  # the page, fetched through the job's URL
    assert "app stdout   GET /hello?name=demo -> 200" in out  # the app's own output, streamed live
    assert '"/hello": 1' in out  # visits.json from the job's result
    assert out.rstrip().endswith("Demo finished: every step gave the expected result.")


def test_demo_without_an_app_says_what_to_pass(tmp_path: Path) -> None:
    finished = run_demo("--app", str(tmp_path), cwd=tmp_path)
    assert finished.returncode == 2
    assert f"no web app at {tmp_path}" in finished.stderr
