"""The web clients of `vexa.client._async._web`: requests, delegations, checks and introspection."""

from __future__ import annotations

import asyncio
import sys
from email import policy
from email.parser import BytesParser
from typing import Any

import httpx
import pytest
from recording_server import RecordingServer

from vexa.client._async import AsyncClient, _web
from vexa.client._async._web import AsyncStoredWebClient, AsyncWebClient, AsyncWebJobsClient
from vexa.types import CodeInfo, CodeType, CodeZip, Job, JobStage, JobStatus, JobType, NotFoundError, ServerError

API_KEY = "test-key"
JOB_BODY = {"job_id": "j_1", "job_type": "web", "job_status": "queued", "job_stage": "pre_running", "code_id": "c_1"}
EXPECTED_JOB = Job(**JOB_BODY)


def parse_multipart(content_type: str, body: bytes) -> list[tuple[str | None, str | None, str, bytes]]:
    message = BytesParser(policy=policy.HTTP).parsebytes(b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
    return [
        (
            part.get_param("name", header="content-disposition"),
            part.get_filename(),
            part.get_content_type(),
            part.get_payload(decode=True),
        )
        for part in message.iter_parts()
    ]


# --- Fake parent: plain objects recording what the web clients ask of them ------------------


class Calls(list):
    def record(self, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        self.append((name, args, list(kwargs.items())))


class FakeCode:
    def __init__(self, calls: Calls, results: dict[str, Any]) -> None:
        self.calls = calls
        self.results = results

    async def upload(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("code.upload", args, kwargs)
        return self.results["code.upload"]

    async def ingest(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("code.ingest", args, kwargs)
        return self.results["code.ingest"]

    async def list_info(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("code.list_info", args, kwargs)
        return self.results["code.list_info"]

    async def get_info(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("code.get_info", args, kwargs)
        return self.results["code.get_info"]

    async def delete(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("code.delete", args, kwargs)
        return self.results["code.delete"]


class FakeJobs:
    def __init__(self, calls: Calls, results: dict[str, Any]) -> None:
        self.calls = calls
        self.results = results

    async def list(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("jobs.list", args, kwargs)
        return self.results["jobs.list"]

    async def is_healthy(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("jobs.is_healthy", args, kwargs)
        return self.results["jobs.is_healthy"]

    async def await_healthy(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("jobs.await_healthy", args, kwargs)
        return self.results["jobs.await_healthy"]


class FakeParent:
    def __init__(self, **results: Any) -> None:
        self.calls = Calls()
        # Keys like "code.upload" come in as code__upload.
        self.results = {name.replace("__", "."): value for name, value in results.items()}
        self.code = FakeCode(self.calls, self.results)
        self.jobs = FakeJobs(self.calls, self.results)
        self.base_url = "http://unused.invalid"
        self.api_key_header: dict[str, str] = {}

    def get_subdomain_proxy_url(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.record("get_subdomain_proxy_url", args, kwargs)
        return self.results["get_subdomain_proxy_url"]


class Marker:
    """A distinct result object, identified by name in failure output."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return f"Marker({self.name})"


@pytest.fixture
def zip_model(make_zip: Any) -> CodeZip:
    return CodeZip(zip_bytes=make_zip({"index.html": "<h1>hi</h1>"}))


# --- run: POST requests against the recording server --------------------------------------


def run_call(kind: str, code_zip: CodeZip, code_id: str = "c_1") -> Any:
    """The awaitable of the chosen run, on a real AsyncClient built later."""

    def start(parent: Any) -> Any:
        if kind == "zip":
            return AsyncWebClient(parent).run(code_zip)
        return AsyncStoredWebClient(parent).run(code_id)

    return start


@pytest.mark.parametrize(
    ("kind", "code_id", "path"),
    [
        ("zip", None, "/jobs/code/run/web"),
        ("stored", "c_1", "/jobs/code/c_1/run/web"),
        ("stored", "a/b", "/jobs/code/a/b/run/web"),
        ("stored", "a%2Fb", "/jobs/code/a%2Fb/run/web"),
    ],
)
async def test_run_posts_to_the_exact_path(
    recorder: RecordingServer, zip_model: CodeZip, kind: str, code_id: str | None, path: str
) -> None:
    recorder.script(200, body=JOB_BODY)
    parent = AsyncClient(recorder.base_url, API_KEY)
    job = await run_call(kind, zip_model, code_id or "")(parent)
    assert job == EXPECTED_JOB
    assert type(job) is Job
    [request] = recorder.requests
    assert (request.method, request.target) == ("POST", path)
    assert request.header_values("X-API-Key") == [API_KEY]


@pytest.mark.parametrize(("kind", "path"), [("zip", "//jobs/code/run/web"), ("stored", "//jobs/code/c_1/run/web")])
async def test_run_keeps_a_trailing_slash_of_the_base_url(
    recorder: RecordingServer, zip_model: CodeZip, kind: str, path: str
) -> None:
    recorder.script(200, body=JOB_BODY)
    parent = AsyncClient(recorder.base_url + "/", API_KEY)
    await run_call(kind, zip_model)(parent)
    assert [r.target for r in recorder.requests] == [path]


class FormattedURL:
    """A non-str base URL whose formatting differs from its str()."""

    def __init__(self, url: str) -> None:
        self.url = url

    def __format__(self, spec: str) -> str:
        return self.url + "/formatted"

    def __str__(self) -> str:
        return self.url + "/plain"


@pytest.mark.parametrize(
    ("make_base", "prefix"),
    [(lambda url: httpx.URL(url), ""), (FormattedURL, "/formatted")],
    ids=["httpx-url", "format-not-str"],
)
@pytest.mark.parametrize(("kind", "path"), [("zip", "/jobs/code/run/web"), ("stored", "/jobs/code/c_1/run/web")])
async def test_run_formats_a_non_str_base_url(
    recorder: RecordingServer, zip_model: CodeZip, make_base: Any, prefix: str, kind: str, path: str
) -> None:
    recorder.script(200, body=JOB_BODY)
    parent = AsyncClient(recorder.base_url, API_KEY)
    parent.base_url = make_base(recorder.base_url)
    assert await run_call(kind, zip_model)(parent) == EXPECTED_JOB
    assert [r.target for r in recorder.requests] == [prefix + path]


async def test_stored_run_sends_no_body(recorder: RecordingServer) -> None:
    recorder.script(200, body=JOB_BODY)
    await AsyncStoredWebClient(AsyncClient(recorder.base_url, API_KEY)).run("c_1")
    [request] = recorder.requests
    assert request.body == b""
    assert request.header("Content-Type") is None
    assert request.header("Content-Length") == "0"


async def test_zip_run_sends_the_parents_prepared_files(recorder: RecordingServer, make_zip: Any) -> None:
    zip_bytes = make_zip({"index.html": "<p>x</p>"})
    code_zip = CodeZip(zip_bytes=zip_bytes)
    recorder.script(200, body=JOB_BODY)
    await AsyncWebClient(AsyncClient(recorder.base_url, API_KEY)).run(code_zip)
    [request] = recorder.requests
    assert parse_multipart(request.header("Content-Type") or "", request.body) == [
        ("code_zip", "code.zip", "application/zip", zip_bytes)
    ]


class PreparingParent(AsyncClient):
    """Real parent whose `_prepare_files` records its arguments and returns chosen parts."""

    def __init__(self, base_url: str) -> None:
        super().__init__(base_url, API_KEY)
        self.prepared: list[tuple[tuple[Any, ...], list[tuple[str, Any]]]] = []

    def _prepare_files(self, *args: Any, **kwargs: Any) -> Any:  # type: ignore[override]
        self.prepared.append((args, list(kwargs.items())))
        return [
            ("code_zip", ("site.zip", b"zip-bytes", "application/zip")),
            ("extra", ("notes.txt", b"hello", "text/plain")),
        ]


async def test_zip_run_uploads_exactly_what_prepare_files_returns(recorder: RecordingServer) -> None:
    code_zip = object()  # not checked, only handed to _prepare_files
    parent = PreparingParent(recorder.base_url)
    recorder.script(200, body=JOB_BODY)
    await AsyncWebClient(parent).run(code_zip)
    assert len(parent.prepared) == 1
    args, kwargs = parent.prepared[0]
    assert args == () and [name for name, _ in kwargs] == ["code_zip"] and kwargs[0][1] is code_zip
    [request] = recorder.requests
    assert parse_multipart(request.header("Content-Type") or "", request.body) == [
        ("code_zip", "site.zip", "application/zip", b"zip-bytes"),
        ("extra", "notes.txt", "text/plain", b"hello"),
    ]


@pytest.mark.parametrize(
    ("status", "exception_type", "reason"),
    [(404, NotFoundError, "Not Found"), (503, ServerError, "Service Unavailable")],
)
@pytest.mark.parametrize(("kind", "path"), [("zip", "/jobs/code/run/web"), ("stored", "/jobs/code/c_1/run/web")])
async def test_run_raises_the_parents_mapped_exception(
    recorder: RecordingServer, zip_model: CodeZip, status: int, exception_type: type, reason: str, kind: str, path: str
) -> None:
    recorder.script(status, body={"detail": "no such thing"})
    with pytest.raises(exception_type) as caught:
        await run_call(kind, zip_model)(AsyncClient(recorder.base_url, API_KEY))
    error = caught.value
    assert type(error) is exception_type
    assert str(error) == f"{status} {reason} for POST {recorder.base_url}{path}: no such thing"
    assert type(error.__context__) is httpx.HTTPStatusError
    assert error.__context__.response.status_code == status
    assert error.__cause__ is None
    assert error.__suppress_context__ is False


@pytest.mark.parametrize(
    ("body", "error_type", "message"),
    [
        (None, TypeError, "argument after ** must be a mapping, not NoneType"),
        (5, TypeError, "'int' object is not iterable"),
    ],
)
@pytest.mark.parametrize("kind", ["zip", "stored"])
async def test_run_needs_a_json_mapping(
    recorder: RecordingServer, zip_model: CodeZip, body: Any, error_type: type, message: str, kind: str
) -> None:
    recorder.script(200, body=b"null" if body is None else body, headers={"Content-Type": "application/json"})
    with pytest.raises(error_type) as caught:
        await run_call(kind, zip_model)(AsyncClient(recorder.base_url, API_KEY))
    assert str(caught.value) == message


@pytest.mark.parametrize("kind", ["zip", "stored"])
async def test_run_accepts_json_key_value_pairs(recorder: RecordingServer, zip_model: CodeZip, kind: str) -> None:
    recorder.script(200, body=[["job_id", "j_9"], ["job_type", "web"]])
    job = await run_call(kind, zip_model)(AsyncClient(recorder.base_url, API_KEY))
    assert job == Job(job_id="j_9", job_type=JobType.WEB)


async def test_run_passes_a_json_decoding_error_through(recorder: RecordingServer, zip_model: CodeZip) -> None:
    recorder.script(200, body=b"not json")
    with pytest.raises(ValueError) as caught:
        await AsyncWebClient(AsyncClient(recorder.base_url, API_KEY)).run(zip_model)
    assert not isinstance(caught.value, httpx.HTTPStatusError)
    assert type(caught.value).__name__ == "JSONDecodeError"


# --- delegations of AsyncWebClient ---------------------------------------------------------


async def test_upload_delegates_with_the_web_code_type(zip_model: CodeZip) -> None:
    metadata = {"title": "page"}
    parent = FakeParent(code__upload="c_42")
    assert await AsyncWebClient(parent).upload(zip_model, "site", metadata) == "c_42"
    assert parent.calls == [
        (
            "code.upload",
            (),
            [("code_zip", zip_model), ("code_name", "site"), ("code_type", CodeType.WEB), ("metadata", metadata)],
        )
    ]
    kwargs = dict(parent.calls[0][2])
    assert kwargs["code_zip"] is zip_model and kwargs["metadata"] is metadata and kwargs["code_type"] is CodeType.WEB


async def test_upload_passes_missing_metadata_as_none(zip_model: CodeZip) -> None:
    parent = FakeParent(code__upload="c_1")
    await AsyncWebClient(parent).upload(code_zip=zip_model, code_name="site")
    assert parent.calls[0][2] == [
        ("code_zip", zip_model),
        ("code_name", "site"),
        ("code_type", CodeType.WEB),
        ("metadata", None),
    ]


@pytest.mark.parametrize(
    ("given", "sent"),
    [(None, False), ("x", True), ("", False), (0, False), (2, True), ([0], True), (True, True), (False, False)],
)
async def test_ingest_reduces_build_pexenv_to_a_bool(zip_model: CodeZip, given: Any, sent: bool) -> None:
    job = Marker("ingest-job")
    parent = FakeParent(code__ingest=job)
    result = await AsyncWebClient(parent).ingest(zip_model, "site", {"a": 1}, given, "3.10")
    assert result is job
    [(name, args, kwargs)] = parent.calls
    assert (name, args) == ("code.ingest", ())
    assert kwargs == [
        ("code_zip", zip_model),
        ("code_name", "site"),
        ("code_type", CodeType.WEB),
        ("metadata", {"a": 1}),
        ("build_pexenv", sent),
        ("pexenv_python", "3.10"),
    ]
    assert dict(kwargs)["build_pexenv"] is sent


async def test_ingest_defaults(zip_model: CodeZip) -> None:
    parent = FakeParent(code__ingest=None)
    assert await AsyncWebClient(parent).ingest(zip_model, "site") is None
    assert parent.calls[0][2] == [
        ("code_zip", zip_model),
        ("code_name", "site"),
        ("code_type", CodeType.WEB),
        ("metadata", None),
        ("build_pexenv", False),
        ("pexenv_python", None),
    ]


@pytest.mark.parametrize("answer", [True, False, Marker("unchecked")])
async def test_is_healthy_delegates_and_returns_unchecked(answer: Any) -> None:
    parent = FakeParent(jobs__is_healthy=answer)
    assert await AsyncWebClient(parent).is_healthy("j_1") is answer
    assert parent.calls == [("jobs.is_healthy", (), [("job_id", "j_1")])]


@pytest.mark.parametrize(
    ("args", "kwargs", "sent"),
    [
        (("j_1", 5), {}, 5.0),
        (("j_1",), {}, None),
        (("j_1",), {"timeout": 2.5}, 2.5),
        (("j_1",), {"timeout": None}, None),
        (("j_1", True), {}, 1.0),
    ],
)
async def test_await_healthy_passes_a_float_timeout(args: tuple[Any, ...], kwargs: dict[str, Any], sent: Any) -> None:
    job = Marker("healthy-job")
    parent = FakeParent(jobs__await_healthy=job)
    assert await AsyncWebClient(parent).await_healthy(*args, **kwargs) is job
    assert parent.calls == [("jobs.await_healthy", (), [("job_id", "j_1"), ("timeout", sent)])]
    assert type(parent.calls[0][2][1][1]) is type(sent)


@pytest.mark.parametrize("answer", ["http://j_1.example:8000/", None])
def test_get_url_returns_the_parents_subdomain_url(answer: Any) -> None:
    parent = FakeParent(get_subdomain_proxy_url=answer)
    assert AsyncWebClient(parent).get_url("j_1") is answer
    assert parent.calls == [("get_subdomain_proxy_url", ("j_1",), [])]


def test_get_url_makes_no_request(recorder: RecordingServer) -> None:
    parent = AsyncClient(recorder.base_url, API_KEY)
    url = AsyncWebClient(parent).get_url("j_7")
    assert url == parent.get_subdomain_proxy_url("j_7")
    assert httpx.URL(url).port == httpx.URL(recorder.base_url).port
    assert recorder.requests == []


# --- AsyncWebJobsClient ---------------------------------------------------------------------

SHORTCUTS = [
    ("list_queued", "job_status", JobStatus.QUEUED, "Get all queued Web jobs.", "List[Job]: List of queued Web jobs."),
    (
        "list_scheduled",
        "job_status",
        JobStatus.SCHEDULED,
        "Get all scheduled Web jobs.",
        "List[Job]: List of scheduled Web jobs.",
    ),
    (
        "list_started",
        "job_status",
        JobStatus.STARTED,
        "Get all started Web jobs.",
        "list[Job]: List of started Web jobs.",
    ),
    (
        "list_deferred",
        "job_status",
        JobStatus.DEFERRED,
        "Get all deferred Web jobs.",
        "List[Job]: List of deferred Web jobs.",
    ),
    (
        "list_canceled",
        "job_status",
        JobStatus.CANCELED,
        "Get all canceled Web jobs.",
        "List[Job]: List of canceled Web jobs.",
    ),
    (
        "list_stopped",
        "job_status",
        JobStatus.STOPPED,
        "Get all stopped Web jobs.",
        "List[Job]: List of stopped Web jobs.",
    ),
    ("list_failed", "job_status", JobStatus.FAILED, "Get all failed Web jobs.", "list[Job]: List of failed Web jobs."),
    (
        "list_finished",
        "job_status",
        JobStatus.FINISHED,
        "Get all finished Web jobs.",
        "list[Job]: List of finished Web jobs.",
    ),
    (
        "list_timed_out",
        "job_status",
        JobStatus.TIMEOUT,
        "Get all timed out Web jobs.",
        "List[Job]: List of timed out Web jobs.",
    ),
    (
        "list_pre_running",
        "job_stage",
        JobStage.PRE_RUNNING,
        "Get all pre-running Web jobs.",
        "List[Job]: List of pre-running Web jobs.",
    ),
    (
        "list_running",
        "job_stage",
        JobStage.RUNNING,
        "Get all running Web jobs.",
        "List[Job]: List of running Web jobs.",
    ),
    (
        "list_post_running",
        "job_stage",
        JobStage.POST_RUNNING,
        "Get all post-running Web jobs.",
        "List[Job]: List of post-running Web jobs.",
    ),
]
SHORTCUT_NAMES = [row[0] for row in SHORTCUTS]


async def test_list_pins_the_web_job_type() -> None:
    listing = [Marker("job")]
    parent = FakeParent(jobs__list=listing)
    assert await AsyncWebJobsClient(parent).list() is listing
    assert parent.calls == [("jobs.list", (), [("job_type", JobType.WEB), ("job_status", None), ("job_stage", None)])]
    assert parent.calls[0][2][0][1] is JobType.WEB


async def test_list_passes_both_filters_unchanged() -> None:
    status, stage = Marker("status"), Marker("stage")
    parent = FakeParent(jobs__list=[])
    assert await AsyncWebJobsClient(parent).list(status, job_stage=stage) == []
    [(_, _, kwargs)] = parent.calls
    assert kwargs == [("job_type", JobType.WEB), ("job_status", status), ("job_stage", stage)]


@pytest.mark.parametrize(("name", "keyword", "member", "summary", "returns"), SHORTCUTS, ids=SHORTCUT_NAMES)
async def test_shortcut_asks_for_exactly_one_filter(
    name: str, keyword: str, member: Any, summary: str, returns: str
) -> None:
    listing = [Marker("job")]
    parent = FakeParent(jobs__list=listing)
    assert await getattr(AsyncWebJobsClient(parent), name)() is listing
    expected = {"job_status": None, "job_stage": None, keyword: member}
    assert parent.calls == [
        (
            "jobs.list",
            (),
            [("job_type", JobType.WEB), ("job_status", expected["job_status"]), ("job_stage", expected["job_stage"])],
        )
    ]
    assert dict(parent.calls[0][2])[keyword] is member


@pytest.mark.parametrize(
    ("listing", "expected_index"), [([], None), (None, None), (["first", "second"], 0), (["only"], 0)]
)
async def test_get_latest_returns_the_first_listed_job(listing: Any, expected_index: int | None) -> None:
    jobs = None if listing is None else [Marker(name) for name in listing]
    parent = FakeParent(jobs__list=jobs)
    latest = await AsyncWebJobsClient(parent).get_latest()
    assert latest is (None if expected_index is None else jobs[expected_index])
    assert parent.calls == [("jobs.list", (), [("job_type", JobType.WEB), ("job_status", None), ("job_stage", None)])]


class RecordingJobsClient(AsyncWebJobsClient):
    """Overrides `list`; the other methods must go through it."""

    def __init__(self, client: Any, answer: Any) -> None:
        super().__init__(client)
        self.answer = answer
        self.seen: list[tuple[tuple[Any, ...], list[tuple[str, Any]]]] = []

    async def list(self, *args: Any, **kwargs: Any) -> Any:  # type: ignore[override]
        self.seen.append((args, list(kwargs.items())))
        return self.answer


@pytest.mark.parametrize(("name", "keyword", "member", "summary", "returns"), SHORTCUTS, ids=SHORTCUT_NAMES)
async def test_shortcut_goes_through_an_overriding_list(
    name: str, keyword: str, member: Any, summary: str, returns: str
) -> None:
    parent = FakeParent()
    client = RecordingJobsClient(parent, ["sub"])
    assert await getattr(client, name)() == ["sub"]
    assert client.seen == [((), [(keyword, member)])]
    assert parent.calls == []


async def test_get_latest_goes_through_an_overriding_list() -> None:
    parent = FakeParent()
    client = RecordingJobsClient(parent, ("a", "b"))  # unchecked in get_latest
    assert await client.get_latest() == "a"
    assert client.seen == [((), [])]
    assert parent.calls == []


async def test_an_instance_level_list_is_used_too() -> None:
    seen: list[dict[str, Any]] = []

    async def replacement(**kwargs: Any) -> list[str]:
        seen.append(kwargs)
        return ["own"]

    client = AsyncWebJobsClient(FakeParent())
    client.list = replacement  # type: ignore[method-assign]
    assert await client.list_failed() == ["own"]
    assert await client.get_latest() == "own"
    assert seen == [{"job_status": JobStatus.FAILED}, {}]


@pytest.mark.parametrize("name", SHORTCUT_NAMES)
async def test_shortcut_checks_an_overriding_lists_result(name: str) -> None:
    client = RecordingJobsClient(FakeParent(), ("a",))
    with pytest.raises(TypeError) as caught:
        await getattr(client, name)()
    assert str(caught.value) == "Expected list, got tuple"


@pytest.mark.parametrize("name", ["list", "get_latest", *SHORTCUT_NAMES])
async def test_a_tuple_listing_is_refused(name: str) -> None:
    parent = FakeParent(jobs__list=("a", "b"))
    with pytest.raises(TypeError) as caught:
        await getattr(AsyncWebJobsClient(parent), name)()
    assert str(caught.value) == "Expected list, got tuple"
    assert len(parent.calls) == 1


@pytest.mark.parametrize("name", ["list", *SHORTCUT_NAMES])
async def test_a_none_listing_is_passed_on(name: str) -> None:
    assert await getattr(AsyncWebJobsClient(FakeParent(jobs__list=None)), name)() is None


# --- AsyncStoredWebClient delegations -----------------------------------------------------------


@pytest.mark.parametrize("listing", [[], [CodeInfo(code_id="c_1", code_type=CodeType.WEB)], None])
async def test_list_info_asks_for_web_code_only(listing: Any) -> None:
    parent = FakeParent(code__list_info=listing)
    assert await AsyncStoredWebClient(parent).list_info() is listing
    assert parent.calls == [("code.list_info", (), [("code_type", CodeType.WEB)])]
    assert parent.calls[0][2][0][1] is CodeType.WEB


@pytest.mark.parametrize(("code_type", "shown"), [(CodeType.PYTHON, "python"), (None, "None"), ("other", "other")])
async def test_delete_refuses_code_that_is_not_web(code_type: Any, shown: str) -> None:
    info = CodeInfo.model_construct(code_id="c_1", code_type=code_type)
    parent = FakeParent(code__get_info=info, code__delete="deleted")
    with pytest.raises(ValueError) as caught:
        await AsyncStoredWebClient(parent).delete("c_1")
    assert str(caught.value) == (f"Code 'c_1' is {shown}, not Web code. Cannot delete non-Web code from Web client.")
    assert parent.calls == [("code.get_info", ("c_1",), [])]


@pytest.mark.parametrize("message", ["", "Code with id=c_1 deleted", None])
async def test_delete_of_web_code_returns_the_message_unchanged(message: Any) -> None:
    parent = FakeParent(code__get_info=CodeInfo(code_id="c/1", code_type=CodeType.WEB), code__delete=message)
    assert await AsyncStoredWebClient(parent).delete("c/1") is message
    assert parent.calls == [("code.get_info", ("c/1",), []), ("code.delete", ("c/1",), [])]


async def test_delete_passes_a_lookup_error_through() -> None:
    class Missing(Exception):
        pass

    class FailingCode(FakeCode):
        async def get_info(self, *args: Any, **kwargs: Any) -> Any:
            self.calls.record("code.get_info", args, kwargs)
            raise Missing("no c_1")

    parent = FakeParent()
    parent.code = FailingCode(parent.calls, parent.results)
    with pytest.raises(Missing):
        await AsyncStoredWebClient(parent).delete("c_1")
    assert parent.calls == [("code.get_info", ("c_1",), [])]


# --- result checks ----------------------------------------------------------------------------


class LongNamed:
    pass


LongNamed.__name__ = "L" * 250


@pytest.mark.parametrize(
    ("answer", "type_name"),
    # CPython's messages cut a type's name to 200 characters, PyPy's do not.
    [(5, "int"), (b"c_1", "bytes"), (LongNamed(), "L" * (200 if sys.implementation.name == "cpython" else 250))],
    ids=["int", "bytes", "long-name"],
)
@pytest.mark.parametrize("operation", ["upload", "get_url", "delete"])
async def test_str_results_are_checked(zip_model: CodeZip, answer: Any, type_name: str, operation: str) -> None:
    parent = FakeParent(
        code__upload=answer,
        get_subdomain_proxy_url=answer,
        code__get_info=CodeInfo(code_id="c_1", code_type=CodeType.WEB),
        code__delete=answer,
    )
    with pytest.raises(TypeError) as caught:
        if operation == "upload":
            await AsyncWebClient(parent).upload(zip_model, "site")
        elif operation == "get_url":
            AsyncWebClient(parent).get_url("j_1")
        else:
            await AsyncStoredWebClient(parent).delete("c_1")
    assert str(caught.value) == f"Expected str, got {type_name}"


class StrSubclass(str):
    pass


@pytest.mark.parametrize("answer", [StrSubclass("c_1"), ["c_1"]], ids=["str-subclass", "list"])
async def test_upload_refuses_anything_but_an_exact_str(zip_model: CodeZip, answer: Any) -> None:
    with pytest.raises(TypeError) as caught:
        await AsyncWebClient(FakeParent(code__upload=answer)).upload(zip_model, "site")
    assert str(caught.value) == f"Expected str, got {type(answer).__name__}"


# PyPy's iterator over a list is a "sequenceiterator".
LIST_ITERATOR = "list_iterator" if sys.implementation.name == "cpython" else "sequenceiterator"


@pytest.mark.parametrize(("answer", "type_name"), [(("a",), "tuple"), ({}, "dict"), (iter([]), LIST_ITERATOR)])
async def test_list_info_result_is_checked(answer: Any, type_name: str) -> None:
    with pytest.raises(TypeError) as caught:
        await AsyncStoredWebClient(FakeParent(code__list_info=answer)).list_info()
    assert str(caught.value) == f"Expected list, got {type_name}"


# --- argument binding -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda w, z: w.get_url(5), "Argument 'job_id' has incorrect type (expected str, got int)"),
        (lambda w, z: w.get_url(None), "Argument 'job_id' has incorrect type (expected str, got NoneType)"),
        (
            lambda w, z: w.get_url(StrSubclass("j")),
            "Argument 'job_id' has incorrect type (expected str, got StrSubclass)",
        ),
        (lambda w, z: w.is_healthy(5), "Argument 'job_id' has incorrect type (expected str, got int)"),
        (lambda w, z: w.await_healthy(None), "Argument 'job_id' has incorrect type (expected str, got NoneType)"),
        (lambda w, z: w.await_healthy("j", "5"), "Argument 'timeout' has incorrect type (expected float, got str)"),
        (lambda w, z: w.upload(z, b"site"), "Argument 'code_name' has incorrect type (expected str, got bytes)"),
        (lambda w, z: w.ingest(z, None), "Argument 'code_name' has incorrect type (expected str, got NoneType)"),
        (
            lambda w, z: w.ingest(z, "s", None, False, 3),
            "Argument 'pexenv_python' has incorrect type (expected str, got int)",
        ),
        (lambda w, z: w.stored.run(5), "Argument 'code_id' has incorrect type (expected str, got int)"),
        (lambda w, z: w.stored.delete(None), "Argument 'code_id' has incorrect type (expected str, got NoneType)"),
        (lambda w, z: w.jobs.list_queued(1), "list_queued() takes exactly 1 positional argument (2 given)"),
        (lambda w, z: w.jobs.list(1, 2, 3), "list() takes at most 3 positional arguments (4 given)"),
        (lambda w, z: w.run(), "run() takes exactly 2 positional arguments (1 given)"),
        (lambda w, z: w.stored.list_info(code_type=None), "list_info() got an unexpected keyword argument 'code_type'"),
    ],
)
def test_bad_arguments_fail_at_the_call(zip_model: CodeZip, call: Any, message: str) -> None:
    parent = FakeParent()
    with pytest.raises(TypeError) as caught:
        call(AsyncWebClient(parent), zip_model)
    assert str(caught.value) == message
    assert parent.calls == []


def test_optional_pexenv_python_accepts_none(zip_model: CodeZip) -> None:
    coroutine = AsyncWebClient(FakeParent()).ingest(zip_model, "s", None, False, None)
    assert asyncio.iscoroutine(coroutine)
    coroutine.close()


# --- construction -------------------------------------------------------------------------------


def test_web_client_builds_its_companions_on_the_same_parent() -> None:
    parent = FakeParent()
    web = AsyncWebClient(parent)
    assert list(vars(web)) == ["_client", "stored", "jobs"]
    assert web._client is parent
    assert type(web.stored) is AsyncStoredWebClient
    assert type(web.jobs) is AsyncWebJobsClient
    assert web.stored is not web.jobs
    assert web.stored._client is parent and web.jobs._client is parent
    assert vars(web.stored) == {"_client": parent} and vars(web.jobs) == {"_client": parent}


@pytest.mark.parametrize("cls", [AsyncStoredWebClient, AsyncWebJobsClient])
def test_companions_store_only_the_parent(cls: type) -> None:
    parent = object()
    assert vars(cls(parent)) == {"_client": parent}


def test_two_web_clients_share_nothing_but_the_parent() -> None:
    parent = FakeParent()
    first, second = AsyncWebClient(parent), AsyncWebClient(parent)
    assert first.stored is not second.stored and first.jobs is not second.jobs


async def test_enumerations_are_looked_up_at_each_call(monkeypatch: pytest.MonkeyPatch, zip_model: CodeZip) -> None:
    class PatchedCodeType:
        WEB = "patched-web"

    class PatchedJobType:
        WEB = "patched-job-web"

    parent = FakeParent(code__upload="c_1", jobs__list=[])
    web = AsyncWebClient(parent)
    monkeypatch.setattr(_web, "CodeType", PatchedCodeType)
    monkeypatch.setattr(_web, "JobType", PatchedJobType)
    await web.upload(zip_model, "site")
    await web.jobs.list()
    assert dict(parent.calls[0][2])["code_type"] == "patched-web"
    assert dict(parent.calls[1][2])["job_type"] == "patched-job-web"


# --- introspection ------------------------------------------------------------------------------

FIRST_LINES = [
    (AsyncStoredWebClient, "__init__", "AsyncStoredWebClient.__init__(self, client: AsyncClient)"),
    (AsyncStoredWebClient, "run", "AsyncStoredWebClient.run(self, str code_id: str) -> Job"),
    (AsyncStoredWebClient, "list_info", "AsyncStoredWebClient.list_info(self) -> list[CodeInfo]"),
    (AsyncStoredWebClient, "delete", "AsyncStoredWebClient.delete(self, str code_id: str) -> str"),
    (AsyncWebJobsClient, "__init__", "AsyncWebJobsClient.__init__(self, client)"),
    (
        AsyncWebJobsClient,
        "list",
        "AsyncWebJobsClient.list(self, job_status: JobStatus | None = None, job_stage: JobStage | None = None) -> List[Job]",
    ),
    (AsyncWebJobsClient, "get_latest", "AsyncWebJobsClient.get_latest(self) -> Job | None"),
    (AsyncWebClient, "__init__", "AsyncWebClient.__init__(self, client: AsyncClient)"),
    (AsyncWebClient, "run", "AsyncWebClient.run(self, code_zip: CodeZip) -> Job"),
    (AsyncWebClient, "get_url", "AsyncWebClient.get_url(self, str job_id: str) -> str"),
    (
        AsyncWebClient,
        "upload",
        "AsyncWebClient.upload(self, code_zip: CodeZip, str code_name: str, metadata: JsonData | dict | None = None) -> str",
    ),
    (AsyncWebClient, "is_healthy", "AsyncWebClient.is_healthy(self, str job_id: str) -> bool"),
    (
        AsyncWebClient,
        "await_healthy",
        "AsyncWebClient.await_healthy(self, str job_id: str, float timeout: float | None = None) -> Job",
    ),
    (
        AsyncWebClient,
        "ingest",
        "AsyncWebClient.ingest(self, code_zip: CodeZip, str code_name: str, metadata: JsonData | dict | None = None, "
        "bool build_pexenv: bool = False, str pexenv_python: str | None = None) -> Job",
    ),
]


@pytest.mark.parametrize(("cls", "name", "line"), FIRST_LINES, ids=[f"{c.__name__}.{n}" for c, n, _ in FIRST_LINES])
def test_docstring_starts_with_the_signature_line(cls: type, name: str, line: str) -> None:
    doc = getattr(cls, name).__doc__
    assert doc.split("\n", 1)[0] == line
    if name == "__init__":
        assert doc == line


@pytest.mark.parametrize(("name", "keyword", "member", "summary", "returns"), SHORTCUTS, ids=SHORTCUT_NAMES)
def test_shortcut_docstring(name: str, keyword: str, member: Any, summary: str, returns: str) -> None:
    assert getattr(AsyncWebJobsClient, name).__doc__ == (
        f"AsyncWebJobsClient.{name}(self) -> List[Job]\n\n{summary}\n\nReturns:\n    {returns}"
    )


def test_list_started_docstring() -> None:
    assert AsyncWebJobsClient.list_started.__doc__ == (
        "AsyncWebJobsClient.list_started(self) -> List[Job]\n"
        "\n"
        "Get all started Web jobs.\n"
        "\n"
        "Returns:\n"
        "    list[Job]: List of started Web jobs."
    )


@pytest.mark.parametrize(
    ("method", "doc"),
    [
        (
            AsyncStoredWebClient.delete,
            "AsyncStoredWebClient.delete(self, str code_id: str) -> str\n\nDelete stored Web code.\n\n"
            "Args:\n    code_id (str): The code ID to delete.\n\n"
            "Returns:\n    str: Deletion confirmation message.\n\n"
            "Raises:\n    ValueError: If the code_id is not Web code.",
        ),
        (
            AsyncWebJobsClient.get_latest,
            "AsyncWebJobsClient.get_latest(self) -> Job | None\n\nGet the most recent Web job.\n\n"
            "Returns:\n    Job | None: The most recent Web job, or None if no jobs exist.",
        ),
        (
            AsyncWebClient.await_healthy,
            "AsyncWebClient.await_healthy(self, str job_id: str, float timeout: float | None = None) -> Job\n\n"
            "Waits for a Web page to become healthy.\n\n"
            "Args:\n    job_id (str): The ID of the Web page run job.\n"
            "    timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely.\n\n"
            "Returns:\n    Job: The job object of the Web page run job.\n\n"
            "Raises:\n    HTTPException: If the request fails.\n"
            "    APIException: If the job enters stage POST_RUNNING unexpectedly.\n"
            "    TimeoutError: If the timeout is exceeded.",
        ),
        (
            AsyncWebClient.get_url,
            "AsyncWebClient.get_url(self, str job_id: str) -> str\n\nGets the URL for a Web page.\n\n"
            "Args:\n    job_id (str): The job ID.\n\nReturns:\n    str: The Web page URL.",
        ),
    ],
    ids=["delete", "get_latest", "await_healthy", "get_url"],
)
def test_full_docstrings(method: Any, doc: str) -> None:
    assert method.__doc__ == doc


MEMBER_LINES = [
    (AsyncStoredWebClient, [("__init__", 23), ("run", 26), ("list_info", 54), ("delete", 62)]),
    (
        AsyncWebJobsClient,
        [("__init__", 86), ("list", 89), ("get_latest", 109)]
        + [(name, 118 + 8 * index) for index, name in enumerate(SHORTCUT_NAMES)],
    ),
    (
        AsyncWebClient,
        [
            ("__init__", 216),
            ("run", 221),
            ("get_url", 252),
            ("upload", 263),
            ("is_healthy", 286),
            ("await_healthy", 300),
            ("ingest", 317),
        ],
    ),
]
MEMBERS = [(cls, name, line) for cls, members in MEMBER_LINES for name, line in members]
MEMBER_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in MEMBERS]


@pytest.mark.native_only
@pytest.mark.parametrize(("cls", "name", "line"), MEMBERS, ids=MEMBER_IDS)
def test_definition_lines(cls: type, name: str, line: str) -> None:
    code = getattr(cls, name).__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, "vexa/client/_async/_web", line)


@pytest.mark.parametrize(("cls", "name", "line"), MEMBERS, ids=MEMBER_IDS)
def test_coroutine_kind(cls: type, name: str, line: int) -> None:
    plain = name in ("__init__", "get_url")
    assert asyncio.iscoroutinefunction(getattr(cls, name)) is (not plain)


@pytest.mark.parametrize("cls", [AsyncStoredWebClient, AsyncWebJobsClient, AsyncWebClient])
def test_class_members_in_definition_order(cls: type) -> None:
    expected = [name for c, members in MEMBER_LINES if c is cls for name, _ in members]
    assert [name for name in vars(cls) if not name.startswith("__") or name == "__init__"] == expected
    assert cls.__module__ == "vexa.client._async._web" and cls.__doc__ is None and cls.__bases__ == (object,)
