"""The plain-Python client of bench/overhead.py does what the compiled modules do.

The overhead table compares the compiled methods with bench/plain_client.py
and its Cython build; the comparison means something only while both make the
same requests, build the same results and refuse the same arguments. Each case
runs a call of both over real HTTP against one recording server facing the
same answer, success or error, through one kind of parent client:

- "bare": only the members every sub-client reads (no shared HTTP client, no
  TLS context), as the benchmark's parent;
- "per request": a `vexa.Client`/`vexa.AsyncClient` outside `with`, so every
  request opens its own HTTP client;
- "shared": the same given an HTTP client that marks its requests with a
  header, so the requests show which client sent them;
- "TLS": the server speaks HTTPS with a certificate of a test authority that
  only the parent's TLS context trusts, so only an HTTP client given that
  context gets an answer.
"""

from __future__ import annotations

import asyncio
import importlib.util
import json
import ssl
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

import httpx
import pytest
from recording_server import RecordingServer
from test_tls_context import Authority, authority  # noqa: F401 - the fixture: a test CA and a server certificate

import vexa
from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._async._web import AsyncWebJobsClient
from vexa.client._sync._code import CodeClient
from vexa.types import JobStage

pytestmark = pytest.mark.native_only

PLAIN_CLIENT = Path(__file__).resolve().parent.parent / "bench" / "plain_client.py"
API_KEY = "baseline-key"
SHARED_MARK = ("X-Shared-Client", "yes")

JOB = {"job_id": "j1", "job_type": "run", "job_status": "running", "job_stage": "post_running", "code_id": "c1"}
CODE_INFO = {"code_id": "c1", "code_name": "hello", "code_type": "python"}
LINES = b'{"text": "a"}\n\n{"text": "b"}\n'


def load_plain_client() -> ModuleType:
    spec = importlib.util.spec_from_file_location("plain_client", PLAIN_CLIENT)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


PLAIN = load_plain_client()
IMPLEMENTATIONS = {
    "native": (CodeClient, AsyncJobsClient, AsyncWebJobsClient),
    "plain": (PLAIN.CodeClient, PLAIN.AsyncJobsClient, PLAIN.AsyncWebJobsClient),
}


class BareParent:
    """Only what a sub-client reads from its parent."""

    def __init__(self, real: Any) -> None:
        self.base_url = real.base_url
        self.api_key_header = real.api_key_header
        self._get_http_exception = real._get_http_exception
        self.jobs: Any = None


@dataclass
class Clients:
    code: Any = None
    jobs: Any = None
    web: Any = None


@dataclass
class Call:
    run: Callable[[Clients], Any]
    blocking: bool = False


CALLS: dict[str, Call] = {
    "get_info": Call(lambda c: c.code.get_info("c1"), blocking=True),
    "get": Call(lambda c: c.jobs.get("j1")),
    "list by stage": Call(lambda c: c.jobs.list(job_stage=JobStage.RUNNING)),
    "list_running": Call(lambda c: c.jobs.list_running("python")),
    "web list_failed": Call(lambda c: c.web.list_failed()),
    "await_stage": Call(lambda c: c.jobs.await_stage("j1", 5)),
    # A job already past the wanted stage, and a limit reached before the stage.
    "await_stage RUNNING, job post-running": Call(lambda c: c.jobs.await_stage("j1", None, JobStage.RUNNING)),
    "await_stage limit 0": Call(lambda c: c.jobs.await_stage("j1", 0, JobStage.RUNNING)),
    "stream_output": Call(lambda c: c.jobs.stream_output("j1", read_timeout=5)),
}
BODIES: dict[str, Any] = {
    "get_info": CODE_INFO,
    "list_running": [JOB, {**JOB, "job_id": "j2"}],
    "list by stage": [JOB],
    "web list_failed": [JOB],
    "await_stage limit 0": {**JOB, "job_stage": "pre_running"},
}
# Refused by the argument checks before any request.
BAD_CALLS: dict[str, Call] = {
    "get_info(1)": Call(lambda c: c.code.get_info(1), blocking=True),
    "get_info(None)": Call(lambda c: c.code.get_info(None), blocking=True),
    "get(b'j')": Call(lambda c: c.jobs.get(b"j")),
    "await_stage(7)": Call(lambda c: c.jobs.await_stage(7)),
    "await_stage('j1', '5')": Call(lambda c: c.jobs.await_stage("j1", "5")),
    "await_stage(7, 'soon')": Call(lambda c: c.jobs.await_stage(7, "soon")),
    "stream_output(2.5)": Call(lambda c: c.jobs.stream_output(2.5)),
    "stream_output('j1', [])": Call(lambda c: c.jobs.stream_output("j1", [])),
}
PARENTS = ("bare", "per request", "shared", "TLS")
STATUSES = (200, 404, 500)

CASES = [(name, status, parent) for name in CALLS for status in STATUSES for parent in PARENTS]
CASES += [(name, None, "per request") for name in BAD_CALLS]


def observe(result: Any) -> Any:
    """A result as plain data, or the error's type, text and context's type."""
    if isinstance(result, BaseException):
        context = result.__context__
        return ("raised", type(result).__name__, str(result), type(context).__name__ if context else None)
    if isinstance(result, list):
        return [observe(item) for item in result]
    return result.model_dump(mode="json") if hasattr(result, "model_dump") else result


def parent_of(kind: str, classes: type, base_url: str, verify: Any, shared: Any) -> Any:
    real = classes(base_url, api_key=API_KEY, http_client=shared, verify=verify)
    return BareParent(real) if kind == "bare" else real


def run_call(impl: str, call: Call, parent_kind: str, base_url: str, verify: Any) -> Any:
    """What the call gives with the implementation's clients under a fresh parent."""
    code_class, jobs_class, web_class = IMPLEMENTATIONS[impl]
    shared_headers = dict([SHARED_MARK])
    if call.blocking:
        shared = httpx.Client(headers=shared_headers, verify=verify) if parent_kind == "shared" else None
        try:
            return call.run(Clients(code=code_class(parent_of(parent_kind, vexa.Client, base_url, verify, shared))))
        except Exception as e:  # noqa: BLE001 - the error is the outcome compared
            return e
        finally:
            if shared is not None:
                shared.close()

    async def run() -> Any:
        shared = httpx.AsyncClient(headers=shared_headers, verify=verify) if parent_kind == "shared" else None
        parent = parent_of(parent_kind, vexa.AsyncClient, base_url, verify, shared)
        parent.jobs = jobs_class(parent)
        try:
            result = call.run(Clients(jobs=parent.jobs, web=web_class(parent)))
            if hasattr(result, "__anext__"):
                return [item async for item in result]
            return await result
        except Exception as e:  # noqa: BLE001 - the error is the outcome compared
            return e
        finally:
            if shared is not None:
                await shared.aclose()

    return asyncio.run(run())


@pytest.mark.parametrize("name, status, parent", CASES, ids=[f"{n}-{s or 'refused'}-{p}" for n, s, p in CASES])
def test_the_plain_client_agrees_with_the_compiled_modules(
    authority: Authority,  # noqa: F811 - the fixture imported above
    name: str,
    status: int | None,
    parent: str,
) -> None:
    call = CALLS.get(name) or BAD_CALLS[name]
    tls = parent == "TLS"
    verify = ssl.create_default_context(cafile=str(authority.ca_file)) if tls else True
    seen = {}
    with RecordingServer(tls=authority.server_context if tls else None) as server:
        if name == "stream_output" and status == 200:
            server.set_default(200, chunks=[LINES])
        elif status == 200:
            server.set_default(200, json.dumps(BODIES.get(name, JOB)).encode())
        else:
            server.set_default(status or 200, json.dumps({"detail": "no"}).encode())
        for impl in IMPLEMENTATIONS:
            result = observe(run_call(impl, call, parent, server.base_url, verify))
            requests = [(r.method, r.target, r.headers, r.body) for r in server.requests]
            server.reset()
            seen[impl] = (result, requests)
    assert seen["plain"] == seen["native"]
    # What both did is what the case is about: a result or the refusal, and
    # the requests (if any) sent by the client meant to send them.
    result, requests = seen["native"]
    raised = isinstance(result, tuple) and result[0] == "raised"
    succeeds = status == 200 and not name.startswith("await_stage ")
    assert raised is not succeeds, result
    if status is None:
        assert (result[1], requests) == ("TypeError", [])
    else:
        assert requests
    for request in requests:
        assert (SHARED_MARK in request[2]) is (parent == "shared")


@pytest.mark.parametrize("url", ["http://proxy/j1", None, 7, b"http://proxy/j1"], ids=repr)
@pytest.mark.parametrize("job_id", ["j1", 1])
def test_get_url_agrees_without_a_request(url: Any, job_id: Any) -> None:
    """get_url sends nothing: it hands on what the parent's get_proxy_url gives, if that is a str or None."""
    seen = {}
    for impl, (_, jobs_class, _) in IMPLEMENTATIONS.items():
        asked: list[Any] = []
        parent = BareParent(vexa.AsyncClient("http://127.0.0.1:9", api_key=API_KEY))
        parent.get_proxy_url = lambda job_id: asked.append(job_id) or url  # type: ignore[attr-defined]

        async def run(jobs: Any) -> Any:
            try:
                return await jobs.get_url(job_id)
            except Exception as e:  # noqa: BLE001 - the error is the outcome compared
                return e

        seen[impl] = (observe(asyncio.run(run(jobs_class(parent)))), asked)
    assert seen["plain"] == seen["native"]
    assert seen["native"][1] == ([job_id] if job_id == "j1" else [])
