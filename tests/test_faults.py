"""Every family of operations against a misbehaving server.

Each operation meets each fault of `fault_server` and must end with the
documented outcome: transport failures as the `httpx` error, error statuses
(an unfollowed redirect included) as the package's `HTTPException`, bodies
that do not decode or do not fit the model as the decoding or model error.
Afterwards the process has no more file descriptors open than before, and
no `ResourceWarning` was issued (unclosed sockets, files or clients).
"""

from __future__ import annotations

import asyncio
import gc
import json
import os
import socket
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Awaitable, Callable, Iterator

import httpx
import pydantic
import pytest
from fault_server import BIG_LINE_BYTES, FaultServer, big_object, running_fault_server

from vexa.client._async import AsyncClient
from vexa.client._sync import Client
from vexa.types import CodeType, CodeZip, HTTPException, ServerError

API_KEY = "fault-key"
ZIP = CodeZip(zip_bytes=b"PK\x05\x06" + b"\x00" * 18)
# stream_output's own read limit; the other operations use httpx's default (5 s).
STREAM_READ_TIMEOUT = 1.0

pytestmark = pytest.mark.filterwarnings("error::ResourceWarning")


def synchronous(call: Callable[[Client], Any]) -> Callable[[str], Any]:
    return lambda base_url: call(Client(base_url, api_key=API_KEY))


def asynchronous(call: Callable[[AsyncClient], Awaitable[Any]]) -> Callable[[str], Any]:
    return lambda base_url: asyncio.run(call(AsyncClient(base_url, api_key=API_KEY)))


async def collect_output(client: AsyncClient) -> list[Any]:
    return [item async for item in client.jobs.stream_output("j1", read_timeout=STREAM_READ_TIMEOUT)]


# Operation name -> (what it reads, how to run it to the end on a base URL).
OPERATIONS: dict[str, tuple[str, Callable[[str], Any]]] = {
    "code.get_info": ("object", synchronous(lambda c: c.code.get_info("c1"))),
    "code.list_info": ("list", synchronous(lambda c: c.code.list_info())),
    "code.download": ("bytes", synchronous(lambda c: c.code.download("c1"))),
    "code.upload": ("text", synchronous(lambda c: c.code.upload(ZIP, "n", CodeType.PYTHON))),
    "async-code.get_info": ("object", asynchronous(lambda c: c.code.get_info("c1"))),
    "async-code.download": ("bytes", asynchronous(lambda c: c.code.download("c1"))),
    "jobs.get": ("object", asynchronous(lambda c: c.jobs.get("j1"))),
    "jobs.list": ("list", asynchronous(lambda c: c.jobs.list())),
    "jobs.get_result": ("bytes", asynchronous(lambda c: c.jobs.get_result("j1"))),
    "jobs.stream_output": ("lines", asynchronous(collect_output)),
    "jobs.await_stage": ("object", asynchronous(lambda c: c.jobs.await_stage("j1", timeout=10))),
    "web.jobs.list_running": ("list", asynchronous(lambda c: c.web.jobs.list_running())),
    "web.run": ("object", asynchronous(lambda c: c.web.run(ZIP))),
}

# A fault that leaves every kind of operation with the same error.
SAME_FOR_ALL: dict[str, type[BaseException]] = {
    "cut-headers": httpx.RemoteProtocolError,
    "cut-body": httpx.RemoteProtocolError,
    "reset": httpx.ReadError,
    "html-500": ServerError,
    "redirect": HTTPException,
}

# A fault in the body: the outcome depends on how the operation reads it
# (None: the operation succeeds).
BY_KIND: dict[str, dict[str, type[BaseException] | None]] = {
    "malformed-json": {
        "object": json.JSONDecodeError,
        "list": json.JSONDecodeError,
        "text": json.JSONDecodeError,
        "lines": pydantic.ValidationError,
        "bytes": None,
    },
    "wrong-shape": {
        "object": TypeError,
        "list": TypeError,
        "text": None,
        "lines": pydantic.ValidationError,
        "bytes": None,
    },
    "non-utf8": {
        "object": UnicodeDecodeError,
        "list": UnicodeDecodeError,
        "text": UnicodeDecodeError,
        "lines": None,
        "bytes": None,
    },
    "big-line": {"object": None, "list": None, "text": None, "lines": None, "bytes": None},
}


def expected_outcome(fault: str, kind: str) -> type[BaseException] | None:
    return SAME_FOR_ALL[fault] if fault in SAME_FOR_ALL else BY_KIND[fault][kind]


def open_fds() -> set[tuple[str, str]]:
    """(descriptor, what it points to) of each open file descriptor."""
    fds = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
        except FileNotFoundError:
            pass  # the directory listing's own descriptor, closed by now
    return fds


class Watch:
    """Records file descriptors before and after, and every ResourceWarning or
    unraisable error (e.g. from a finaliser) in between."""

    def __init__(self) -> None:
        self.problems: list[str] = []

    def __enter__(self) -> "Watch":
        gc.collect()
        self.fds_before = open_fds()
        self._warnings = warnings.catch_warnings(record=True)
        self.caught = self._warnings.__enter__()
        warnings.simplefilter("always", ResourceWarning)
        self._hook = sys.unraisablehook
        sys.unraisablehook = lambda unraisable: self.problems.append(repr(unraisable.exc_value))
        return self

    def __exit__(self, *exc_info: Any) -> None:
        try:
            gc.collect()
        finally:
            sys.unraisablehook = self._hook
            self._warnings.__exit__(*exc_info)
        self.problems += [
            str(warning.message) for warning in self.caught if issubclass(warning.category, ResourceWarning)
        ]
        self.leaked_fds = open_fds() - self.fds_before

    def check(self) -> None:
        assert self.problems == []
        assert self.leaked_fds == set()


@pytest.fixture(scope="module")
def faults() -> Iterator[FaultServer]:
    yield from running_fault_server()


@pytest.fixture(scope="module", autouse=True)
def _older_objects_set_aside() -> Iterator[None]:
    """Each `Watch` collects twice. Whatever lived before this module's tests
    is set aside from the collector meanwhile, so that those collections look
    only at what the tests made (a full one costs tens of milliseconds once
    the suite has imported all it uses). PyPy's collector has no such switch:
    there what earlier tests left is collected now instead, so that its
    warnings (files they left open) fall before the first `Watch`."""
    if not hasattr(gc, "freeze"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            gc.collect()
            gc.collect()
        yield
        return
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def run_operation(run: Callable[[str], Any], base_url: str) -> tuple[Any, BaseException | None]:
    try:
        return run(base_url), None
    except Exception as error:  # noqa: BLE001 - the error is what is checked
        return None, error


def check_success(fault: str, kind: str, result: Any) -> None:
    if kind == "lines":
        texts = [item.text for item in result]
        assert texts == (["x" * BIG_LINE_BYTES] if fault == "big-line" else ["caf\ufffd \ufffd"])
    elif kind == "text":  # upload: the text form of any JSON value
        assert result == ("[1, 2]" if fault == "wrong-shape" else str(json.loads(json.dumps(big_object()))))
    elif kind == "bytes":
        zip_bytes = result.zip_bytes
        assert len(zip_bytes) == (BIG_LINE_BYTES if fault == "big-line" else 22)
    else:
        value = result[0] if kind == "list" else result
        assert value.pad == "x" * BIG_LINE_BYTES


FAULTS = [*SAME_FOR_ALL, *BY_KIND]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_fault_gives_the_documented_outcome(faults: FaultServer, operation: str, fault: str) -> None:
    kind, run = OPERATIONS[operation]
    expected = expected_outcome(fault, kind)
    with Watch() as watch:
        result, error = run_operation(run, faults.url(fault))
        del result
    if expected is None:
        assert error is None, repr(error)
    else:
        assert type(error) is expected, repr(error)
    if isinstance(error, HTTPException):
        assert error.status_code == (302 if fault == "redirect" else 500)
        assert len(error.detail) <= 500
        assert error.url.startswith(faults.url(fault))
    watch.check()


@pytest.mark.parametrize("fault", sorted(BY_KIND))
def test_successful_body_faults_keep_the_data(faults: FaultServer, fault: str) -> None:
    """Where a body fault is not an error, what comes back is the server's data, decoded."""
    for operation, (kind, run) in OPERATIONS.items():
        if expected_outcome(fault, kind) is None and operation != "jobs.await_stage":
            check_success(fault, kind, run(faults.url(fault)))


def test_stall_past_the_read_limit_is_a_read_timeout(faults: FaultServer) -> None:
    """All operations at once (the default read limit is 5 s): each ends with ReadTimeout."""
    with Watch() as watch:
        with ThreadPoolExecutor(len(OPERATIONS)) as pool:
            outcomes = dict(
                zip(
                    OPERATIONS,
                    pool.map(lambda entry: run_operation(entry[1], faults.url("stall")), OPERATIONS.values()),
                )
            )
        errors = {operation: type(error) for operation, (_, error) in outcomes.items()}
        del outcomes
    assert errors == dict.fromkeys(OPERATIONS, httpx.ReadTimeout)
    watch.check()


def test_interrupted_download_leaves_no_file(faults: FaultServer, tmp_path: Path) -> None:
    target = tmp_path / "code.zip"
    target.write_bytes(b"old")
    client = Client(faults.url("cut-body"), api_key=API_KEY)
    with Watch() as watch:
        with pytest.raises(httpx.RemoteProtocolError):
            client.code.download("c1", target)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["code.zip"]
    assert target.read_bytes() == b"old"
    watch.check()


def test_watch_sees_a_leaked_socket(faults: FaultServer) -> None:
    """The check itself: a client left open is a leaked descriptor and, once collected, a ResourceWarning."""
    with Watch() as watch:
        leaked = socket.create_connection(("127.0.0.1", faults.port))
        fd = str(leaked.fileno())
    assert [leaked_fd for leaked_fd, _ in watch.leaked_fds] == [fd]
    leaked.close()
    with Watch() as watch:
        socket.create_connection(("127.0.0.1", faults.port))
    assert any("unclosed" in problem for problem in watch.problems)
