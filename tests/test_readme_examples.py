"""The README's Python examples run as written against the local service
(only the service URL is replaced by the test service's)."""

from __future__ import annotations

import inspect
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable

README = Path(__file__).resolve().parent.parent / "README.md"
README_URL = "http://127.0.0.1:8000"
README_API_KEY = "secret"


def python_blocks(section: str) -> list[str]:
    """The ```python blocks of the README section whose heading is `section`."""
    text = README.read_text(encoding="utf-8")
    match = re.search(rf"^## {re.escape(section)}\n(.*?)(?=^## )", text, re.M | re.S)
    assert match is not None, f"no section {section!r} in the README"
    return re.findall(r"^```python\n(.*?)^```", match.group(1), re.M | re.S)


def run_python(code: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    import vexa

    package_root = str(Path(vexa.__file__).resolve().parent.parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))}
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


def real_jobs_where_supported() -> dict[str, Any]:
    """Service options that run the examples' jobs for real, where the service can."""
    from vexa.devservice import create_app

    return {"simulate": False} if "simulate" in inspect.signature(create_app).parameters else {}


def test_client_examples_run(service_factory: Callable[..., Any], tmp_path: Path) -> None:
    # The examples' web app must really serve its page to become healthy.
    service = service_factory(api_key=README_API_KEY, **real_jobs_where_supported())
    outputs = []
    for section in ("Synchronous example", "Asynchronous example"):
        (example,) = python_blocks(section)
        assert README_URL in example
        completed = run_python(example.replace(README_URL, service.base_url), tmp_path)
        assert completed.returncode == 0, completed.stderr
        outputs.append(completed.stdout.splitlines())
    sync_lines, async_lines = outputs
    assert sync_lines[-1].startswith("404 404 Not Found for GET ")  # the deleted code is gone
    # The synchronous example reached its page: "{url} hello from vexa".
    (page_line,) = [line for line in sync_lines if line.endswith(" hello from vexa")]
    assert page_line.startswith(f"{service.base_url}/")
    assert "JobStatus.FINISHED" in sync_lines or "finished" in sync_lines
    assert (tmp_path / "hello.zip").is_file() and (tmp_path / "result.zip").is_file()
    assert async_lines[-2].startswith("http://") and async_lines[-1].startswith("[Job(job_id=")


def test_in_process_service_example_runs(tmp_path: Path) -> None:
    (example,) = python_blocks("The local service")
    completed = run_python(example, tmp_path)
    assert (completed.returncode, completed.stdout) == (0, "[]\n"), completed.stderr
    assert (tmp_path / "data").is_dir()
