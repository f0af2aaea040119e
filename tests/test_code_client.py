"""`CodeClient` operations against the recording server: exactly what goes on
the wire, what comes back, and what the client asks of its parent."""

from __future__ import annotations

import json
import socket
from email import policy
from email.parser import BytesParser
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest
from recording_server import RecordedRequest, RecordingServer

from vexa.client._sync import Client
from vexa.client._sync._code import CodeClient
from vexa.types import (
    CodeInfo,
    CodeType,
    CodeZip,
    HTTPException,
    Job,
    JsonData,
    NotFoundError,
    ServerError,
    UnauthorizedError,
)

API_KEY = "test-key"
ZIP_BYTES = b"PK\x03\x04" + bytes(range(256)) * 4
ZIP = CodeZip(zip_bytes=ZIP_BYTES)


@pytest.fixture
def parent(recorder: RecordingServer) -> Client:
    return Client(recorder.base_url, api_key=API_KEY)


@pytest.fixture
def code(parent: Client) -> CodeClient:
    return parent.code


def multipart(request: RecordedRequest) -> list[tuple[str, str | None, bytes]]:
    """(field name, file name, content) of each part, in order."""
    message = BytesParser(policy=policy.HTTP).parsebytes(
        b"Content-Type: " + request.header("Content-Type").encode() + b"\r\n\r\n" + request.body
    )
    return [
        (part.get_param("name", header="content-disposition"), part.get_filename(), part.get_payload(decode=True))
        for part in message.iter_parts()
    ]


def as_json(value: Any) -> bytes:
    # The recorder sends a str body raw; JSON strings must be encoded first.
    return json.dumps(value).encode()


def closed_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


# --- requests on the wire --------------------------------------------------------------

# (call, scripted body, method, request target)
REQUESTS: list[tuple[Callable[[CodeClient], Any], Any, str, str]] = [
    (lambda c: c.get_info("c_1"), {"code_id": "c_1"}, "GET", "/code/c_1/info"),
    (lambda c: c.get_info("a/b"), {"code_id": "a/b"}, "GET", "/code/a/b/info"),
    (lambda c: c.get_info("a?b"), {"code_id": "a?b"}, "GET", "/code/a?b/info"),
    (lambda c: c.get_info("a b%20"), {"code_id": "a b"}, "GET", "/code/a%20b%20/info"),
    (lambda c: c.get_metadata("c_1"), {}, "GET", "/code/c_1/metadata"),
    (lambda c: c.get_metadata("a/b"), {}, "GET", "/code/a/b/metadata"),
    (lambda c: c.delete("c_1"), {}, "DELETE", "/code/c_1"),
    (lambda c: c.delete("a/b"), {}, "DELETE", "/code/a/b"),
    (lambda c: c.list_info(), [], "GET", "/code/info"),
    (lambda c: c.list_info(None), [], "GET", "/code/info"),
    (lambda c: c.list_info(""), [], "GET", "/code/info"),
    (lambda c: c.list_info(0), [], "GET", "/code/info"),
    (lambda c: c.list_info(code_type=CodeType.WEB), [], "GET", "/code/info?code_type=web"),
    (lambda c: c.list_info(CodeType.PYTHON), [], "GET", "/code/info?code_type=python"),
    (lambda c: c.upload(ZIP, "n", CodeType.WEB), as_json("c_1"), "POST", "/code/upload"),
    (lambda c: c.ingest(ZIP, "n", CodeType.WEB), {"job_id": "j_1"}, "POST", "/jobs/code/ingest"),
    (lambda c: c.download("c_1"), b"zip", "GET", "/code/c_1/download"),
    (lambda c: c.download("a/b"), b"zip", "GET", "/code/a/b/download"),
]
REQUEST_IDS = [
    "get_info",
    "get_info-slash",
    "get_info-question",
    "get_info-space",
    "get_metadata",
    "get_metadata-slash",
    "delete",
    "delete-slash",
    "list_info",
    "list_info-None",
    "list_info-empty",
    "list_info-zero",
    "list_info-web",
    "list_info-python",
    "upload",
    "ingest",
    "download",
    "download-slash",
]


@pytest.mark.parametrize(("call", "body", "method", "target"), REQUESTS, ids=REQUEST_IDS)
def test_request_method_target_and_api_key(
    code: CodeClient, recorder: RecordingServer, call: Callable, body: Any, method: str, target: str
) -> None:
    recorder.script(200, body=body)
    call(code)
    [request] = recorder.requests
    assert (request.method, request.target) == (method, target)
    assert request.header_values("X-API-Key") == [API_KEY]


@pytest.mark.parametrize(
    ("suffix", "target"), [("/", "//code/c_1/info"), ("/api", "/api/code/c_1/info"), ("/api/", "/api//code/c_1/info")]
)
def test_base_url_is_joined_without_normalising(
    parent: Client, recorder: RecordingServer, suffix: str, target: str
) -> None:
    parent.base_url = recorder.base_url + suffix
    recorder.script(200, body={"code_id": "c_1"})
    parent.code.get_info("c_1")
    assert [request.target for request in recorder.requests] == [target]


class TextForm:
    def __init__(self, text: str) -> None:
        self.text = text

    def __str__(self) -> str:
        return self.text


def test_non_str_base_url_is_formatted(parent: Client, recorder: RecordingServer) -> None:
    parent.base_url = TextForm(recorder.base_url + "/formatted")
    recorder.script(200, body=[])
    parent.code.list_info()
    assert [request.target for request in recorder.requests] == ["/formatted/code/info"]


def test_parent_changes_are_seen_by_the_next_call(parent: Client, recorder: RecordingServer) -> None:
    with RecordingServer() as other:
        recorder.script(200, body={"code_id": "c_1"})
        other.script(200, body={"code_id": "c_1"})
        parent.code.get_info("c_1")
        parent.base_url = other.base_url
        parent.api_key = "other-key"
        parent.code.get_info("c_1")
        assert [(r.target, r.header("X-API-Key")) for r in recorder.requests] == [("/code/c_1/info", API_KEY)]
        assert [(r.target, r.header("X-API-Key")) for r in other.requests] == [("/code/c_1/info", "other-key")]


def test_no_api_key_sends_no_key_header(recorder: RecordingServer) -> None:
    recorder.script(200, body={})
    Client(recorder.base_url).code.delete("c_1")
    assert recorder.requests[0].header_values("X-API-Key") == []


# --- multipart bodies ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "parts"),
    [
        (
            lambda c: c.upload(ZIP, "my code", CodeType.WEB),
            [("code_name", None, b"my code"), ("code_type", None, b"web"), ("code_zip", "code.zip", ZIP_BYTES)],
        ),
        (
            lambda c: c.upload(ZIP, "n", CodeType.PYTHON, {"a": 1}),
            [
                ("code_name", None, b"n"),
                ("code_type", None, b"python"),
                ("code_zip", "code.zip", ZIP_BYTES),
                ("metadata", "metadata.json", b'{"a":1}'),
            ],
        ),
        (
            lambda c: c.ingest(ZIP, "n", CodeType.PYTHON),
            [
                ("code_name", None, b"n"),
                ("code_type", None, b"python"),
                ("build_pexenv", None, b"false"),
                ("pexenv_python", None, b""),
                ("code_zip", "code.zip", ZIP_BYTES),
            ],
        ),
        (
            lambda c: c.ingest(
                code_zip=ZIP,
                code_name="n",
                code_type=CodeType.WEB,
                metadata=JsonData([1]),
                build_pexenv=1,
                pexenv_python="3.10",
            ),
            [
                ("code_name", None, b"n"),
                ("code_type", None, b"web"),
                ("build_pexenv", None, b"true"),
                ("pexenv_python", None, b"3.10"),
                ("code_zip", "code.zip", ZIP_BYTES),
                ("metadata", "metadata.json", b"[1]"),
            ],
        ),
        (
            lambda c: c.ingest(ZIP, "n", CodeType.WEB, None, ""),
            [
                ("code_name", None, b"n"),
                ("code_type", None, b"web"),
                ("build_pexenv", None, b"false"),
                ("pexenv_python", None, b""),
                ("code_zip", "code.zip", ZIP_BYTES),
            ],
        ),
    ],
    ids=["upload", "upload-metadata", "ingest-defaults", "ingest-all", "ingest-empty-text-flag"],
)
def test_multipart_fields_then_file_parts(
    code: CodeClient, recorder: RecordingServer, call: Callable, parts: list
) -> None:
    recorder.set_default(200, body={"job_id": "j_1"})
    call(code)
    [request] = recorder.requests
    assert request.header("Content-Type").startswith("multipart/form-data; boundary=")
    assert multipart(request) == parts


# --- results ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("body", "code_id"),
    [
        ("c_1", "c_1"),
        ("  c_2\n", "c_2"),
        ("\t\r\nc_3 \n", "c_3"),
        (42, "42"),
        (1.5, "1.5"),
        (None, "None"),
        (True, "True"),
        ({"id": 1}, "{'id': 1}"),
    ],
    ids=["plain", "blanks", "line-breaks", "int", "float", "null", "bool", "object"],
)
def test_upload_returns_stripped_text_of_the_body(
    code: CodeClient, recorder: RecordingServer, body: Any, code_id: str
) -> None:
    recorder.script(200, body=as_json(body))
    result = code.upload(ZIP, "n", CodeType.WEB)
    assert (type(result), result) == (str, code_id)


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        ([], []),
        ([{"code_id": "a", "code_type": "web"}], [CodeInfo(code_id="a", code_type=CodeType.WEB)]),
        (
            [{"code_id": "b", "size": 3}, [["code_id", "c"]]],
            [CodeInfo(code_id="b", size=3), CodeInfo(code_id="c")],
        ),
    ],
    ids=["empty", "one", "pairs"],
)
def test_list_info_builds_a_list_in_order(
    code: CodeClient, recorder: RecordingServer, body: Any, expected: list
) -> None:
    recorder.script(200, body=body)
    result = code.list_info()
    assert type(result) is list
    assert result == expected


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        (
            {"code_id": "a", "code_name": "n", "code_type": "python"},
            CodeInfo(code_id="a", code_name="n", code_type=CodeType.PYTHON),
        ),
        ([["code_id", "p"]], CodeInfo(code_id="p")),
    ],
    ids=["object", "pairs"],
)
def test_get_info_builds_a_code_info(
    code: CodeClient, recorder: RecordingServer, body: Any, expected: CodeInfo
) -> None:
    recorder.script(200, body=body)
    assert code.get_info("a") == expected


@pytest.mark.parametrize("value", [{"k": [1, 2]}, [1, "two"], "text", 3, 2.5, None, False], ids=repr)
def test_get_metadata_wraps_any_json_value(code: CodeClient, recorder: RecordingServer, value: Any) -> None:
    recorder.script(200, body=as_json(value))
    result = code.get_metadata("c_1")
    assert type(result) is JsonData
    assert result.root == value


@pytest.mark.parametrize(("status", "body"), [(200, {"detail": "deleted"}), (200, b"not json"), (204, b""), (202, [1])])
@pytest.mark.parametrize("code_id", ["c_1", "a/b"])
def test_delete_returns_the_confirmation_whatever_the_body(
    code: CodeClient, recorder: RecordingServer, status: int, body: Any, code_id: str
) -> None:
    recorder.script(status, body=body)
    assert code.delete(code_id) == f"Code with id={code_id} deleted"


def test_ingest_returns_the_job(code: CodeClient, recorder: RecordingServer) -> None:
    recorder.script(200, body={"job_id": "j_1", "job_type": "ingest", "code_id": "c_9"})
    job = code.ingest(ZIP, "n", CodeType.PYTHON)
    assert (type(job), job.job_id, job.code_id) == (Job, "j_1", "c_9")


def json_error(text: bytes) -> str:
    """What the interpreter's json module says about `text` (PyPy's texts differ from CPython's)."""
    try:
        json.loads(text)
    except json.JSONDecodeError as error:
        return str(error)
    raise AssertionError(f"{text!r} decodes")


@pytest.mark.parametrize(
    ("call", "body", "error", "message"),
    [
        (lambda c: c.get_info("a"), None, TypeError, "argument after ** must be a mapping, not NoneType"),
        (
            lambda c: c.list_info(),
            [{"code_id": "a"}, None],
            TypeError,
            "argument after ** must be a mapping, not NoneType",
        ),
        (
            lambda c: c.ingest(ZIP, "n", CodeType.WEB),
            None,
            TypeError,
            "argument after ** must be a mapping, not NoneType",
        ),
        (
            lambda c: c.get_info("a"),
            as_json("text"),
            ValueError,
            "dictionary update sequence element #0 has length 1; 2 is required",
        ),
        (lambda c: c.get_info("a"), 5, TypeError, "'int' object is not iterable"),
        (
            lambda c: c.get_info("a"),
            b"{oops",
            json.JSONDecodeError,
            json_error(b"{oops"),
        ),
        (lambda c: c.get_metadata("a"), b"", json.JSONDecodeError, json_error(b"")),
    ],
    ids=[
        "get_info-null",
        "list_info-null-item",
        "ingest-null",
        "get_info-text",
        "get_info-number",
        "get_info-bad-json",
        "get_metadata-empty",
    ],
)
def test_body_decoding_failures_pass_through(
    code: CodeClient, recorder: RecordingServer, call: Callable, body: Any, error: type, message: str
) -> None:
    recorder.script(200, body=body)
    with pytest.raises(error) as info:
        call(code)
    assert type(info.value) is error
    assert str(info.value) == message


def test_model_construction_failure_passes_through(code: CodeClient, recorder: RecordingServer) -> None:
    recorder.script(200, body={"code_name": "no id"})
    with pytest.raises(Exception) as info:
        code.get_info("a")
    assert type(info.value).__name__ == "ValidationError"
    assert [error["loc"] for error in info.value.errors()] == [("code_id",)]


# --- error statuses -------------------------------------------------------------------------------

OPERATIONS: list[tuple[Callable[[CodeClient], Any], str, str]] = [
    (lambda c: c.get_info("x"), "GET", "/code/x/info"),
    (lambda c: c.list_info(CodeType.WEB), "GET", "/code/info?code_type=web"),
    (lambda c: c.get_metadata("x"), "GET", "/code/x/metadata"),
    (lambda c: c.delete("x"), "DELETE", "/code/x"),
    (lambda c: c.upload(ZIP, "n", CodeType.WEB), "POST", "/code/upload"),
    (lambda c: c.ingest(ZIP, "n", CodeType.WEB), "POST", "/jobs/code/ingest"),
    (lambda c: c.download("x"), "GET", "/code/x/download"),
]
OPERATION_IDS = ["get_info", "list_info", "get_metadata", "delete", "upload", "ingest", "download"]


@pytest.mark.parametrize(("call", "method", "target"), OPERATIONS, ids=OPERATION_IDS)
@pytest.mark.parametrize(
    ("status", "error"), [(404, NotFoundError), (401, UnauthorizedError), (503, ServerError), (418, HTTPException)]
)
def test_error_status_raises_the_parents_exception(
    code: CodeClient, recorder: RecordingServer, call: Callable, method: str, target: str, status: int, error: type
) -> None:
    recorder.script(status, body={"detail": "refused here"})
    with pytest.raises(HTTPException) as info:
        call(code)
    raised = info.value
    assert type(raised) is error
    assert (raised.status_code, raised.method, raised.url, raised.detail) == (
        status,
        method,
        recorder.base_url + target,
        "refused here",
    )
    assert type(raised.__context__) is httpx.HTTPStatusError
    assert raised.__context__.response.status_code == status
    assert raised.__cause__ is None and raised.__suppress_context__ is False
    assert len(recorder.requests) == 1


@pytest.mark.parametrize(("call", "method", "target"), OPERATIONS, ids=OPERATION_IDS)
@pytest.mark.parametrize("status", [301, 302, 307])
def test_redirect_is_not_followed_and_reported_as_an_error(
    code: CodeClient, recorder: RecordingServer, call: Callable, method: str, target: str, status: int
) -> None:
    recorder.script(status, body=b"", headers={"Location": "/elsewhere"})
    recorder.set_default(200, body={"code_id": "x", "job_id": "j"})
    with pytest.raises(HTTPException) as info:
        call(code)
    assert (type(info.value), info.value.status_code) == (HTTPException, status)
    assert [(r.method, r.target) for r in recorder.requests] == [(method, target)]


@pytest.mark.parametrize(("call", "method", "target"), OPERATIONS, ids=OPERATION_IDS)
def test_unreachable_service_raises_connect_error_unchanged(call: Callable, method: str, target: str) -> None:
    code = Client(f"http://127.0.0.1:{closed_port()}", api_key=API_KEY).code
    with pytest.raises(httpx.ConnectError) as info:
        call(code)
    assert type(info.value) is httpx.ConnectError
    assert info.value.request.method == method
    assert info.value.request.url.raw_path.decode() == target


@pytest.mark.parametrize(("call", "method", "target"), OPERATIONS, ids=OPERATION_IDS)
def test_dropped_connection_raises_the_transport_error_unchanged(
    code: CodeClient, recorder: RecordingServer, call: Callable, method: str, target: str
) -> None:
    recorder.script(200, drop=True)
    with pytest.raises(httpx.RemoteProtocolError) as info:
        call(code)
    assert str(info.value) == "Server disconnected without sending a response."


# --- download ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("as_path", [True, False], ids=["Path", "str"])
@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
def test_download_saves_the_body_and_returns_it(
    code: CodeClient, recorder: RecordingServer, tmp_path: Path, as_path: bool, chunked: bool
) -> None:
    if chunked:
        recorder.script(200, chunks=[ZIP_BYTES[:100], ZIP_BYTES[100:]])
    else:
        recorder.script(200, body=ZIP_BYTES)
    target = tmp_path / "code.zip"
    result = code.download("c_1", target if as_path else str(target))
    assert (type(result), result.zip_bytes) == (CodeZip, ZIP_BYTES)
    assert target.read_bytes() == ZIP_BYTES
    assert sorted(p.name for p in tmp_path.iterdir()) == ["code.zip"]


def test_download_without_path_writes_nothing(
    code: CodeClient, recorder: RecordingServer, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)
    recorder.script(200, body=ZIP_BYTES)
    assert code.download("c_1").zip_bytes == ZIP_BYTES
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (
            {"body": ZIP_BYTES, "close_after": 100},
            f"peer closed connection without sending complete message body (received 100 bytes, expected {len(ZIP_BYTES)})",
        ),
        (
            {"chunks": [ZIP_BYTES[:100], ZIP_BYTES[100:]], "close_after": 150},
            "peer closed connection without sending complete message body (incomplete chunked read)",
        ),
    ],
    ids=["length", "chunked"],
)
@pytest.mark.parametrize("existing", [None, b"old archive"], ids=["new", "existing"])
def test_truncated_download_leaves_no_partial_file(
    code: CodeClient, recorder: RecordingServer, tmp_path: Path, options: dict, message: str, existing: bytes | None
) -> None:
    target = tmp_path / "code.zip"
    if existing is not None:
        target.write_bytes(existing)
    recorder.script(200, **options)
    with pytest.raises(httpx.RemoteProtocolError) as info:
        code.download("c_1", target)
    assert str(info.value) == message
    assert sorted(p.name for p in tmp_path.iterdir()) == ([] if existing is None else ["code.zip"])
    if existing is not None:
        assert target.read_bytes() == existing


def test_download_error_status_writes_no_file(code: CodeClient, recorder: RecordingServer, tmp_path: Path) -> None:
    recorder.script(404, body={"detail": "Code c_1 not found"})
    with pytest.raises(NotFoundError) as info:
        code.download("c_1", tmp_path / "code.zip")
    assert str(info.value) == f"404 Not Found for GET {recorder.base_url}/code/c_1/download: Code c_1 not found"
    assert list(tmp_path.iterdir()) == []


# --- calls made to the parent -------------------------------------------------------------------


class MappedError(Exception):
    pass


class RecordingParent:
    """A minimal parent: records every helper call and what it was given."""

    def __init__(self, base_url: str) -> None:
        self.base_url = base_url
        self.api_key_header = {"X-API-Key": "custom", "X-Extra": "1"}
        self.calls: list[tuple[str, tuple, dict]] = []
        self.closed_when_mapped: list[bool] = []
        self.responses: list[httpx.Response] = []
        self.download_error: BaseException | None = None

    def _get_http_exception(self, *args: Any, **kwargs: Any) -> BaseException:
        self.calls.append(("_get_http_exception", args, kwargs))
        self.closed_when_mapped.append(kwargs["httpx_error"].response.is_closed)
        return MappedError("mapped")

    def _prepare_files(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("_prepare_files", args, kwargs))
        return [("code_zip", ("z.zip", b"zz", "application/zip"))]

    def _handle_stream_download(self, *args: Any, **kwargs: Any) -> bytes:
        self.calls.append(("_handle_stream_download", args, kwargs))
        response = args[0]
        self.responses.append(response)
        if self.download_error is not None:
            raise self.download_error
        response.read()
        response.raise_for_status()
        return b"saved bytes"


@pytest.fixture
def custom(recorder: RecordingServer) -> RecordingParent:
    return RecordingParent(recorder.base_url)


def test_constructor_keeps_the_parent(custom: RecordingParent) -> None:
    assert CodeClient(custom)._client is custom
    assert custom.calls == []


def test_request_headers_are_the_parents_mapping(custom: RecordingParent, recorder: RecordingServer) -> None:
    recorder.script(200, body={"code_id": "a"})
    CodeClient(custom).get_info("a")
    headers = recorder.requests[0].headers
    assert [(k, v) for k, v in headers if k in ("X-API-Key", "X-Extra")] == [("X-API-Key", "custom"), ("X-Extra", "1")]


@pytest.mark.parametrize(
    ("call", "metadata"),
    [
        (lambda c, m: c.upload(ZIP, "n", CodeType.WEB), None),
        (lambda c, m: c.upload(ZIP, "n", CodeType.WEB, m), {"a": 1}),
        (lambda c, m: c.ingest(ZIP, "n", CodeType.WEB), None),
        (lambda c, m: c.ingest(ZIP, "n", CodeType.WEB, metadata=m, build_pexenv=True), JsonData({"b": 2})),
    ],
    ids=["upload", "upload-metadata", "ingest", "ingest-metadata"],
)
def test_prepare_files_gets_keywords_and_its_result_is_sent(
    custom: RecordingParent, recorder: RecordingServer, call: Callable, metadata: Any
) -> None:
    recorder.set_default(200, body={"job_id": "j"})
    call(CodeClient(custom), metadata)
    [(name, args, kwargs)] = custom.calls
    assert (name, args, list(kwargs)) == ("_prepare_files", (), ["code_zip", "metadata"])
    assert kwargs["code_zip"] is ZIP and kwargs["metadata"] is metadata
    assert multipart(recorder.requests[0])[-1] == ("code_zip", "z.zip", b"zz")


@pytest.mark.parametrize(
    "zip_path", [None, "some/where.zip", Path("elsewhere.zip"), object()], ids=["None", "str", "Path", "object"]
)
def test_download_hands_response_and_path_positionally(
    custom: RecordingParent, recorder: RecordingServer, zip_path: Any
) -> None:
    recorder.script(200, body=ZIP_BYTES)
    client = CodeClient(custom)
    result = client.download("c_1") if zip_path is None else client.download("c_1", zip_path)
    [(name, args, kwargs)] = custom.calls
    assert (name, len(args), kwargs) == ("_handle_stream_download", 2, {})
    assert type(args[0]) is httpx.Response and args[1] is zip_path
    assert (type(result), result.zip_bytes) == (CodeZip, b"saved bytes")
    assert custom.responses[0].is_closed is True


def test_download_error_status_closes_the_stream_before_mapping(
    custom: RecordingParent, recorder: RecordingServer
) -> None:
    recorder.script(404, body={"detail": "missing"})
    with pytest.raises(MappedError) as info:
        CodeClient(custom).download("c_1")
    assert [name for name, _, _ in custom.calls] == ["_handle_stream_download", "_get_http_exception"]
    assert custom.closed_when_mapped == [True]
    assert type(info.value.__context__) is httpx.HTTPStatusError


def test_download_other_errors_close_the_stream_and_pass_through(
    custom: RecordingParent, recorder: RecordingServer
) -> None:
    custom.download_error = PermissionError("cannot write there")
    recorder.script(200, body=ZIP_BYTES)
    with pytest.raises(PermissionError) as info:
        CodeClient(custom).download("c_1", "x.zip")
    assert str(info.value) == "cannot write there"
    assert [name for name, _, _ in custom.calls] == ["_handle_stream_download"]
    assert custom.responses[0].is_closed is True


@pytest.mark.parametrize(("call", "method", "target"), OPERATIONS[:6], ids=OPERATION_IDS[:6])
def test_http_error_is_mapped_with_one_keyword(
    custom: RecordingParent, recorder: RecordingServer, call: Callable, method: str, target: str
) -> None:
    recorder.script(500, body=b"boom")
    with pytest.raises(MappedError) as info:
        call(CodeClient(custom))
    [(name, args, kwargs)] = [entry for entry in custom.calls if entry[0] == "_get_http_exception"]
    assert (name, args, list(kwargs)) == ("_get_http_exception", (), ["httpx_error"])
    assert info.value.__context__ is kwargs["httpx_error"]
    assert (kwargs["httpx_error"].request.method, kwargs["httpx_error"].request.url.raw_path.decode()) == (
        method,
        target,
    )


def test_status_error_from_prepare_files_is_not_translated(custom: RecordingParent, recorder: RecordingServer) -> None:
    request = httpx.Request("GET", "http://127.0.0.1/")
    error = httpx.HTTPStatusError("early", request=request, response=httpx.Response(400, request=request))

    def prepare_files(**kwargs: Any) -> Any:
        raise error

    custom._prepare_files = prepare_files
    with pytest.raises(httpx.HTTPStatusError) as info:
        CodeClient(custom).upload(ZIP, "n", CodeType.WEB)
    assert info.value is error
    assert (custom.calls, recorder.requests) == ([], [])


@pytest.mark.parametrize(
    "call",
    [lambda c: c.upload(ZIP, 5, CodeType.WEB), lambda c: c.ingest(ZIP, "n", CodeType.WEB, pexenv_python=b"3")],
    ids=["upload", "ingest"],
)
def test_argument_errors_come_before_prepare_files(
    custom: RecordingParent, recorder: RecordingServer, call: Callable
) -> None:
    with pytest.raises(TypeError):
        call(CodeClient(custom))
    assert (custom.calls, recorder.requests) == ([], [])
