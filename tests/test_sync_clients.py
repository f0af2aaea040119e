"""The synchronous jobs and web clients against their asynchronous twins.

Each case calls one method of `Client.jobs` / `Client.web` and the same method
of `AsyncClient.jobs` / `AsyncClient.web` against the recording server, with
the same scripted answers, and compares what reached the server (byte for
byte), what came back and what was raised: over a fresh HTTP client per
request and over a shared one, with good answers, error statuses and
undecodable bodies, and with arguments the binding refuses.
"""

from __future__ import annotations

import asyncio
import collections.abc
import inspect
import re
import threading
import time
import traceback
import types
from typing import Any, Callable

import pytest
from recording_server import RecordedRequest, RecordingServer, make_zip

import vexa.client
from vexa.client._async import AsyncClient
from vexa.client._sync import Client
from vexa.types import CodeType, CodeZip, JobStage, JobStatus, JobType

API_KEY = "sk-sync-7"
JOB = {
    "job_id": "j1",
    "job_type": "run",
    "job_status": "finished",
    "job_stage": "post_running",
    "code_id": "c_9",
    "error": None,
}
RUNNING_JOB = {**JOB, "job_stage": "running", "job_status": "started"}
WEB_INFO = {"code_id": "c_9", "code_name": "page", "code_type": "web"}
RUN_INFO = {"code_id": "c_9", "code_name": "script", "code_type": "python"}
LINES = b'{"text": "one"}\n\n{"text": "two", "stream": "stderr"}\n'
RESULT_ZIP = make_zip({"out.txt": "done"})
ZIP = CodeZip(zip_bytes=make_zip({"main.py": "print(1)"}))

SHORTCUTS = [
    "list_queued",
    "list_scheduled",
    "list_started",
    "list_deferred",
    "list_canceled",
    "list_stopped",
    "list_failed",
    "list_finished",
    "list_timed_out",
    "list_pre_running",
    "list_running",
    "list_post_running",
]

# (sub-client path, method, args, kwargs, scripted answers (status, body))
CASES: list[tuple[str, str, tuple[Any, ...], dict[str, Any], list[tuple[int, Any]]]] = [
    ("jobs", "get", ("j1",), {}, [(200, JOB)]),
    ("jobs", "get", ("a b/c%2F",), {}, [(200, JOB)]),
    ("jobs", "list", (), {}, [(200, [JOB, RUNNING_JOB])]),
    ("jobs", "list", (JobType.RUN, JobStatus.FINISHED), {"job_stage": JobStage.POST_RUNNING}, [(200, [JOB])]),
    ("jobs", "get_url", ("j1",), {}, []),
    ("jobs", "get_status", ("j1",), {}, [(200, "finished")]),
    ("jobs", "get_stage", ("j1",), {}, [(200, "running")]),
    ("jobs", "get_error", ("j1",), {}, [(200, "boom")]),
    ("jobs", "get_error", ("j1",), {}, [(200, None)]),
    ("jobs", "get_error", ("j1",), {}, [(200, 5)]),  # result check: "Expected str, got int"
    ("jobs", "get_code_id", ("j1",), {}, [(200, "c_9")]),
    ("jobs", "get_result", ("j1",), {}, [(200, RESULT_ZIP)]),
    ("jobs", "terminate", ("j1",), {}, [(200, JOB)]),
    ("jobs", "stream_output", ("j1",), {}, [(200, LINES)]),
    ("jobs", "stream_output", ("j1",), {"read_timeout": 3}, [(200, b'{"text": "x"}\n{"bad": 1}\n')]),
    ("jobs", "await_stage", ("j1",), {}, [(200, RUNNING_JOB), (200, JOB)]),
    ("jobs", "await_stage", ("j1",), {"stage": JobStage.RUNNING}, [(200, JOB)]),
    ("jobs", "await_stage", ("j1", 0), {"stage": JobStage.RUNNING}, [(200, {**JOB, "job_stage": "pre_running"})]),
    ("jobs", "is_healthy", ("j1",), {}, [(200, "ok")]),
    ("jobs", "await_healthy", ("j1",), {}, [(503, "no"), (200, RUNNING_JOB), (200, "ok"), (200, RUNNING_JOB)]),
    ("jobs", "await_healthy", ("j1",), {}, [(503, "no"), (200, JOB)]),
    ("jobs", "await_healthy", ("j1", 0.0), {}, [(503, "no"), (200, RUNNING_JOB)]),
    ("jobs", "get_latest", (), {}, [(200, [RUNNING_JOB, JOB])]),
    ("jobs", "get_latest", (CodeType.PYTHON,), {}, [(200, [])]),
    *[("jobs", name, (), {"code_type": CodeType.WEB}, [(200, [JOB])]) for name in SHORTCUTS],
    ("web", "run", (ZIP,), {}, [(200, JOB)]),
    ("web", "get_url", ("j1",), {}, []),
    ("web", "upload", (ZIP, "page"), {"metadata": {"a": 1}}, [(200, "c_9")]),
    ("web", "is_healthy", ("j1",), {}, [(200, "ok")]),
    ("web", "await_healthy", ("j1",), {"timeout": 5}, [(200, "ok"), (200, RUNNING_JOB)]),
    ("web", "ingest", (ZIP, "page", None, 1, "3.10"), {}, [(200, JOB)]),
    ("web.stored", "run", ("c_9",), {}, [(200, JOB)]),
    ("web.stored", "list_info", (), {}, [(200, [WEB_INFO])]),
    ("web.stored", "delete", ("c_9",), {}, [(200, WEB_INFO), (200, "")]),
    ("web.stored", "delete", ("c_9",), {}, [(200, RUN_INFO)]),
    ("web.jobs", "list", (JobStatus.STARTED,), {}, [(200, [RUNNING_JOB])]),
    ("web.jobs", "get_latest", (), {}, [(200, [])]),
    *[("web.jobs", name, (), {}, [(200, [JOB])]) for name in SHORTCUTS],
    # refused by the binding, before any request
    ("jobs", "get", (), {}, []),
    ("jobs", "get", (1,), {}, []),
    ("jobs", "get", ("j1", "j2"), {}, []),
    ("jobs", "get", ("j1",), {"job": "j2"}, []),
    ("jobs", "stream_output", ("j1",), {"read_timeout": "5"}, []),
    ("jobs", "await_stage", (), {"job_id": "j1", "timeout": None, "stage": None, "extra": 1}, []),
    ("web", "ingest", (ZIP, "page"), {"pexenv_python": 3}, []),
    ("web.stored", "delete", (None,), {}, []),
]

# How the answers are spoiled: none, an error status, a body that is no JSON.
FAULTS = {"ok": None, "404": (404, {"detail": "no such job"}), "not-json": (200, b"{no json")}


def case_id(case: tuple[Any, ...]) -> str:
    path, name, args, kwargs, _ = case
    return f"{path}.{name}({', '.join([*map(repr, args), *(f'{k}={v!r}' for k, v in kwargs.items())])})"


def normalised(request: RecordedRequest) -> tuple[Any, ...]:
    """What a request carries, with the multipart boundary (random per request) fixed."""
    headers = list(request.headers)
    body = request.body
    content_type = request.header("Content-Type") or ""
    match = re.search(r"boundary=([0-9a-f]+)", content_type)
    if match:
        boundary = match.group(1)
        headers = [(name, value.replace(boundary, "BOUNDARY")) for name, value in headers]
        body = body.replace(boundary.encode(), b"BOUNDARY")
    return request.method, request.target, request.http_version, headers, body, request.chunked


def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        return "value", call()
    except Exception as error:  # noqa: BLE001 - what is raised is the thing compared
        return "error", (type(error), str(error), type(error.__context__))


def target(client: Any, path: str) -> Any:
    for part in path.split("."):
        client = getattr(client, part)
    return client


def run_async(base_url: str, shared: bool, path: str, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    async def call(client: AsyncClient) -> Any:
        result = getattr(target(client, path), name)(*args, **kwargs)
        if isinstance(result, collections.abc.AsyncGenerator):
            return [item async for item in result]
        return await result if inspect.isawaitable(result) else result

    async def main() -> Any:
        if shared:
            async with AsyncClient(base_url, api_key=API_KEY) as client:
                return await call(client)
        return await call(AsyncClient(base_url, api_key=API_KEY))

    return asyncio.run(main())


def run_sync(base_url: str, shared: bool, path: str, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    def call(client: Client) -> Any:
        result = getattr(target(client, path), name)(*args, **kwargs)
        if isinstance(result, collections.abc.Generator):
            return list(result)
        return result

    if shared:
        with Client(base_url, api_key=API_KEY) as client:
            return call(client)
    return call(Client(base_url, api_key=API_KEY))


@pytest.fixture
def no_waiting(monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    """Both waiting loops sleep without waiting; the delays asked for are kept.
    (Other threads, such as a local service's loop, keep their real sleeps.)"""
    import vexa.client._sync._jobs as sync_jobs

    asked: list[Any] = []
    real_sleep = asyncio.sleep
    test_thread = threading.get_ident()

    async def async_sleep(delay: Any, result: Any = None) -> Any:
        if threading.get_ident() != test_thread:
            return await real_sleep(delay, result)
        asked.append(("async", delay))
        return result

    def sleep(delay: Any) -> None:
        asked.append(("sync", delay))

    monkeypatch.setattr(asyncio, "sleep", async_sleep)
    monkeypatch.setitem(sync_jobs.__dict__, "time", types.SimpleNamespace(time=time.time, sleep=sleep))
    return asked


@pytest.mark.parametrize("shared", [False, True], ids=["own-client", "shared-client"])
@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_sync_method_matches_its_async_twin(
    recorder: RecordingServer, no_waiting: list[Any], case: tuple[Any, ...], fault: str, shared: bool
) -> None:
    path, name, args, kwargs, answers = case
    if FAULTS[fault] is not None:
        answers = [FAULTS[fault]] * max(len(answers), 1)
    results = []
    for run in (run_async, run_sync):
        recorder.reset()
        for status, body in answers:
            recorder.script(status, body)
        result = outcome(lambda: run(recorder.base_url, shared, path, name, args, kwargs))
        results.append((result, [normalised(r) for r in recorder.requests]))
    (async_outcome, async_requests), (sync_outcome, sync_requests) = results
    assert sync_requests == async_requests
    assert sync_outcome == async_outcome
    if answers and fault == "ok":
        assert async_requests, "the case sent no request"
    # Both loops asked for the same one-second sleeps.
    assert [d for kind, d in no_waiting if kind == "sync"] == [d for kind, d in no_waiting if kind == "async"]


def test_every_async_method_has_a_sync_twin_with_the_same_signature() -> None:
    from vexa.client._async import _jobs as async_jobs
    from vexa.client._async import _web as async_web
    from vexa.client._sync import _jobs as sync_jobs
    from vexa.client._sync import _web as sync_web

    pairs = [
        (async_jobs.AsyncJobsClient, sync_jobs.JobsClient),
        (async_web.AsyncWebClient, sync_web.WebClient),
        (async_web.AsyncWebJobsClient, sync_web.WebJobsClient),
        (async_web.AsyncStoredWebClient, sync_web.StoredWebClient),
    ]
    for async_class, sync_class in pairs:
        async_names = [n for n in vars(async_class) if not n.startswith("__") or n == "__init__"]
        sync_names = [n for n in vars(sync_class) if not n.startswith("__") or n == "__init__"]
        assert sync_names == async_names
        for method in async_names:
            a, s = vars(async_class)[method], vars(sync_class)[method]
            assert s.__defaults__ == a.__defaults__
            assert s.__code__.co_varnames[: s.__code__.co_argcount] == a.__code__.co_varnames[: a.__code__.co_argcount]
            if vexa.client.NATIVE:  # the twins' code objects carry their own source lines
                assert s.__code__.co_firstlineno == a.__code__.co_firstlineno
            # Only the words that name the asynchronous side differ.
            assert "async" not in s.__doc__.lower()
            assert not asyncio.iscoroutinefunction(s)
            expected_flags = inspect.CO_GENERATOR if method == "stream_output" else 0
            assert (
                s.__code__.co_flags & (inspect.CO_GENERATOR | inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR)
                == expected_flags
            )
            assert inspect.isgeneratorfunction(s) == (method == "stream_output")


def innermost_entry(error: BaseException, method: Any) -> tuple[str, int]:
    """The innermost traceback entry in the method's source: its name, and its line below the definition."""
    code = method.__code__
    entries = [entry for entry in traceback.extract_tb(error.__traceback__) if entry.filename == code.co_filename]
    assert entries, f"no entry of {code.co_filename}"
    return entries[-1].name.rsplit(".", 1)[-1], entries[-1].lineno - code.co_firstlineno


@pytest.mark.native_only
@pytest.mark.parametrize("failure", ["status", "handler"])
@pytest.mark.parametrize("path, name", [("code", "download"), ("jobs", "get_result")])
def test_sync_downloads_report_failures_where_the_async_get_result_does(
    recorder: RecordingServer, path: str, name: str, failure: str
) -> None:
    # CodeClient.download and JobsClient.get_result make one shared download:
    # a failure in it still has the entry of the method itself, at the
    # statement where AsyncJobsClient.get_result, whose statements stand at
    # the same places, reports it: the request's `except` for an error status
    # (the status error itself at the handler's call), the handler's call for
    # its own failure.
    def fail_in_handler(*args: Any) -> bytes:
        raise ZeroDivisionError("no bytes")

    async def fail_in_handler_async(*args: Any) -> bytes:
        raise ZeroDivisionError("no bytes")

    errors = []
    for client in (AsyncClient(recorder.base_url, api_key=API_KEY), Client(recorder.base_url, api_key=API_KEY)):
        is_async = isinstance(client, AsyncClient)
        recorder.script(404, {"detail": "x1 not found"}) if failure == "status" else recorder.script(200, b"PK")
        if failure == "handler" and is_async:
            client._handle_stream_download_async = fail_in_handler_async  # type: ignore[method-assign]
        elif failure == "handler":
            client._handle_stream_download = fail_in_handler  # type: ignore[method-assign]
        method = client.jobs.get_result if is_async else getattr(getattr(client, path), name)
        with pytest.raises(Exception) as caught:
            result = method("x1")
            if is_async:
                asyncio.run(result)
        errors.append((caught.value, method))
    (async_error, async_method), (sync_error, sync_method) = errors
    assert type(sync_error) is type(async_error)
    assert innermost_entry(sync_error, sync_method) == (name, innermost_entry(async_error, async_method)[1])
    if failure == "status":
        assert type(sync_error.__context__) is type(async_error.__context__)
        assert innermost_entry(sync_error.__context__, sync_method) == (
            name,
            innermost_entry(async_error.__context__, async_method)[1],
        )
