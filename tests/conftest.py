"""Shared fixtures: the local dev service, a recording HTTP server and a zip builder.

`vexa.devservice` is imported inside fixtures only, so collecting tests never
requires the rest of `vexa` (whose native parts may not be built).
"""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator

import httpx
import pytest

sys.path.insert(0, str(Path(__file__).parent))  # lets test modules import recording_server

from recording_server import RecordedRequest, RecordingServer, ScriptedResponse, make_zip  # noqa: E402

if TYPE_CHECKING:
    from vexa.devservice import RunningService

TEST_API_KEY = "test-key"
# Tiny but non-zero so every state is observable by polling.
# How much slower than native speed this machine runs the tests: set under
# emulation (the arm64 chroot's qemu sets 10), it stretches the waits that
# only guard against a hang, never the timings the tests check.
TIME_SCALE = float(os.environ.get("VEXA_TEST_TIME_SCALE") or 1)

FAST_TIMINGS: dict[str, Any] = {
    "queue_seconds": 0.05,
    "run_seconds": 0.3,
    "output_lines": 5,
    "keepalive_seconds": 0.05,
}

__all__ = ["FAST_TIMINGS", "TEST_API_KEY", "RecordedRequest", "RecordingServer", "ScriptedResponse", "make_zip"]


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "native_only: checks what only the compiled modules have (code objects, native frames and "
        "object types, leaks, the build); skipped when the pure-Python twins are in use",
    )
    config.addinivalue_line(
        "markers",
        "apart_from_clients: checks the local service, the CLI, the dashboard or the source tree, "
        "which use the client modules only as any program does; CI's runs on the pure-Python twins "
        "and on other interpreters leave them out (-m 'not apart_from_clients'), the main run keeps them",
    )
    config.addinivalue_line(
        "markers",
        "compiled_build: checks the compiled modules as built and installed, or builds them; skipped on "
        "interpreters they are not made for (PyPy installs the universal wheel, which has none)",
    )


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if sys.implementation.name != "cpython":
        skip = pytest.mark.skip(reason=f"no compiled modules are made for {sys.implementation.name}")
        for item in items:
            if item.get_closest_marker("compiled_build"):
                item.add_marker(skip)
    marked = [item for item in items if item.get_closest_marker("native_only")]
    if not marked:
        return
    from vexa.client import NATIVE

    if not NATIVE:
        skip = pytest.mark.skip(reason="the pure-Python client modules are in use (VEXA_NO_EXTENSIONS)")
        for item in marked:
            item.add_marker(skip)


def _start_service(data_dir: Path, api_key: str | None, **options: Any) -> "RunningService":
    from vexa.devservice import start_in_thread

    # Simulated jobs by default: most tests depend on their exact timing.
    return start_in_thread(
        data_dir, api_key, startup_timeout=15 * TIME_SCALE, **{"simulate": True, **FAST_TIMINGS, **options}
    )


@pytest.fixture(scope="session")
def service(tmp_path_factory: pytest.TempPathFactory) -> Iterator["RunningService"]:
    """One dev service for the session: `.base_url`, `.api_key`, `.data_dir`, `.headers`, `.runner`, `.storage`."""
    running = _start_service(tmp_path_factory.mktemp("devservice"), TEST_API_KEY)
    yield running
    running.stop()


@pytest.fixture
def service_factory(tmp_path: Path) -> Iterator[Callable[..., "RunningService"]]:
    """Start fresh services: factory(api_key="test-key", data_dir=None, **options). Stopped after the test.

    Jobs are simulated unless the options say simulate=False."""
    started: list[RunningService] = []

    def start(api_key: str | None = TEST_API_KEY, data_dir: Path | None = None, **options: Any) -> "RunningService":
        running = _start_service(data_dir or tmp_path / f"data-{len(started)}", api_key, **options)
        started.append(running)
        return running

    yield start
    for running in started:
        running.stop()


@pytest.fixture
def service_client(service: "RunningService") -> Iterator[httpx.Client]:
    """httpx client for the session service, API key preset."""
    with httpx.Client(base_url=service.base_url, headers=service.headers, timeout=10.0) as client:
        yield client


@pytest.fixture
def recorder() -> Iterator[RecordingServer]:
    """A fresh recording server per test."""
    with RecordingServer() as server:
        yield server


_SUBREAPER_PROBE = (
    "import ctypes; libc = ctypes.CDLL(None, use_errno=True); "
    "raise SystemExit(libc.prctl(36, ctypes.c_ulong(1), 0, 0, 0) != 0)"  # PR_SET_CHILD_SUBREAPER
)


@pytest.fixture(scope="session")
def real_jobs() -> None:
    """Skips a test of real job processes where the service cannot hold them:
    qemu's user-mode emulation does not pass prctl(PR_SET_CHILD_SUBREAPER)
    on (EINVAL), so every real job there fails to be contained, as it must.
    On any Linux kernel itself, of any architecture, the call is there."""
    if subprocess.run([sys.executable, "-c", _SUBREAPER_PROBE]).returncode != 0:
        pytest.skip("prctl(PR_SET_CHILD_SUBREAPER) is refused here (qemu user-mode emulation)")


@pytest.fixture(name="make_zip")
def make_zip_fixture() -> Callable[..., bytes]:
    """make_zip({"main.py": "print(1)"}) -> zip bytes."""
    return make_zip


@pytest.fixture
def fast_polls(monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    """Shortens the one-second poll sleeps made on the test's own thread (the
    service's loop keeps its real sleeps); returns the delays asked for."""
    real_sleep = asyncio.sleep
    test_thread = threading.get_ident()
    asked: list[Any] = []

    async def sleep(delay: Any, result: Any = None) -> Any:
        if threading.get_ident() == test_thread and delay >= 1:
            asked.append(delay)
            delay = 0.01
        return await real_sleep(delay, result)

    real_blocking_sleep = time.sleep

    def blocking_sleep(delay: Any) -> None:
        # The synchronous clients' waits: the same, for time.sleep.
        if threading.get_ident() == test_thread and delay >= 1:
            asked.append(delay)
            delay = 0.01
        real_blocking_sleep(delay)

    monkeypatch.setattr(asyncio, "sleep", sleep)
    monkeypatch.setattr(time, "sleep", blocking_sleep)
    return asked
