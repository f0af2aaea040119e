"""The plain-Python client of bench/overhead.py does what the native modules do.

The overhead table compares the native methods with bench/plain_client.py (and
its Cython build); the comparison only means something while both make the
same requests, build the same results and refuse the same arguments. Checked
over real HTTP against the recording server, success and error statuses alike.
"""

from __future__ import annotations

import asyncio
import importlib.util
import json
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

import pytest

import vexa
from recording_server import RecordingServer
from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._async._web import AsyncWebJobsClient
from vexa.client._sync._code import CodeClient
from vexa.types import JobStage

PLAIN_CLIENT = Path(__file__).resolve().parent.parent / "bench" / "plain_client.py"

JOB = {"job_id": "j1", "job_type": "python", "job_status": "running", "job_stage": "post_running"}
CODE_INFO = {"code_id": "c1", "code_name": "hello", "code_type": "python", "size": 12}


def load_plain_client() -> ModuleType:
    spec = importlib.util.spec_from_file_location("plain_client", PLAIN_CLIENT)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Parent:
    """The members the clients use, from a real vexa.AsyncClient; `jobs` is the
    jobs client of the implementation under test."""

    def __init__(self, base_url: str) -> None:
        real = vexa.AsyncClient(base_url, api_key="key")
        self.base_url = real.base_url
        self.api_key_header = real.api_key_header
        self._get_http_exception = real._get_http_exception
        self.jobs: Any = None


class Clients:
    def __init__(self, base_url: str, code: type, jobs: type, web: type) -> None:
        parent = Parent(base_url)
        parent.jobs = jobs(parent)
        self.code = code(parent)
        self.jobs = parent.jobs
        self.web = web(parent)


def implementations(base_url: str) -> dict[str, Clients]:
    plain = load_plain_client()
    return {
        "native": Clients(base_url, CodeClient, AsyncJobsClient, AsyncWebJobsClient),
        "plain": Clients(base_url, plain.CodeClient, plain.AsyncJobsClient, plain.AsyncWebJobsClient),
    }


async def collect_stream(generator: Any) -> list[Any]:
    return [item async for item in generator]


def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    """What a call gave, comparable across implementations: a result as plain data, or the error's type and text."""
    try:
        result = call()
        if asyncio.iscoroutine(result):
            result = asyncio.run(result)
        elif hasattr(result, "__anext__"):
            result = asyncio.run(collect_stream(result))
    except Exception as e:  # noqa: BLE001 - the error is the outcome compared
        return ("error", (type(e).__name__, str(e)))
    if isinstance(result, list):
        return ("result", [item.model_dump(mode="json") for item in result])
    return ("result", result.model_dump(mode="json") if result is not None else None)


CALLS: dict[str, tuple[Callable[[Clients], Any], Any]] = {
    "get_info": (lambda c: c.code.get_info("c1"), CODE_INFO),
    "get": (lambda c: c.jobs.get("j1"), JOB),
    "list_running": (lambda c: c.jobs.list_running("python"), [JOB]),
    "web list_failed": (lambda c: c.web.list_failed(), [JOB]),
    "await_stage": (lambda c: c.jobs.await_stage("j1", 5), JOB),
    # A job already past the wanted stage, and a limit reached before the stage.
    "await_stage RUNNING, job post-running": (lambda c: c.jobs.await_stage("j1", None, JobStage.RUNNING), JOB),
    "await_stage limit 0": (lambda c: c.jobs.await_stage("j1", 0, JobStage.RUNNING), {**JOB, "job_stage": "pre_running"}),
    "stream_output": (lambda c: c.jobs.stream_output("j1"), None),
}


@pytest.mark.parametrize("status", [200, 404, 500])
@pytest.mark.parametrize("name", CALLS)
def test_same_requests_and_outcomes(recorder: RecordingServer, name: str, status: int) -> None:
    call, body = CALLS[name]
    seen = {}
    for impl, clients in implementations(recorder.base_url).items():
        if name == "stream_output" and status == 200:
            recorder.set_default(200, chunks=[b'{"text": "a"}\n\n{"text": "b"}\n'])
        else:
            recorder.set_default(status, json.dumps(body if status == 200 else {"detail": "no"}).encode())
        result = outcome(lambda: call(clients))
        requests = [(r.method, r.target, r.headers, r.body) for r in recorder.wait_for_requests(1)]
        recorder.reset()
        seen[impl] = (result, requests)
    assert seen["native"] == seen["plain"]
    succeeds = status == 200 and not name.startswith("await_stage ")
    assert seen["native"][0][0] == ("result" if succeeds else "error")


BAD_ARGUMENTS: list[tuple[str, Callable[[Clients], Any]]] = [
    ("get_info(1)", lambda c: c.code.get_info(1)),
    ("get_info(None)", lambda c: c.code.get_info(None)),
    ("get(b'j')", lambda c: c.jobs.get(b"j")),
    ("await_stage(7)", lambda c: c.jobs.await_stage(7)),
    ("stream_output(2.5)", lambda c: c.jobs.stream_output(2.5)),
]


@pytest.mark.parametrize("name, call", BAD_ARGUMENTS, ids=[name for name, _ in BAD_ARGUMENTS])
def test_same_argument_failures_without_a_request(recorder: RecordingServer, name: str, call: Callable[[Clients], Any]) -> None:
    outcomes = {impl: outcome(lambda: call(clients)) for impl, clients in implementations(recorder.base_url).items()}
    assert outcomes["native"] == outcomes["plain"]
    assert outcomes["native"][1][0] == "TypeError"
    assert recorder.requests == []
