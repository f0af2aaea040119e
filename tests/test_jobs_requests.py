"""AsyncJobsClient queries, results and termination against the recording server."""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import inspect
import json
import socket
import warnings
from pathlib import Path
from typing import Any, Iterator

import httpx
import pytest
from recording_server import RecordingServer

from vexa._browser import web_job_address
from vexa.client._async import AsyncClient
from vexa.client._async._jobs import AsyncJobsClient
from vexa.types import (
    CodeType,
    Job,
    JobResult,
    JobStage,
    JobStatus,
    JobType,
    NotFoundError,
    ServerError,
)

API_KEY = "sk-jobs-41"
JOB = {
    "job_id": "j1",
    "job_type": "run",
    "job_status": "finished",
    "job_stage": "post_running",
    "code_id": "c_9",
    "error": None,
}


def other_job(job_id: str) -> dict[str, Any]:
    return {**JOB, "job_id": job_id}


class Mapped(Exception):
    """What the recording parent returns from `_get_http_exception`."""


class RecordingParent(AsyncClient):
    """A real AsyncClient that records the helper calls the jobs client makes."""

    def __init__(self, base_url: str, api_key: str | None = API_KEY) -> None:
        super().__init__(base_url=base_url, api_key=api_key)
        self.mapped: list[tuple[tuple[Any, ...], dict[str, Any], bool]] = []
        self.handled: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
        self.handler_result: Any = b"zip-bytes"
        self.handler_error: BaseException | None = None
        self.proxy_url: Any = "unset"
        self.proxy_calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def _get_http_exception(self, *args: Any, **kwargs: Any) -> Exception:
        error = kwargs.get("httpx_error")
        closed = error.response.is_closed if isinstance(error, httpx.HTTPStatusError) else False
        self.mapped.append((args, kwargs, closed))
        return Mapped("mapped")

    async def _handle_stream_download_async(self, *args: Any, **kwargs: Any) -> Any:
        self.handled.append((args, kwargs))
        response = args[0]
        if self.handler_error is not None:
            raise self.handler_error
        if self.handler_result == "raise_for_status":
            response.raise_for_status()
        return self.handler_result

    def get_proxy_url(self, *args: Any, **kwargs: Any) -> Any:
        self.proxy_calls.append((args, kwargs))
        return self.proxy_url


class ListRecordingJobs(AsyncJobsClient):
    """Overrides `list` to record how get_latest and the shortcuts call it."""

    def __init__(self, client: Any, result: Any) -> None:
        super().__init__(client)
        self.result = result
        self.calls: list[tuple[tuple[Any, ...], list[tuple[str, Any]]]] = []

    async def list(self, *args: Any, **kwargs: Any) -> Any:  # type: ignore[override]
        self.calls.append((args, list(kwargs.items())))
        return self.result


class StrSub(str):
    pass


class ListSub(list):  # type: ignore[type-arg]
    pass


@pytest.fixture
def parent(recorder: RecordingServer) -> RecordingParent:
    return RecordingParent(recorder.base_url)


@pytest.fixture
def jobs(recorder: RecordingServer) -> AsyncJobsClient:
    return AsyncClient(base_url=recorder.base_url, api_key=API_KEY).jobs


@pytest.fixture
def refused_url() -> Iterator[str]:
    """A bound port nobody listens on: connections are refused."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    try:
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    finally:
        sock.close()


# --- requests: method, raw path, query, headers -----------------------------------------

REQUEST_CASES = [
    # method name, extra args, scripted body, HTTP method, path after base_url
    ("get", (), JOB, "GET", "/jobs/{id}"),
    ("get_status", (), '"finished"', "GET", "/jobs/{id}/status"),
    ("get_stage", (), '"running"', "GET", "/jobs/{id}/stage"),
    ("get_error", (), '"boom"', "GET", "/jobs/{id}/error"),
    ("get_code_id", (), '"c_9"', "GET", "/jobs/{id}/code_id"),
    ("get_result", (), b"PK\x05\x06" + b"\0" * 18, "GET", "/jobs/{id}/result"),
    ("terminate", (), JOB, "POST", "/jobs/{id}/terminate"),
    ("is_healthy", (), {"status": "ok"}, "GET", "/{id}/ping"),
]


@pytest.mark.parametrize("name, args, body, method, path", REQUEST_CASES, ids=[c[0] for c in REQUEST_CASES])
async def test_request_method_path_and_api_key(
    recorder: RecordingServer,
    jobs: AsyncJobsClient,
    name: str,
    args: tuple[Any, ...],
    body: Any,
    method: str,
    path: str,
) -> None:
    recorder.script(200, body)
    await getattr(jobs, name)("j1", *args)
    [request] = recorder.requests
    assert request.method == method
    assert request.target == path.format(id="j1")
    assert request.query == ""
    assert request.header_values("X-API-Key") == [API_KEY]


@pytest.mark.parametrize("name, args, body, method, path", REQUEST_CASES, ids=[c[0] for c in REQUEST_CASES])
@pytest.mark.parametrize(
    "job_id, raw",
    [
        ("a/b", "a/b"),
        ("a b", "a%20b"),  # httpx encodes the space itself; the client adds nothing
        ("x%2Fy", "x%2Fy"),  # not re-escaped
    ],
)
async def test_job_id_is_inserted_unescaped(
    recorder: RecordingServer,
    jobs: AsyncJobsClient,
    name: str,
    args: tuple[Any, ...],
    body: Any,
    method: str,
    path: str,
    job_id: str,
    raw: str,
) -> None:
    recorder.script(200, other_job(job_id) if body == JOB else body)
    await getattr(jobs, name)(job_id, *args)
    [request] = recorder.requests
    assert (request.method, request.path, request.query) == (method, path.format(id=raw), "")


async def test_question_mark_in_job_id_starts_the_query(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, '"queued"')
    assert await jobs.get_status("a?b") is JobStatus.QUEUED
    [request] = recorder.requests
    assert (request.path, request.query) == ("/jobs/a", "b/status")


@pytest.mark.parametrize("name, args, body, method, path", REQUEST_CASES, ids=[c[0] for c in REQUEST_CASES])
async def test_trailing_slash_on_base_url_doubles_the_slash(
    recorder: RecordingServer, name: str, args: tuple[Any, ...], body: Any, method: str, path: str
) -> None:
    jobs = AsyncClient(base_url=recorder.base_url + "/", api_key=API_KEY).jobs
    recorder.script(200, body)
    await getattr(jobs, name)("j1", *args)
    [request] = recorder.requests
    assert request.target == "/" + path.format(id="j1")


async def test_list_with_trailing_slash_base_url(recorder: RecordingServer) -> None:
    jobs = AsyncClient(base_url=recorder.base_url + "/", api_key=API_KEY).jobs
    recorder.script(200, [])
    assert await jobs.list() == []
    assert recorder.requests[0].target == "//jobs"


async def test_base_url_is_read_at_every_call(recorder: RecordingServer) -> None:
    parent = AsyncClient(base_url="http://127.0.0.1:9/unused", api_key=API_KEY)
    parent.base_url = recorder.base_url + "/api"
    recorder.script(200, '"running"')
    assert await parent.jobs.get_stage("j1") is JobStage.RUNNING
    assert recorder.requests[0].target == "/api/jobs/j1/stage"


async def test_without_api_key_no_header_is_sent(recorder: RecordingServer, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("VEXA_API_KEY", raising=False)
    jobs = AsyncClient(base_url=recorder.base_url).jobs
    recorder.script(200, JOB)
    await jobs.get("j1")
    assert recorder.requests[0].header_values("X-API-Key") == []


async def test_terminate_sends_no_body_and_no_query(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, JOB)
    assert await jobs.terminate("j1") is None
    [request] = recorder.requests
    assert (request.method, request.target, request.body, request.chunked) == ("POST", "/jobs/j1/terminate", b"", False)
    assert request.header("Content-Type") is None


@pytest.mark.parametrize("status, body", [(200, JOB), (202, "not json"), (204, b""), (299, {"detail": "odd"})])
async def test_terminate_returns_none_on_any_2xx(
    recorder: RecordingServer, jobs: AsyncJobsClient, status: int, body: Any
) -> None:
    recorder.script(status, body)
    assert await jobs.terminate("j1") is None
    assert len(recorder.requests) == 1


# --- list filters ---------------------------------------------------------------------------


async def test_list_without_filters_sends_no_query_string(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, [JOB, other_job("j2")])
    result = await jobs.list()
    assert type(result) is list
    assert [job.job_id for job in result] == ["j1", "j2"]
    assert all(type(job) is Job for job in result)
    [request] = recorder.requests
    assert (request.method, request.target, request.query) == ("GET", "/jobs", "")
    assert request.header_values("X-API-Key") == [API_KEY]


class Odd:
    def __str__(self) -> str:
        return "odd-text"


@pytest.mark.parametrize(
    "args, kwargs, query",
    [
        ((), {"job_stage": JobStage.RUNNING}, "job_stage=running"),
        ((), {"job_status": JobStatus.TIMEOUT}, "job_status=timeout"),
        ((JobType.WEB,), {}, "job_type=web"),
        (
            (),
            {"job_stage": JobStage.PRE_RUNNING, "job_status": JobStatus.QUEUED, "job_type": JobType.INGEST},
            "job_type=ingest&job_status=queued&job_stage=pre_running",
        ),
        (
            (JobType.RUN, JobStatus.FAILED, JobStage.POST_RUNNING),
            {},
            "job_type=run&job_status=failed&job_stage=post_running",
        ),
        ((None, None, JobStage.UNKNOWN), {}, "job_stage=unknown"),
        ((), {"job_type": "custom"}, "job_type=custom"),
        ((), {"job_status": ""}, "job_status="),
        ((), {"job_type": 0}, "job_type=0"),
        ((), {"job_stage": False}, "job_stage=False"),
        ((), {"job_type": Odd()}, "job_type=odd-text"),
    ],
)
async def test_list_filters(
    recorder: RecordingServer, jobs: AsyncJobsClient, args: tuple[Any, ...], kwargs: dict[str, Any], query: str
) -> None:
    recorder.script(200, [])
    assert await jobs.list(*args, **kwargs) == []
    [request] = recorder.requests
    assert (request.path, request.query) == ("/jobs", query)


async def test_list_element_null_is_refused(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, [JOB, None])
    with pytest.raises(TypeError) as caught:
        await jobs.list()
    assert str(caught.value) == "argument after ** must be a mapping, not NoneType"


# --- results --------------------------------------------------------------------------------


async def test_get_builds_a_job(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, {**JOB, "job_stage": "running", "job_status": "started", "extra": 7})
    job = await jobs.get("j1")
    assert type(job) is Job
    assert (job.job_id, job.job_type, job.job_status, job.job_stage, job.code_id) == (
        "j1",
        JobType.RUN,
        JobStatus.STARTED,
        JobStage.RUNNING,
        "c_9",
    )
    assert job.extra == 7


@pytest.mark.parametrize("body, member", [(json.dumps(value.value), value) for value in JobStatus])
async def test_get_status(recorder: RecordingServer, jobs: AsyncJobsClient, body: str, member: JobStatus) -> None:
    recorder.script(200, body)
    assert await jobs.get_status("j1") is member


@pytest.mark.parametrize("body, member", [(json.dumps(value.value), value) for value in JobStage])
async def test_get_stage(recorder: RecordingServer, jobs: AsyncJobsClient, body: str, member: JobStage) -> None:
    recorder.script(200, body)
    assert await jobs.get_stage("j1") is member


async def test_get_status_invalid_value_passes_through(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, '"sleeping"')
    with pytest.raises(ValueError) as caught:
        await jobs.get_status("j1")
    assert str(caught.value) == "'sleeping' is not a valid JobStatus"


@pytest.mark.parametrize("name", ["get_error", "get_code_id"])
@pytest.mark.parametrize(
    "body, expected, error",
    [
        ("text", "text", None),
        ("", "", None),
        (None, None, None),
        (5, None, "Expected str, got int"),
        (1.5, None, "Expected str, got float"),
        (["a"], None, "Expected str, got list"),
        ({"a": 1}, None, "Expected str, got dict"),
        (True, None, "Expected str, got bool"),
    ],
)
async def test_text_results(
    recorder: RecordingServer, jobs: AsyncJobsClient, name: str, body: Any, expected: Any, error: str | None
) -> None:
    recorder.script(200, json.dumps(body))
    if error is None:
        result = await getattr(jobs, name)("j1")
        assert result == expected
        assert type(result) is type(expected)
    else:
        with pytest.raises(TypeError) as caught:
            await getattr(jobs, name)("j1")
        assert str(caught.value) == error


async def test_get_on_null_body(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, None)
    with pytest.raises(TypeError) as caught:
        await jobs.get("j1")
    assert str(caught.value) == "argument after ** must be a mapping, not NoneType"


async def test_get_undecodable_body_passes_through(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, "{not json")
    with pytest.raises(ValueError) as caught:
        await jobs.get("j1")
    assert type(caught.value).__name__ == "JSONDecodeError"


# --- get_url --------------------------------------------------------------------------------


async def test_get_url_sends_nothing(refused_url: str) -> None:
    jobs = AsyncClient(base_url=refused_url, api_key=API_KEY).jobs
    page = f"http://{web_job_address('j 1/x')}:{httpx.URL(refused_url).port}"
    assert await jobs.get_url("j 1/x") == page


@pytest.mark.parametrize(
    "value, error",
    [
        ("http://proxy/j1", None),
        (None, None),
        (5, "Expected str, got int"),
        (StrSub("http://proxy/j1"), "Expected str, got StrSub"),
        (b"http://proxy/j1", "Expected str, got bytes"),
    ],
)
async def test_get_url_result_check(parent: RecordingParent, value: Any, error: str | None) -> None:
    parent.proxy_url = value
    if error is None:
        assert await parent.jobs.get_url("j1") is value
    else:
        with pytest.raises(TypeError) as caught:
            await parent.jobs.get_url("j1")
        assert str(caught.value) == error
    assert parent.proxy_calls == [(("j1",), {})]


# --- get_latest and the listing shortcuts ------------------------------------------------------

SHORTCUTS = [
    ("list_queued", "job_status", JobStatus.QUEUED),
    ("list_scheduled", "job_status", JobStatus.SCHEDULED),
    ("list_started", "job_status", JobStatus.STARTED),
    ("list_deferred", "job_status", JobStatus.DEFERRED),
    ("list_canceled", "job_status", JobStatus.CANCELED),
    ("list_stopped", "job_status", JobStatus.STOPPED),
    ("list_failed", "job_status", JobStatus.FAILED),
    ("list_finished", "job_status", JobStatus.FINISHED),
    ("list_timed_out", "job_status", JobStatus.TIMEOUT),
    ("list_pre_running", "job_stage", JobStage.PRE_RUNNING),
    ("list_running", "job_stage", JobStage.RUNNING),
    ("list_post_running", "job_stage", JobStage.POST_RUNNING),
]

CODE_TYPES = [
    # how code_type is passed, expected job_type
    ((), {}, None),
    ((None,), {}, None),
    ((CodeType.WEB,), {}, JobType.WEB),
    ((), {"code_type": CodeType.PYTHON}, JobType.RUN),
    (("web",), {}, JobType.WEB),
    (("",), {}, None),
    ((0,), {}, None),
]


@pytest.mark.parametrize("name, key, member", SHORTCUTS, ids=[s[0] for s in SHORTCUTS])
@pytest.mark.parametrize("args, kwargs, job_type", CODE_TYPES)
async def test_shortcut_calls_list(
    recorder: RecordingServer,
    name: str,
    key: str,
    member: Any,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    job_type: JobType | None,
) -> None:
    result = [Job(**JOB)]
    jobs = ListRecordingJobs(AsyncClient(base_url=recorder.base_url), result)
    assert await getattr(jobs, name)(*args, **kwargs) is result
    [(call_args, call_kwargs)] = jobs.calls
    assert call_args == ()
    assert [k for k, _ in call_kwargs] == ["job_type", key]
    assert call_kwargs[0][1] is job_type
    assert call_kwargs[1][1] is member
    assert recorder.requests == []


@pytest.mark.parametrize("name", [s[0] for s in SHORTCUTS])
@pytest.mark.parametrize(
    "result, error",
    [
        ((), "Expected list, got tuple"),
        (ListSub(), "Expected list, got ListSub"),
        ({}, "Expected list, got dict"),
        (None, None),
        ([], None),
    ],
)
async def test_shortcut_result_check(name: str, result: Any, error: str | None) -> None:
    jobs = ListRecordingJobs(AsyncClient(base_url="http://127.0.0.1:9"), result)
    if error is None:
        assert await getattr(jobs, name)() is result
    else:
        with pytest.raises(TypeError) as caught:
            await getattr(jobs, name)()
        assert str(caught.value) == error


async def test_shortcut_from_code_type_error_passes_through() -> None:
    jobs = ListRecordingJobs(AsyncClient(base_url="http://127.0.0.1:9"), [])
    with pytest.raises(ValueError) as caught:
        await jobs.list_failed("cobol")
    assert str(caught.value) == "'cobol' is not a valid CodeType"
    assert jobs.calls == []


@pytest.mark.parametrize("args, kwargs, job_type", CODE_TYPES)
async def test_get_latest_calls_list_with_job_type_only(
    args: tuple[Any, ...], kwargs: dict[str, Any], job_type: JobType | None
) -> None:
    first, second = Job(**JOB), Job(**other_job("j2"))
    jobs = ListRecordingJobs(AsyncClient(base_url="http://127.0.0.1:9"), [first, second])
    assert await jobs.get_latest(*args, **kwargs) is first
    [(call_args, call_kwargs)] = jobs.calls
    assert call_args == ()
    assert [k for k, _ in call_kwargs] == ["job_type"]
    assert call_kwargs[0][1] is job_type


@pytest.mark.parametrize("result, expected", [(("a", "b"), "a"), ([], None), ((), None), (None, None), ("xy", "x")])
async def test_get_latest_first_element(result: Any, expected: Any) -> None:
    jobs = ListRecordingJobs(AsyncClient(base_url="http://127.0.0.1:9"), result)
    assert await jobs.get_latest() == expected


async def test_get_latest_over_http(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, [other_job("newest"), JOB])
    recorder.script(200, [])
    latest = await jobs.get_latest(CodeType.WEB)
    assert type(latest) is Job and latest.job_id == "newest"
    assert await jobs.get_latest() is None
    assert [(r.path, r.query) for r in recorder.requests] == [("/jobs", "job_type=web"), ("/jobs", "")]


async def test_shortcut_over_http(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, [JOB])
    [job] = await jobs.list_timed_out(CodeType.PYTHON)
    assert job.job_id == "j1"
    assert recorder.requests[0].query == "job_type=run&job_status=timeout"


# --- error statuses -------------------------------------------------------------------------

ERROR_CASES = [
    ("get", ("j1",), "GET", "/jobs/j1"),
    ("list", (), "GET", "/jobs"),
    ("get_status", ("j1",), "GET", "/jobs/j1/status"),
    ("get_stage", ("j1",), "GET", "/jobs/j1/stage"),
    ("get_error", ("j1",), "GET", "/jobs/j1/error"),
    ("get_code_id", ("j1",), "GET", "/jobs/j1/code_id"),
    ("terminate", ("j1",), "POST", "/jobs/j1/terminate"),
    ("get_result", ("j1",), "GET", "/jobs/j1/result"),
]


@pytest.mark.parametrize("name, args, method, path", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
async def test_404_becomes_not_found_error(
    recorder: RecordingServer, jobs: AsyncJobsClient, name: str, args: tuple[Any, ...], method: str, path: str
) -> None:
    recorder.script(404, {"detail": "Job j1 not found"})
    with pytest.raises(NotFoundError) as caught:
        await getattr(jobs, name)(*args)
    error = caught.value
    assert str(error) == f"404 Not Found for {method} {recorder.base_url}{path}: Job j1 not found"
    assert type(error.__context__) is httpx.HTTPStatusError
    assert error.__context__.response.status_code == 404
    assert error.__cause__ is None
    assert len(recorder.requests) == 1


@pytest.mark.parametrize("name, args, method, path", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
async def test_500_becomes_server_error(
    recorder: RecordingServer, jobs: AsyncJobsClient, name: str, args: tuple[Any, ...], method: str, path: str
) -> None:
    recorder.script(503, "down")
    with pytest.raises(ServerError) as caught:
        await getattr(jobs, name)(*args)
    assert caught.value.status_code == 503
    assert isinstance(caught.value.__context__, httpx.HTTPStatusError)


@pytest.mark.parametrize("name, args, method, path", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
async def test_error_is_mapped_by_the_parent(
    recorder: RecordingServer,
    parent: RecordingParent,
    name: str,
    args: tuple[Any, ...],
    method: str,
    path: str,
) -> None:
    parent.handler_result = "raise_for_status"
    recorder.script(409, "conflict")
    with pytest.raises(Mapped) as caught:
        await getattr(parent.jobs, name)(*args)
    [(map_args, map_kwargs, _)] = parent.mapped
    assert map_args == ()
    assert list(map_kwargs) == ["httpx_error"]
    assert map_kwargs["httpx_error"] is caught.value.__context__
    assert type(caught.value.__context__) is httpx.HTTPStatusError
    assert caught.value.__cause__ is None and not caught.value.__suppress_context__


@pytest.mark.parametrize(
    "name, args",
    [(c[0], c[1]) for c in ERROR_CASES] + [("is_healthy", ("j1",))],
    ids=[c[0] for c in ERROR_CASES] + ["is_healthy"],
)
async def test_unreachable_service(refused_url: str, name: str, args: tuple[Any, ...]) -> None:
    jobs = AsyncClient(base_url=refused_url, api_key=API_KEY).jobs
    if name == "is_healthy":
        assert await jobs.is_healthy(*args) is False
        return
    with pytest.raises(httpx.ConnectError) as caught:
        await getattr(jobs, name)(*args)
    assert type(caught.value) is httpx.ConnectError


# --- get_result -----------------------------------------------------------------------------


@pytest.mark.parametrize("zip_path", [None, "out/result.zip", Path("out/result.zip")], ids=["none", "str", "path"])
async def test_get_result_hands_zip_path_to_the_parent(
    recorder: RecordingServer, parent: RecordingParent, zip_path: Any
) -> None:
    recorder.script(200, b"zip-on-the-wire")
    if zip_path is None:
        result = await parent.jobs.get_result("j1")
    else:
        result = await parent.jobs.get_result("j1", zip_path)
    [(args, kwargs)] = parent.handled
    assert kwargs == {}
    assert len(args) == 2
    assert isinstance(args[0], httpx.Response)
    assert args[0].is_closed  # the stream was left
    assert args[1] is zip_path
    assert type(result) is JobResult
    assert result.zip_bytes == b"zip-bytes"


async def test_get_result_zip_path_by_keyword(recorder: RecordingServer, parent: RecordingParent) -> None:
    target = Path("x.zip")
    recorder.script(200, b"z")
    await parent.jobs.get_result("j1", zip_path=target)
    assert parent.handled[0][0][1] is target


async def test_get_result_adds_no_status_check(recorder: RecordingServer, parent: RecordingParent) -> None:
    recorder.script(404, {"detail": "gone"})
    parent.handler_result = b"from-handler"
    result = await parent.jobs.get_result("j1")
    assert result.zip_bytes == b"from-handler"
    assert parent.handled[0][0][0].status_code == 404
    assert parent.mapped == []


async def test_get_result_handler_status_error_is_mapped_after_closing(
    recorder: RecordingServer, parent: RecordingParent
) -> None:
    recorder.script(404, "nope")
    parent.handler_result = "raise_for_status"
    with pytest.raises(Mapped) as caught:
        await parent.jobs.get_result("j1")
    [(_, kwargs, closed_when_mapped)] = parent.mapped
    assert closed_when_mapped is True
    assert kwargs["httpx_error"] is caught.value.__context__


@pytest.mark.parametrize("error", [OSError(28, "No space left"), ValueError("bad")])
async def test_get_result_other_handler_errors_pass_through(
    recorder: RecordingServer, parent: RecordingParent, error: Exception
) -> None:
    recorder.script(200, b"z")
    parent.handler_error = error
    with pytest.raises(type(error)) as caught:
        await parent.jobs.get_result("j1")
    assert caught.value is error
    assert parent.mapped == []
    assert parent.handled[0][0][0].is_closed


async def test_get_result_invalid_handler_value_fails_in_job_result(
    recorder: RecordingServer, parent: RecordingParent
) -> None:
    recorder.script(200, b"z")
    parent.handler_result = 12.5
    with pytest.raises(ValueError) as caught:  # pydantic.ValidationError
        await parent.jobs.get_result("j1")
    assert type(caught.value).__name__ == "ValidationError"


async def test_get_result_with_real_parent_writes_the_file(
    recorder: RecordingServer, jobs: AsyncJobsClient, tmp_path: Path, make_zip: Any
) -> None:
    payload = make_zip({"output.txt": "hello\n"})
    recorder.script(200, payload, chunks=[payload[:10], payload[10:]])
    target = tmp_path / "result.zip"
    result = await jobs.get_result("j1", target)
    assert result.zip_bytes == payload
    assert target.read_bytes() == payload


# --- argument binding -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("get", (), {}, "get() takes exactly 2 positional arguments (1 given)"),
        ("get", ("a", "b"), {}, "get() takes exactly 2 positional arguments (3 given)"),
        ("get", (5,), {}, "Argument 'job_id' has incorrect type (expected str, got int)"),
        ("get", (None,), {}, "Argument 'job_id' has incorrect type (expected str, got NoneType)"),
        ("get", (StrSub("j1"),), {}, "Argument 'job_id' has incorrect type (expected str, got StrSub)"),
        ("get", (), {"job": "j1"}, "get() got an unexpected keyword argument 'job'"),
        ("get", ("j1",), {"job_id": "j1"}, "get() got multiple values for keyword argument 'job_id'"),
        ("terminate", (b"j1",), {}, "Argument 'job_id' has incorrect type (expected str, got bytes)"),
        ("list", (1, 2, 3, 4), {}, "list() takes at most 4 positional arguments (5 given)"),
        ("await_stage", (), {}, "await_stage() takes at least 2 positional arguments (1 given)"),
        ("await_stage", ("j1",), {"timeout": "5"}, "Argument 'timeout' has incorrect type (expected float, got str)"),
        ("await_healthy", ("j1", [1]), {}, "Argument 'timeout' has incorrect type (expected float, got list)"),
        ("stream_output", (123,), {}, "Argument 'job_id' has incorrect type (expected str, got int)"),
        (
            "stream_output",
            ("j1",),
            {"read_timeout": "1"},
            "Argument 'read_timeout' has incorrect type (expected float, got str)",
        ),
        ("get_result", (), {"zip_path": "x"}, "get_result() takes at least 2 positional arguments (1 given)"),
        ("list_queued", (None, None), {}, "list_queued() takes at most 2 positional arguments (3 given)"),
        ("is_healthy", (1.0,), {}, "Argument 'job_id' has incorrect type (expected str, got float)"),
    ],
)
def test_binding_errors_at_call_time(
    recorder: RecordingServer,
    jobs: AsyncJobsClient,
    name: str,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    message: str,
) -> None:
    method = getattr(jobs, name)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as caught:
            method(*args, **kwargs)  # not awaited: the call itself fails
        gc.collect()
    assert str(caught.value) == message
    assert [w for w in seen if "never awaited" in str(w.message)] == []
    assert recorder.requests == []


@pytest.mark.native_only
def test_binding_error_traceback_names_the_method(jobs: AsyncJobsClient) -> None:
    with pytest.raises(TypeError) as caught:
        jobs.get(5)
    last = caught.traceback[-1]
    assert last.frame.code.raw.co_name == "vexa.client._async._jobs.AsyncJobsClient.get"
    assert last.frame.code.raw.co_filename == "vexa/client/_async/_jobs"


async def test_unawaited_coroutine_warns_and_sends_nothing(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        coroutine = jobs.get("j1")
        assert isinstance(coroutine, collections.abc.Coroutine)
        assert (coroutine.__name__, coroutine.__qualname__) == ("get", "AsyncJobsClient.get")
        del coroutine
        gc.collect()
    assert [str(w.message) for w in seen if w.category is RuntimeWarning] == [
        "coroutine 'AsyncJobsClient.get' was never awaited"
    ]
    assert recorder.requests == []


# --- method attributes ----------------------------------------------------------------------

COROUTINE_METHODS = [
    "get",
    "list",
    "get_url",
    "get_status",
    "get_stage",
    "get_error",
    "get_code_id",
    "get_result",
    "terminate",
    "await_stage",
    "is_healthy",
    "await_healthy",
    "get_latest",
] + [s[0] for s in SHORTCUTS]


def test_defaults() -> None:
    assert AsyncJobsClient.await_stage.__defaults__ == (None, JobStage.POST_RUNNING)
    assert AsyncJobsClient.await_stage.__defaults__[1] is JobStage.POST_RUNNING
    assert AsyncJobsClient.stream_output.__defaults__ == (60.0,)
    assert type(AsyncJobsClient.stream_output.__defaults__[0]) is float
    assert AsyncJobsClient.get.__defaults__ is None
    assert AsyncJobsClient.list.__defaults__ == (None, None, None)
    assert AsyncJobsClient.await_healthy.__defaults__ == (None,)
    assert AsyncJobsClient.get_result.__defaults__ == (None,)


@pytest.mark.parametrize("name", COROUTINE_METHODS)
def test_coroutine_method_flags(name: str) -> None:
    method = getattr(AsyncJobsClient, name)
    assert asyncio.iscoroutinefunction(method) is True
    assert method.__code__.co_flags & inspect.CO_COROUTINE
    assert not method.__code__.co_flags & inspect.CO_ASYNC_GENERATOR


def test_stream_output_is_an_async_generator_function(jobs: AsyncJobsClient) -> None:
    method = AsyncJobsClient.stream_output
    assert asyncio.iscoroutinefunction(method) is True
    assert method.__code__.co_flags & inspect.CO_ASYNC_GENERATOR
    assert not method.__code__.co_flags & inspect.CO_COROUTINE
    generator = jobs.stream_output("j1")
    assert isinstance(generator, collections.abc.AsyncGenerator)
    assert not isinstance(generator, collections.abc.Coroutine)
    asyncio.run(generator.aclose())


def test_init_is_plain() -> None:
    method = AsyncJobsClient.__init__
    assert asyncio.iscoroutinefunction(method) is False
    assert not method.__code__.co_flags & (inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR)
    assert method.__doc__ == "AsyncJobsClient.__init__(self, client: AsyncClient)"
    parent = object()
    jobs = AsyncJobsClient(parent)
    assert jobs._client is parent


@pytest.mark.parametrize(
    "name, line",
    [
        ("get", "AsyncJobsClient.get(self, str job_id: str) -> Job"),
        (
            "list",
            "AsyncJobsClient.list(self, job_type: JobType | None = None, job_status: JobStatus | None = None, "
            "job_stage: JobStage | None = None) -> List[Job]",
        ),
        ("get_url", "AsyncJobsClient.get_url(self, str job_id: str) -> str"),
        ("get_error", "AsyncJobsClient.get_error(self, str job_id: str) -> str | None"),
        ("get_latest", "AsyncJobsClient.get_latest(self, code_type: CodeType | None = None) -> Job | None"),
        ("list_timed_out", "AsyncJobsClient.list_timed_out(self, code_type: CodeType | None = None) -> List[Job]"),
        (
            "get_result",
            "AsyncJobsClient.get_result(self, str job_id: str, zip_path: Path | str | None = None) -> JobResult",
        ),
        ("terminate", "AsyncJobsClient.terminate(self, str job_id: str) -> None"),
        (
            "stream_output",
            "AsyncJobsClient.stream_output(self, str job_id: str, float read_timeout: float | None = 60) "
            "-> AsyncGenerator[StreamOutput, None]",
        ),
        (
            "await_stage",
            "AsyncJobsClient.await_stage(self, str job_id: str, float timeout: float | None = None, "
            "stage: JobStage = JobStage.POST_RUNNING) -> Job",
        ),
        ("is_healthy", "AsyncJobsClient.is_healthy(self, str job_id: str) -> bool"),
        (
            "await_healthy",
            "AsyncJobsClient.await_healthy(self, str job_id: str, float timeout: float | None = None) -> Job",
        ),
    ],
)
def test_signature_lines(name: str, line: str) -> None:
    doc = getattr(AsyncJobsClient, name).__doc__
    assert doc.split("\n")[0] == line
    assert doc.split("\n")[1] == ""


def test_full_docstring_of_get() -> None:
    assert AsyncJobsClient.get.__doc__ == (
        "AsyncJobsClient.get(self, str job_id: str) -> Job\n"
        "\n"
        "Gets a job.\n"
        "\n"
        "Args:\n"
        "    job_id (str): The ID of the job.\n"
        "\n"
        "Returns:\n"
        "    Job: The job.\n"
        "\n"
        "Raises:\n"
        "    HTTPException: If the request fails."
    )
