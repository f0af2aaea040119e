"""The Python examples of the README and the documentation pages run as
written against the local service (only the service URL is replaced by the
test service's), from an empty folder, and the generated reference pages are
current."""

from __future__ import annotations

import inspect
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest
from doc_examples import EXAMPLE_API_KEY, EXAMPLE_URL, ROOT, Example, examples


def run_python(code: str, cwd: Path, **env: str) -> subprocess.CompletedProcess[str]:
    import vexa

    package_root = str(Path(vexa.__file__).resolve().parent.parent)
    path = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", code],
        cwd=cwd,
        env={**os.environ, "PYTHONPATH": path, **env},
        capture_output=True,
        text=True,
        timeout=120,
    )


def real_jobs_where_supported() -> dict[str, Any]:
    """Service options that run the examples' jobs for real, where the service can."""
    from vexa.devservice import create_app

    return {"simulate": False} if "simulate" in inspect.signature(create_app).parameters else {}


# What particular examples must print or leave behind: (lines printed, the
# folder they ran in, the service's URL). Keyed by page and heading, so that
# moving an example without its check fails below.
def first_call(lines: list[str], cwd: Path, base_url: str) -> None:
    assert lines[-2:] == ["hello from vexa", "finished"]  # after the service's own "[vexa] ..." lines
    assert list(cwd.iterdir()) == []


def is_page_url(url: str, base_url: str) -> bool:
    """Whether `url` is a web page's: the service's port at an address kept for pages."""
    from vexa._browser import is_web_job_address

    page, service = httpx.URL(url), httpx.URL(base_url)
    return is_web_job_address(page.host) and (page.port, page.path) == (service.port, "/")


def sync_tour(lines: list[str], cwd: Path, base_url: str) -> None:
    assert lines[-1].startswith("404 404 Not Found for GET ")  # the deleted code is gone
    (page_line,) = [line for line in lines if line.endswith(" hello from vexa")]  # "{url} hello from vexa"
    assert is_page_url(page_line.split()[0], base_url)
    assert "finished" in lines
    assert sorted(p.name for p in cwd.iterdir()) == ["hello.zip", "result.zip"]


def async_tour(lines: list[str], cwd: Path, base_url: str) -> None:
    assert is_page_url(lines[-2], base_url) and lines[-1].startswith("[Job(job_id=")
    assert "finished" in lines
    assert sorted(p.name for p in cwd.iterdir()) == ["result.zip"]


def in_process_service(lines: list[str], cwd: Path, base_url: str) -> None:
    assert lines == ["[]"]
    assert list(cwd.iterdir()) == []  # its data went to a temporary folder


def which_modules(lines: list[str], cwd: Path, base_url: str) -> None:
    import vexa.client

    # Run from anywhere, the example uses the installed package's modules.
    assert lines == ["compiled" if vexa.client.NATIVE else "pure Python"]


CHECKS: dict[tuple[str, str], Callable[[list[str], Path, str], None]] = {
    ("README.md", "A first call"): first_call,
    ("docs/quickstart.md", "A first call"): first_call,
    ("docs/sync.md", "Example"): sync_tour,
    ("docs/async.md", "Example"): async_tour,
    ("docs/service.md", "Starting it"): in_process_service,
    ("docs/pure-python.md", "Without the compiled modules"): which_modules,
}


def test_the_checked_examples_exist() -> None:
    found = {(example.page, example.heading) for example in examples()}
    assert set(CHECKS) <= found, set(CHECKS) - found


@pytest.mark.parametrize("example", examples(), ids=lambda example: example.id)
def test_example_runs(example: Example, service_factory: Callable[..., Any], tmp_path: Path) -> None:
    # The web apps of the examples must really serve their pages to become healthy.
    service = service_factory(api_key=EXAMPLE_API_KEY, **real_jobs_where_supported())
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    completed = run_python(example.code.replace(EXAMPLE_URL, service.base_url), cwd, VEXA_API_KEY=EXAMPLE_API_KEY)
    assert completed.returncode == 0, completed.stderr
    check = CHECKS.get((example.page, example.heading))
    if check is not None:
        check(completed.stdout.splitlines(), cwd, service.base_url)


def test_the_reference_pages_are_current() -> None:
    # The pages are made from the installed package: from this checkout's
    # sources only when it was installed from them, as scripts/test.sh does.
    script = ROOT / "scripts" / "docs_reference.py"
    if not script.is_file():
        pytest.skip("source tree not present")
    completed = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr


def test_the_root_pages_link_to_files_that_exist() -> None:
    # MkDocs checks the links between the docs pages (--strict); nothing else
    # checks those of the README and SECURITY.md, which point into docs/.
    broken = []
    for page in ("README.md", "SECURITY.md"):
        text = (ROOT / page).read_text(encoding="utf-8")
        for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
            if "://" not in target and not (ROOT / target).exists():
                broken.append(f"{page}: {target}")
    assert broken == []
