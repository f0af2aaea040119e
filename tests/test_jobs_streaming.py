"""AsyncJobsClient.stream_output against chunked NDJSON from local servers."""

from __future__ import annotations

import asyncio
import collections.abc
import socket
import threading
from typing import Any, ClassVar, Iterator

import httpx
import pydantic
import pytest
from recording_server import RecordingServer

import vexa.client._async._jobs as jobs_module
from vexa.client._async import AsyncClient
from vexa.client._async._jobs import AsyncJobsClient
from vexa.types import ConflictError, NotFoundError, ServerError, StreamOutput, UnauthorizedError

API_KEY = "sk-stream-3"
SAFETY_SECONDS = 10.0


class RecordingStreamOutput(StreamOutput):
    """Records every text handed to model_validate_json."""

    seen: ClassVar[list[Any]] = []

    @classmethod
    def model_validate_json(cls, json_data: Any, **kwargs: Any) -> Any:
        cls.seen.append(json_data)
        return super().model_validate_json(json_data, **kwargs)


@pytest.fixture
def seen(monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    RecordingStreamOutput.seen = []
    monkeypatch.setattr(jobs_module, "StreamOutput", RecordingStreamOutput)
    return RecordingStreamOutput.seen


@pytest.fixture
def jobs(recorder: RecordingServer) -> AsyncJobsClient:
    return AsyncClient(base_url=recorder.base_url, api_key=API_KEY).jobs


async def collect(generator: Any) -> list[Any]:
    return [item async for item in generator]


class HangUpServer:
    """Answers one request with a chunked body that never ends, then notes when the client hangs up."""

    def __init__(self, lines: list[bytes]) -> None:
        self.lines = lines
        self.request = b""
        self.hung_up = threading.Event()
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(1)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._sock.getsockname()[1]}"

    def _serve(self) -> None:
        conn, _ = self._sock.accept()
        with conn:
            conn.settimeout(SAFETY_SECONDS * 3)
            try:
                while b"\r\n\r\n" not in self.request:
                    piece = conn.recv(4096)
                    if not piece:
                        return
                    self.request += piece
                head = b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nTransfer-Encoding: chunked\r\n\r\n"
                conn.sendall(head + b"".join(b"%x\r\n%s\r\n" % (len(line), line) for line in self.lines))
                while conn.recv(4096):
                    pass
            except ConnectionResetError:
                pass  # a reset is a hang-up too
            except OSError:
                return  # timed out: the client never hung up
            self.hung_up.set()

    def close(self) -> None:
        self._sock.close()


@pytest.fixture
def hang_up_server() -> Iterator[Any]:
    servers: list[HangUpServer] = []

    def start(lines: list[bytes]) -> HangUpServer:
        server = HangUpServer(lines)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


# --- lines and items ------------------------------------------------------------------------


@pytest.mark.parametrize("newline", [b"\n", b"\r\n"])
@pytest.mark.parametrize("final_newline", [True, False])
async def test_blank_lines_are_skipped(
    recorder: RecordingServer, jobs: AsyncJobsClient, seen: list[Any], newline: bytes, final_newline: bool
) -> None:
    lines = [b'{"text":"first"}', b"", b"   ", b'{"text":"last","stream":"stderr"}']
    body = newline.join(lines) + (newline if final_newline else b"")
    recorder.script(200, body, chunks=[body])
    items = await collect(jobs.stream_output("j1"))
    assert [(type(item), item.text, item.stream) for item in items] == [
        (RecordingStreamOutput, "first", "stdout"),
        (RecordingStreamOutput, "last", "stderr"),
    ]
    assert seen == ['{"text":"first"}', '{"text":"last","stream":"stderr"}']


async def test_line_is_passed_with_its_blanks(
    recorder: RecordingServer, jobs: AsyncJobsClient, seen: list[Any]
) -> None:
    body = b'  {"text": "x"}\t \n'
    recorder.script(200, body, chunks=[body])
    [item] = await collect(jobs.stream_output("j1"))
    assert item.text == "x"
    assert seen == ['  {"text": "x"}\t ']


async def test_items_with_the_real_model(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    body = b'{"job_id":"j1","stream":"stdout","text":"hi","timestamp":"2024-01-01T00:00:00Z","extra":1}\n'
    recorder.script(200, body, chunks=[body])
    [item] = await collect(jobs.stream_output("j1"))
    assert type(item) is StreamOutput
    assert (item.job_id, item.text, item.timestamp.year, item.extra) == ("j1", "hi", 2024, 1)


async def test_items_arrive_as_chunks_are_released(
    recorder: RecordingServer, jobs: AsyncJobsClient, seen: list[Any]
) -> None:
    first_gate, second_gate = threading.Event(), threading.Event()
    scripted = recorder.script(
        200,
        chunks=[b'{"text":"a"}\n{"te', first_gate, b'xt":"b"}\n', second_gate, b'{"text":"c"}\n'],
    )
    generator = jobs.stream_output("j1")
    first = await anext(generator)
    assert first.text == "a"
    assert not first_gate.is_set() and not scripted.done.is_set()
    assert seen == ['{"text":"a"}']
    first_gate.set()
    second = await anext(generator)
    assert second.text == "b"
    assert not scripted.done.is_set()
    second_gate.set()
    third = await anext(generator)
    assert third.text == "c"
    with pytest.raises(StopAsyncIteration):
        await anext(generator)
    assert seen == ['{"text":"a"}', '{"text":"b"}', '{"text":"c"}']


async def test_nothing_is_sent_before_the_first_item(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    generator = jobs.stream_output("j1")
    assert isinstance(generator, collections.abc.AsyncGenerator)
    assert recorder.requests == []
    await generator.aclose()
    assert recorder.requests == []


# --- the request ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "suffix, job_id, target",
    [("", "j1", "/jobs/j1/stream"), ("/", "j1", "//jobs/j1/stream"), ("", "a b/c", "/jobs/a%20b/c/stream")],
)
async def test_request_path_and_api_key(recorder: RecordingServer, suffix: str, job_id: str, target: str) -> None:
    jobs = AsyncClient(base_url=recorder.base_url + suffix, api_key=API_KEY).jobs
    recorder.script(200, b"", chunks=[])
    assert await collect(jobs.stream_output(job_id)) == []
    [request] = recorder.requests
    assert (request.method, request.target, request.query, request.body) == ("GET", target, "", b"")
    assert request.header_values("X-API-Key") == [API_KEY]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((123,), {}, "Argument 'job_id' has incorrect type (expected str, got int)"),
        ((None,), {}, "Argument 'job_id' has incorrect type (expected str, got NoneType)"),
        (("j1",), {"read_timeout": "1"}, "Argument 'read_timeout' has incorrect type (expected float, got str)"),
        (("j1", 1.0, 2), {}, "stream_output() takes at most 3 positional arguments (4 given)"),
    ],
)
def test_binding_fails_at_the_call(
    recorder: RecordingServer, jobs: AsyncJobsClient, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError) as caught:
        jobs.stream_output(*args, **kwargs)
    assert str(caught.value) == message
    assert recorder.requests == []


async def test_unreachable_service() -> None:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        jobs = AsyncClient(base_url=f"http://127.0.0.1:{sock.getsockname()[1]}", api_key=API_KEY).jobs
        generator = jobs.stream_output("j1")
        with pytest.raises(httpx.ConnectError):
            await anext(generator)


# --- failures while streaming ---------------------------------------------------------------


@pytest.mark.parametrize("read_timeout", [0.1, 0.05])
async def test_silence_longer_than_read_timeout(
    recorder: RecordingServer, jobs: AsyncJobsClient, read_timeout: float
) -> None:
    never = threading.Event()  # released only when the recorder closes
    recorder.script(200, chunks=[b'{"text":"a"}\n', never])
    received = []
    with pytest.raises(httpx.ReadTimeout):
        async for item in jobs.stream_output("j1", read_timeout):
            received.append(item.text)
    assert received == ["a"]
    assert not never.is_set()


@pytest.mark.parametrize("with_length", [False, True])
async def test_mid_stream_disconnect(recorder: RecordingServer, jobs: AsyncJobsClient, with_length: bool) -> None:
    first, second = b'{"text":"a"}\n', b'{"text":"b"}\n'
    headers = {"Content-Length": str(len(first + second))} if with_length else {}
    recorder.script(200, chunks=[first, second], close_after=len(first), headers=headers)
    received = []
    with pytest.raises(httpx.RemoteProtocolError):
        async for item in jobs.stream_output("j1", read_timeout=SAFETY_SECONDS):
            received.append(item.text)
    assert received == ["a"]


async def test_leaving_early_then_aclose_closes_the_connection(hang_up_server: Any) -> None:
    server = hang_up_server([b'{"text":"a"}\n', b'{"text":"b"}\n'])
    jobs = AsyncClient(base_url=server.base_url, api_key=API_KEY).jobs
    generator = jobs.stream_output("j1", read_timeout=SAFETY_SECONDS)
    received = []
    async for item in generator:
        received.append(item.text)
        break
    assert received == ["a"]
    assert not server.hung_up.is_set()  # suspended at the yield, still connected
    await generator.aclose()
    assert await asyncio.to_thread(server.hung_up.wait, SAFETY_SECONDS)
    assert server.request.startswith(b"GET /jobs/j1/stream HTTP/1.1\r\n")
    assert b"\r\nX-API-Key: sk-stream-3\r\n" in server.request


async def test_invalid_line_ends_the_stream(hang_up_server: Any, seen: list[Any]) -> None:
    server = hang_up_server([b'{"text":"a"}\n', b'{"no_text":1}\n', b'{"text":"c"}\n'])
    jobs = AsyncClient(base_url=server.base_url, api_key=API_KEY).jobs
    generator = jobs.stream_output("j1", read_timeout=SAFETY_SECONDS)
    assert (await anext(generator)).text == "a"
    with pytest.raises(pydantic.ValidationError) as caught:
        await anext(generator)
    assert caught.value.errors()[0]["loc"] == ("text",)
    assert seen == ['{"text":"a"}', '{"no_text":1}']
    assert await asyncio.to_thread(server.hung_up.wait, SAFETY_SECONDS)


async def test_invalid_json_line(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    body = b'{"text":"a"}\nnot json\n{"text":"c"}\n'
    recorder.script(200, chunks=[body])
    received = []
    with pytest.raises(pydantic.ValidationError):
        async for item in jobs.stream_output("j1"):
            received.append(item.text)
    assert received == ["a"]


# --- error statuses -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "status, body, error, text",
    [
        (404, {"detail": "Job j1 not found"}, NotFoundError, "404 Not Found for GET {url}: Job j1 not found"),
        (
            404,
            {"text": "looks like output"},
            NotFoundError,
            '404 Not Found for GET {url}: {{"text": "looks like output"}}',
        ),
        (
            401,
            {"detail": "Invalid or missing API key"},
            UnauthorizedError,
            "401 Unauthorized for GET {url}: Invalid or missing API key",
        ),
        (409, b"busy\n", ConflictError, "409 Conflict for GET {url}: busy"),
        (500, b"", ServerError, "500 Internal Server Error for GET {url}"),
    ],
)
async def test_error_status_raises_the_mapped_exception(
    recorder: RecordingServer, jobs: AsyncJobsClient, seen: list[Any], status: int, body: Any, error: type, text: str
) -> None:
    recorder.script(status, body)
    url = f"{recorder.base_url}/jobs/j1/stream"
    received = []
    with pytest.raises(error) as caught:
        async for item in jobs.stream_output("j1"):
            received.append(item)
    assert received == []
    assert seen == []
    assert str(caught.value) == text.format(url=url)
    context = caught.value.__context__
    assert type(context) is httpx.HTTPStatusError
    assert context.response.status_code == status
    assert context.response.is_closed
    assert caught.value.__cause__ is None


async def test_error_status_body_is_read_across_chunks(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    gate = threading.Event()
    recorder.script(404, chunks=[b'{"detail": "Job', gate, b' j1 not found"}'])
    generator = jobs.stream_output("j1", read_timeout=SAFETY_SECONDS)
    pending = asyncio.ensure_future(anext(generator))
    await asyncio.to_thread(recorder.wait_for_requests, 1)
    gate.set()
    with pytest.raises(NotFoundError) as caught:
        await pending
    assert caught.value.detail == "Job j1 not found"


class Mapped(Exception):
    pass


class MappingParent(AsyncClient):
    def __init__(self, base_url: str) -> None:
        super().__init__(base_url=base_url, api_key=API_KEY)
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def _get_http_exception(self, *args: Any, **kwargs: Any) -> Exception:
        self.calls.append((args, kwargs))
        return Mapped("mapped")


async def test_error_status_goes_through_the_parent(recorder: RecordingServer) -> None:
    parent = MappingParent(recorder.base_url)
    recorder.script(503, {"text": "would validate"})
    generator = parent.jobs.stream_output("j1")
    with pytest.raises(Mapped) as caught:
        await anext(generator)
    [(args, kwargs)] = parent.calls
    assert args == () and list(kwargs) == ["httpx_error"]
    assert kwargs["httpx_error"] is caught.value.__context__


@pytest.mark.parametrize("status", [201, 203, 299])
async def test_other_2xx_statuses_stream_lines(recorder: RecordingServer, jobs: AsyncJobsClient, status: int) -> None:
    body = b'{"text":"a"}\n'
    recorder.script(status, chunks=[body])
    assert [item.text for item in await collect(jobs.stream_output("j1"))] == ["a"]


# --- after the end --------------------------------------------------------------------------


async def _end_normally(recorder: RecordingServer, jobs: AsyncJobsClient) -> Any:
    recorder.script(200, chunks=[b'{"text":"a"}\n'])
    generator = jobs.stream_output("j1")
    assert [item.text async for item in generator] == ["a"]
    return generator


async def _end_by_error_status(recorder: RecordingServer, jobs: AsyncJobsClient) -> Any:
    recorder.script(404, {"detail": "gone"})
    generator = jobs.stream_output("j1")
    with pytest.raises(NotFoundError):
        await anext(generator)
    return generator


async def _end_by_invalid_line(recorder: RecordingServer, jobs: AsyncJobsClient) -> Any:
    recorder.script(200, chunks=[b'{"x":1}\n{"text":"b"}\n'])
    generator = jobs.stream_output("j1")
    with pytest.raises(pydantic.ValidationError):
        await anext(generator)
    return generator


async def _end_by_aclose_unstarted(recorder: RecordingServer, jobs: AsyncJobsClient) -> Any:
    generator = jobs.stream_output("j1")
    await generator.aclose()
    return generator


async def _end_by_aclose_after_break(recorder: RecordingServer, jobs: AsyncJobsClient) -> Any:
    recorder.script(200, chunks=[b'{"text":"a"}\n{"text":"b"}\n'])
    generator = jobs.stream_output("j1")
    async for _ in generator:
        break
    await generator.aclose()
    return generator


@pytest.mark.parametrize(
    "end",
    [_end_normally, _end_by_error_status, _end_by_invalid_line, _end_by_aclose_unstarted, _end_by_aclose_after_break],
    ids=lambda end: end.__name__.removeprefix("_end_"),
)
async def test_finished_generator_stops(recorder: RecordingServer, jobs: AsyncJobsClient, end: Any) -> None:
    generator = await end(recorder, jobs)
    count = len(recorder.requests)
    for _ in range(2):
        with pytest.raises(StopAsyncIteration):
            await anext(generator)
    assert [item async for item in generator] == []
    assert len(recorder.requests) == count
