from __future__ import annotations

import asyncio
import importlib
import json
import os
import stat
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from email import policy
from email.parser import BytesParser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import httpx
import pytest

from vexa.client._base import BaseClient
from vexa.client._config import API_KEY_ENV, BASE_URL_ENV
from vexa.client._errors import MAX_DETAIL_LENGTH, get_http_exception
from vexa.client._files import handle_stream_download, handle_stream_download_async, prepare_files
from vexa.types import (
    CodeInfo,
    CodeType,
    CodeZip,
    HTTPException,
    Job,
    JobStage,
    JsonData,
    NotFoundError,
    ServerError,
    UnprocessableEntityError,
)

API_KEY = "sk-test-7f3a9c"
NATIVE_MODULES = {"vexa.client._sync._code", "vexa.client._async._jobs"}


# --- A small HTTP server on 127.0.0.1 -------------------------------------------


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    content_type: str = "application/octet-stream"
    # Announce the whole body but send only this many bytes, then hang up.
    truncate_at: int | None = None


@dataclass
class RecordedRequest:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes


@dataclass
class Server:
    url: str
    routes: dict[tuple[str, str], Reply] = field(default_factory=dict)
    requests: list[RecordedRequest] = field(default_factory=list)

    def reply(self, method: str, path: str, reply: Reply) -> str:
        self.routes[(method, path)] = reply
        return self.url + path

    def reply_json(self, method: str, path: str, value: Any, status: int = 200) -> str:
        body = json.dumps(value).encode()
        return self.reply(method, path, Reply(status, body, "application/json"))


def _make_handler(server: Server) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def _handle(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            server.requests.append(
                RecordedRequest(
                    method=self.command,
                    path=self.path,
                    headers={name.lower(): value for name, value in self.headers.items()},
                    body=self.rfile.read(length),
                )
            )
            path = self.path.split("?", 1)[0]
            reply = server.routes.get((self.command, path), Reply(404, b'{"detail": "no route"}'))
            self.send_response(reply.status)
            self.send_header("Content-Type", reply.content_type)
            self.send_header("Content-Length", str(len(reply.body)))
            self.send_header("Connection", "close")
            self.end_headers()
            sent = reply.body if reply.truncate_at is None else reply.body[: reply.truncate_at]
            self.close_connection = True
            try:
                for start in range(0, len(sent), 16384):
                    self.wfile.write(sent[start : start + 16384])
            except ConnectionError:
                pass  # the client stopped reading, e.g. it could not save the body

        do_GET = do_POST = do_DELETE = _handle

        def log_message(self, format: str, *args: Any) -> None:
            pass

    return Handler


@pytest.fixture(scope="module")
def http_server() -> Iterator[Server]:
    server = Server(url="")
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), _make_handler(server))
    httpd.daemon_threads = True
    server.url = f"http://127.0.0.1:{httpd.server_address[1]}"
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield server
    httpd.shutdown()
    httpd.server_close()
    thread.join()


@pytest.fixture
def server(http_server: Server) -> Server:
    http_server.routes.clear()
    http_server.requests.clear()
    return http_server


# --- Parent client classes --------------------------------------------------------


def _client_class(module: str, name: str) -> Any:
    # The clients need compiled modules; skip only when one of those is missing.
    try:
        return pytest.param(getattr(importlib.import_module(module), name), id=name)
    except ModuleNotFoundError as error:
        if error.name not in NATIVE_MODULES:
            raise
        return pytest.param(None, id=name, marks=pytest.mark.skip(reason=str(error)))


CLIENT_CLASSES = [
    pytest.param(BaseClient, id="BaseClient"),
    _client_class("vexa.client._sync", "Client"),
    _client_class("vexa.client._async", "AsyncClient"),
]


@pytest.fixture
def clean_env(monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    monkeypatch.delenv(BASE_URL_ENV, raising=False)
    monkeypatch.delenv(API_KEY_ENV, raising=False)
    return monkeypatch


@pytest.mark.parametrize("client_class", CLIENT_CLASSES)
@pytest.mark.parametrize(
    "env, arguments, base_url, api_key, header",
    [
        ({}, {"base_url": "http://a:1"}, "http://a:1", None, {}),
        ({}, {"base_url": "http://a:1/", "api_key": "k1"}, "http://a:1/", "k1", {"X-API-Key": "k1"}),
        (
            {BASE_URL_ENV: "http://env:2", API_KEY_ENV: "envkey"},
            {},
            "http://env:2",
            "envkey",
            {"X-API-Key": "envkey"},
        ),
        (
            {BASE_URL_ENV: "http://env:2", API_KEY_ENV: "envkey"},
            {"base_url": "http://a:1", "api_key": "k1"},
            "http://a:1",
            "k1",
            {"X-API-Key": "k1"},
        ),
        ({BASE_URL_ENV: "http://env:2", API_KEY_ENV: ""}, {}, "http://env:2", None, {}),
    ],
)
def test_base_url_and_key_from_arguments_or_environment(
    clean_env: pytest.MonkeyPatch,
    client_class: type[BaseClient],
    env: dict[str, str],
    arguments: dict[str, str],
    base_url: str,
    api_key: str | None,
    header: dict[str, str],
) -> None:
    for name, value in env.items():
        clean_env.setenv(name, value)
    client = client_class(**arguments)
    assert (client.base_url, client.api_key, client.api_key_header) == (base_url, api_key, header)


@pytest.mark.parametrize("client_class", CLIENT_CLASSES)
@pytest.mark.parametrize("env_value", [None, ""])
def test_missing_base_url_names_the_variable(
    clean_env: pytest.MonkeyPatch, client_class: type[BaseClient], env_value: str | None
) -> None:
    if env_value is not None:
        clean_env.setenv(BASE_URL_ENV, env_value)
    with pytest.raises(ValueError, match=BASE_URL_ENV):
        client_class(api_key="k1")


@pytest.mark.parametrize("client_class", CLIENT_CLASSES)
@pytest.mark.parametrize("api_key, shown", [(API_KEY, "api_key=<set>"), (None, "api_key=None")])
def test_repr_never_shows_the_key(
    clean_env: pytest.MonkeyPatch, client_class: type[BaseClient], api_key: str | None, shown: str
) -> None:
    client = client_class(base_url="http://127.0.0.1:8000", api_key=api_key)
    text = repr(client)
    assert text == f"{client_class.__name__}(base_url='http://127.0.0.1:8000', {shown})"
    assert API_KEY not in text


# --- Upload parts ---------------------------------------------------------------


def _form_parts(content_type: str, body: bytes) -> list[tuple[str, str | None, str, bytes]]:
    """(name, filename, content type, bytes) of each multipart part, in order."""
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


@pytest.mark.parametrize(
    "metadata, metadata_bytes",
    [
        (None, None),
        ({"entry": "app.py", "tags": ["a"]}, b'{"entry":"app.py","tags":["a"]}'),
        (JsonData({"entry": "app.py"}), b'{"entry":"app.py"}'),
        (JsonData([1, 2]), b"[1,2]"),
        (JsonData(None), b"null"),
    ],
)
def test_prepare_files_parts(metadata: Any, metadata_bytes: bytes | None) -> None:
    files = prepare_files(code_zip=CodeZip(zip_bytes=b"PK zip"), metadata=metadata)
    request = httpx.Request(
        "POST",
        "http://h/code/upload",
        files=files,
        data={"code_name": "n", "code_type": CodeType.WEB},
    )
    parts = _form_parts(request.headers["Content-Type"], request.read())
    expected = [
        ("code_name", None, "text/plain", b"n"),
        ("code_type", None, "text/plain", b"web"),
        ("code_zip", "code.zip", "application/zip", b"PK zip"),
    ]
    if metadata_bytes is not None:
        expected.append(("metadata", "metadata.json", "application/json", metadata_bytes))
    assert parts == expected


# --- Error responses --------------------------------------------------------------


@pytest.mark.parametrize(
    "reply, exception_class, detail",
    [
        (Reply(404, b'{"detail": "Code x not found"}', "application/json"), NotFoundError, "Code x not found"),
        (
            Reply(422, b'{"detail": [{"loc": ["code_name"]}]}', "application/json"),
            UnprocessableEntityError,
            '[{"loc": ["code_name"]}]',
        ),
        (Reply(502, b"<html>bad gateway</html>\n", "text/html"), ServerError, "<html>bad gateway</html>"),
        (Reply(500, b'{"error": "x"}', "application/json"), ServerError, '{"error": "x"}'),
        (Reply(405, b""), HTTPException, ""),
        (Reply(500, b"x" * 5000, "text/plain"), ServerError, "x" * MAX_DETAIL_LENGTH),
    ],
)
def test_http_exception_from_response(
    server: Server, reply: Reply, exception_class: type[HTTPException], detail: str
) -> None:
    url = server.reply("GET", "/code/x/info", reply)
    response = httpx.get(url)
    with pytest.raises(httpx.HTTPStatusError) as caught:
        response.raise_for_status()
    exception = get_http_exception(caught.value)
    assert type(exception) is exception_class
    assert (exception.status_code, exception.method, exception.url, exception.detail) == (
        reply.status,
        "GET",
        url,
        detail,
    )
    assert str(exception).startswith(f"{reply.status} ")
    assert str(exception).endswith(f"GET {url}: {detail}" if detail else f"GET {url}")


def test_http_exception_from_unread_stream_has_empty_detail(server: Server) -> None:
    url = server.reply("GET", "/code/x/download", Reply(404, b'{"detail": "Code x not found"}'))
    with httpx.stream("GET", url) as response:
        with pytest.raises(httpx.HTTPStatusError) as caught:
            response.raise_for_status()
    exception = get_http_exception(caught.value)
    assert type(exception) is NotFoundError
    assert exception.detail == ""
    assert str(exception) == f"404 Not Found for GET {url}"


@pytest.mark.parametrize("pass_key", [True, False], ids=["key-given", "key-from-headers"])
def test_http_exception_never_contains_the_key(server: Server, pass_key: bool) -> None:
    echoed = json.dumps({"detail": f"Invalid API key {API_KEY}"}).encode()
    url = server.reply("GET", "/jobs", Reply(401, echoed, "application/json"))
    response = httpx.get(url + f"?echo={API_KEY}", headers={"X-API-Key": API_KEY})
    with pytest.raises(httpx.HTTPStatusError) as caught:
        response.raise_for_status()
    exception = get_http_exception(caught.value, api_key=API_KEY if pass_key else None)
    assert exception.status_code == 401
    assert exception.detail == "Invalid API key [REDACTED]"
    for text in (str(exception), repr(exception), exception.url, exception.detail, exception.message):
        assert API_KEY not in text
    assert API_KEY not in repr(vars(exception))


# --- Atomic downloads -----------------------------------------------------------

Download = Callable[[str, "Path | str | None"], bytes]


def _download_sync(url: str, zip_path: Path | str | None) -> bytes:
    with httpx.stream("GET", url) as response:
        return handle_stream_download(response, zip_path)


def _download_async(url: str, zip_path: Path | str | None) -> bytes:
    async def download() -> bytes:
        async with httpx.AsyncClient() as client:
            async with client.stream("GET", url) as response:
                return await handle_stream_download_async(response, zip_path)

    return asyncio.run(download())


@pytest.fixture(params=[_download_sync, _download_async], ids=["sync", "async"])
def download(request: pytest.FixtureRequest) -> Download:
    return request.param


BODY = bytes(range(256)) * 1024  # 256 KiB: several chunks on the wire


@pytest.mark.parametrize("as_text", [False, True], ids=["Path", "str"])
def test_download_saves_whole_body(server: Server, download: Download, tmp_path: Path, as_text: bool) -> None:
    url = server.reply("GET", "/code/c1/download", Reply(200, BODY))
    target = tmp_path / "code.zip"
    assert download(url, str(target) if as_text else target) == BODY
    assert target.read_bytes() == BODY
    assert stat.S_IMODE(target.stat().st_mode) == 0o644
    assert sorted(os.listdir(tmp_path)) == ["code.zip"]


def test_download_without_path_writes_nothing(
    server: Server, download: Download, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)
    url = server.reply("GET", "/code/c1/download", Reply(200, BODY))
    assert download(url, None) == BODY
    assert os.listdir(tmp_path) == []


def test_download_replaces_existing_file_keeping_its_mode(server: Server, download: Download, tmp_path: Path) -> None:
    target = tmp_path / "code.zip"
    target.write_bytes(b"old archive")
    target.chmod(0o600)
    url = server.reply("GET", "/code/c1/download", Reply(200, b"new archive"))
    assert download(url, target) == b"new archive"
    assert target.read_bytes() == b"new archive"
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    assert os.listdir(tmp_path) == ["code.zip"]


@pytest.mark.parametrize(
    "reply, error",
    [
        (Reply(404, b'{"detail": "Code c1 not found"}', "application/json"), httpx.HTTPStatusError),
        (Reply(500, b"boom"), httpx.HTTPStatusError),
        (Reply(200, BODY, truncate_at=len(BODY) // 2), httpx.RemoteProtocolError),
    ],
    ids=["404", "500", "closed-mid-body"],
)
@pytest.mark.parametrize("existing", [None, b"previous archive"], ids=["new", "existing"])
def test_failed_download_leaves_no_partial_file(
    server: Server,
    download: Download,
    tmp_path: Path,
    reply: Reply,
    error: type[Exception],
    existing: bytes | None,
) -> None:
    target = tmp_path / "code.zip"
    if existing is not None:
        target.write_bytes(existing)
    url = server.reply("GET", "/code/c1/download", reply)
    with pytest.raises(error):
        download(url, target)
    assert os.listdir(tmp_path) == ([] if existing is None else ["code.zip"])
    if existing is not None:
        assert target.read_bytes() == existing


def test_download_error_body_is_read_for_the_detail(server: Server, download: Download, tmp_path: Path) -> None:
    url = server.reply("GET", "/code/c1/download", Reply(404, b'{"detail": "Code c1 not found"}', "application/json"))
    with pytest.raises(httpx.HTTPStatusError) as caught:
        download(url, tmp_path / "code.zip")
    exception = get_http_exception(caught.value)
    assert str(exception) == f"404 Not Found for GET {url}: Code c1 not found"


def test_download_into_missing_directory_fails_before_writing(
    server: Server, download: Download, tmp_path: Path
) -> None:
    url = server.reply("GET", "/code/c1/download", Reply(200, BODY))
    with pytest.raises(FileNotFoundError):
        download(url, tmp_path / "missing" / "code.zip")
    assert os.listdir(tmp_path) == []


# --- AsyncClient and its code client, over HTTP -------------------------------


@pytest.fixture
def async_client(server: Server, clean_env: pytest.MonkeyPatch) -> Any:
    pytest.importorskip("vexa.client._async._jobs")
    from vexa.client._async import AsyncClient

    return AsyncClient(base_url=server.url, api_key=API_KEY)


@pytest.mark.parametrize(
    "base_url, job_id, proxy_url, subdomain_url",
    [
        # IP addresses and localhost have no subdomains: the page has an address of its own.
        ("http://127.0.0.1:8000", "j1", "http://{page}:8000", "http://{page}:8000/"),
        ("http://[::1]:8000", "j1", "http://{page}:8000", "http://{page}:8000/"),
        ("http://user:pw@localhost:8080/api", "abc", "http://{page}:8080", "http://{page}:8080/"),
        ("http://localhost", "abc", "http://{page}", "http://{page}/"),
        ("https://vexa.example.com", "j1", "https://vexa.example.com/j1", "https://j1.vexa.example.com/"),
        (
            "https://user:pw@vexa.example.com:8443/api",
            "j1",
            "https://user:pw@vexa.example.com:8443/api/j1",
            "https://j1.vexa.example.com:8443/",
        ),
    ],
)
def test_proxy_urls(
    clean_env: pytest.MonkeyPatch, base_url: str, job_id: str, proxy_url: str, subdomain_url: str
) -> None:
    pytest.importorskip("vexa.client._async._jobs")
    from vexa._browser import web_job_address
    from vexa.client._async import AsyncClient

    client = AsyncClient(base_url=base_url)
    page = web_job_address(job_id)
    assert client.get_proxy_url(job_id) == proxy_url.format(page=page)
    assert client.get_subdomain_proxy_url(job_id) == subdomain_url.format(page=page)


def _last_request(server: Server) -> RecordedRequest:
    request = server.requests[-1]
    assert request.headers["x-api-key"] == API_KEY
    return request


@pytest.mark.parametrize("answer, code_id", [("  c1\n", "c1"), (123, "123")], ids=["text", "number"])
async def test_async_upload(server: Server, async_client: Any, answer: Any, code_id: str) -> None:
    server.reply_json("POST", "/code/upload", answer)
    result = await async_client.code.upload(
        CodeZip(zip_bytes=b"PK zip"), "site", CodeType.WEB, metadata={"entry": "index.html"}
    )
    assert result == code_id
    request = _last_request(server)
    assert (request.method, request.path) == ("POST", "/code/upload")
    assert _form_parts(request.headers["content-type"], request.body) == [
        ("code_name", None, "text/plain", b"site"),
        ("code_type", None, "text/plain", b"web"),
        ("code_zip", "code.zip", "application/zip", b"PK zip"),
        ("metadata", "metadata.json", "application/json", b'{"entry":"index.html"}'),
    ]


@pytest.mark.parametrize(
    "options, pexenv_fields",
    [
        ({}, [b"false", b""]),
        ({"build_pexenv": 1, "pexenv_python": "python3.10"}, [b"true", b"python3.10"]),
        ({"build_pexenv": ""}, [b"false", b""]),
    ],
)
async def test_async_ingest(
    server: Server, async_client: Any, options: dict[str, Any], pexenv_fields: list[bytes]
) -> None:
    server.reply_json("POST", "/jobs/code/ingest", {"job_id": "j1", "job_type": "ingest", "job_stage": "pre_running"})
    job = await async_client.code.ingest(CodeZip(zip_bytes=b"PK"), "app", CodeType.PYTHON, **options)
    assert job == Job(job_id="j1", job_type="ingest", job_stage=JobStage.PRE_RUNNING)
    request = _last_request(server)
    parts = _form_parts(request.headers["content-type"], request.body)
    assert [(name, value) for name, _, _, value in parts] == [
        ("code_name", b"app"),
        ("code_type", b"python"),
        ("build_pexenv", pexenv_fields[0]),
        ("pexenv_python", pexenv_fields[1]),
        ("code_zip", b"PK"),
    ]


@pytest.mark.parametrize("code_type, query", [(None, ""), (CodeType.WEB, "?code_type=web")], ids=["all", "web"])
async def test_async_list_info(server: Server, async_client: Any, code_type: CodeType | None, query: str) -> None:
    server.reply_json("GET", "/code/info", [{"code_id": "c1", "code_type": "web"}, {"code_id": "c2"}])
    infos = await async_client.code.list_info(code_type)
    assert infos == [CodeInfo(code_id="c1", code_type=CodeType.WEB), CodeInfo(code_id="c2")]
    assert _last_request(server).path == "/code/info" + query


@pytest.mark.parametrize("value", [{"entry": "a.py"}, [1, 2], "text", None])
async def test_async_get_metadata(server: Server, async_client: Any, value: Any) -> None:
    server.reply_json("GET", "/code/c1/metadata", value)
    assert await async_client.code.get_metadata("c1") == JsonData(value)


async def test_async_get_info_and_delete(server: Server, async_client: Any) -> None:
    server.reply_json("GET", "/code/c1/info", {"code_id": "c1", "code_name": "site", "size": 10})
    server.reply_json("DELETE", "/code/c1", None)
    assert await async_client.code.get_info("c1") == CodeInfo(code_id="c1", code_name="site", size=10)
    assert await async_client.code.delete("c1") == "Code with id=c1 deleted"
    assert [(r.method, r.path) for r in server.requests] == [("GET", "/code/c1/info"), ("DELETE", "/code/c1")]


async def test_async_download(server: Server, async_client: Any, tmp_path: Path) -> None:
    server.reply("GET", "/code/c1/download", Reply(200, BODY))
    code_zip = await async_client.code.download("c1", tmp_path / "c1.zip")
    assert code_zip == CodeZip(zip_bytes=BODY)
    assert (tmp_path / "c1.zip").read_bytes() == BODY


@pytest.mark.parametrize(
    "call",
    [
        lambda code: code.get_info("c9"),
        lambda code: code.get_metadata("c9"),
        lambda code: code.delete("c9"),
        lambda code: code.download("c9"),
        lambda code: code.list_info(),
        lambda code: code.upload(CodeZip(zip_bytes=b""), "n", CodeType.WEB),
        lambda code: code.ingest(CodeZip(zip_bytes=b""), "n", CodeType.WEB),
    ],
    ids=["get_info", "get_metadata", "delete", "download", "list_info", "upload", "ingest"],
)
async def test_async_code_error_status_becomes_http_exception(
    server: Server, async_client: Any, call: Callable[[Any], Any]
) -> None:
    # No routes: the server answers 404 {"detail": "no route"} to everything.
    with pytest.raises(NotFoundError) as caught:
        await call(async_client.code)
    assert caught.value.detail == "no route"
    assert isinstance(caught.value.__context__, httpx.HTTPStatusError)
    assert API_KEY not in str(caught.value)
