"""A scriptable HTTP server on 127.0.0.1 that records every request byte-exactly.

Tests use it to see exactly what a client sends (raw path, header order/case, body)
and to make the client face chosen responses: chunked bodies with release gates,
truncated bodies, held or dropped connections.
"""

from __future__ import annotations

import io
import json
import os
import socket
import ssl
import threading
import zipfile
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Mapping, Sequence, Union

# How long a gate or hold waits before giving up, so a forgotten release cannot hang a run.
GATE_SAFETY_TIMEOUT = 30.0

Chunk = Union[bytes, threading.Event]
HeaderList = Sequence[tuple[str, str]]


def make_zip(files: Mapping[str, str | bytes]) -> bytes:
    """Zip bytes built in memory, e.g. make_zip({"main.py": "print(1)"})."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, content in files.items():
            archive.writestr(name, content)
    return buffer.getvalue()


@dataclass
class RecordedRequest:
    method: str
    target: str  # request-target exactly as sent: raw path plus "?query"
    path: str  # raw path, no decoding
    query: str  # raw query string ("" when none)
    headers: list[tuple[str, str]]  # in order, names with their original case
    body: bytes  # entity bytes (chunked transfer framing removed)
    http_version: str
    client_address: tuple[str, int]
    chunked: bool = False

    def header(self, name: str) -> str | None:
        """First header value with this name, case-insensitively."""
        lowered = name.lower()
        return next((value for key, value in self.headers if key.lower() == lowered), None)

    def header_values(self, name: str) -> list[str]:
        lowered = name.lower()
        return [value for key, value in self.headers if key.lower() == lowered]

    def json(self) -> Any:
        return json.loads(self.body)


@dataclass
class ScriptedResponse:
    """One answer the server gives.

    body: bytes as-is, str as UTF-8, anything else as JSON (sets Content-Type).
    chunks: send these pieces instead of `body`, flushing after each; a threading.Event
        in the list is a gate the server waits on before going on. Uses chunked
        transfer encoding unless `headers` set Content-Length.
    close_after: send only this many body bytes (with the full Content-Length or without
        the final chunk), then close the connection.
    hold: send nothing until `release()`.
    drop: close the connection without any response (after any hold).
    """

    status: int = 200
    body: Any = b""
    headers: HeaderList | Mapping[str, str] = ()
    chunks: list[Chunk] | None = None
    close_after: int | None = None
    hold: bool = False
    drop: bool = False
    released: threading.Event = field(default_factory=threading.Event)
    # Set when the server has finished with this response (sent, closed or failed).
    done: threading.Event = field(default_factory=threading.Event)

    def release(self) -> None:
        self.released.set()

    def gates(self) -> list[threading.Event]:
        return [piece for piece in (self.chunks or []) if isinstance(piece, threading.Event)]

    def body_bytes(self) -> tuple[bytes, list[tuple[str, str]]]:
        headers = list(self.headers.items()) if isinstance(self.headers, Mapping) else list(self.headers)
        if isinstance(self.body, bytes):
            return self.body, headers
        if isinstance(self.body, str):
            return self.body.encode("utf-8"), headers
        if not any(name.lower() == "content-type" for name, _ in headers):
            headers.append(("Content-Type", "application/json"))
        return json.dumps(self.body).encode("utf-8"), headers


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive
    server: "_Server"

    def setup(self) -> None:
        super().setup()
        # Headers and body go out in separate writes; avoid Nagle/delayed-ACK stalls.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def handle_one_request(self) -> None:
        try:
            super().handle_one_request()
        except (ConnectionError, socket.timeout, OSError):
            self.close_connection = True

    def __getattr__(self, name: str) -> Any:
        # Any method (GET, POST, PATCH, custom) goes to the same handler.
        if name.startswith("do_"):
            return self._handle
        raise AttributeError(name)

    def _read_body(self) -> tuple[bytes, bool]:
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            parts = []
            while True:
                size_line = self.rfile.readline()
                size = int(size_line.split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass  # trailers
                    return b"".join(parts), True
                parts.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return (self.rfile.read(length) if length else b""), False

    def _handle(self) -> None:
        body, chunked = self._read_body()
        # From the request line itself: http.server may tidy self.path (e.g. leading "//").
        words = self.requestline.split()
        target = words[1] if len(words) >= 2 else self.path
        path, _, query = target.partition("?")
        recorded = RecordedRequest(
            method=self.command,
            target=target,
            path=path,
            query=query,
            headers=list(self.headers.items()),
            body=body,
            http_version=self.request_version,
            client_address=self.client_address,
            chunked=chunked,
        )
        response = self.server.recorder._next_response()
        self.server.recorder._record(recorded)
        try:
            self._respond(response)
        finally:
            response.done.set()

    def _respond(self, response: ScriptedResponse) -> None:
        if response.hold:
            response.released.wait(GATE_SAFETY_TIMEOUT)
        if response.drop:
            self.close_connection = True
            return
        body, headers = response.body_bytes()
        has_length = any(name.lower() == "content-length" for name, _ in headers)
        use_chunked = response.chunks is not None and not has_length
        self.send_response(response.status)
        for name, value in headers:
            self.send_header(name, value)
        if use_chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif not has_length:
            self.send_header("Content-Length", str(len(body)))
        if response.close_after is not None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return
        pieces: list[Chunk] = list(response.chunks) if response.chunks is not None else [body]
        budget = response.close_after
        for piece in pieces:
            if isinstance(piece, threading.Event):
                self.wfile.flush()
                piece.wait(GATE_SAFETY_TIMEOUT)
                continue
            if budget is not None:
                piece = piece[:budget]
                budget -= len(piece)
            if piece:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if use_chunked else piece)
                self.wfile.flush()
            if budget == 0:
                return  # truncated: the connection closes without finishing the body
        if use_chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    recorder: "RecordingServer"

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # clients that hang up early are expected here


class RecordingServer:
    """Start with `start()`, stop with `close()`; `script(...)` queues answers (FIFO)."""

    def __init__(self, default: ScriptedResponse | None = None, tls: ssl.SSLContext | None = None) -> None:
        """`tls`: a server-side context; then the server speaks HTTPS only."""
        self.requests: list[RecordedRequest] = []
        self.default = default or ScriptedResponse(200, body={})
        self._scripts: deque[ScriptedResponse] = deque()
        self._all_scripts: list[ScriptedResponse] = []
        self._condition = threading.Condition()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.recorder = self
        self._scheme = "http"
        if tls is not None:
            # A failed handshake fails the accept, which the server ignores.
            self._server.socket = tls.wrap_socket(self._server.socket, server_side=True)
            self._scheme = "https"
        # `close()` waits for the serving loop to see the stop at its next poll:
        # a short interval keeps that wait (once per test) to a few milliseconds.
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.005}, name="recording-server", daemon=True
        )

    @property
    def port(self) -> int:
        return self._server.server_address[1]

    @property
    def base_url(self) -> str:
        return f"{self._scheme}://127.0.0.1:{self.port}"

    def start(self) -> "RecordingServer":
        self._thread.start()
        return self

    def close(self) -> None:
        # Free any handler still waiting on a gate so its thread can end.
        with self._condition:
            scripts = list(self._all_scripts) + [self.default]
        for scripted in scripts:
            scripted.release()
            for gate in scripted.gates():
                gate.set()
        self._server.shutdown()
        self._server.server_close()

    def script(self, status: int = 200, body: Any = b"", **options: Any) -> ScriptedResponse:
        """Queue a response; options are the other ScriptedResponse fields."""
        return self.script_response(ScriptedResponse(status=status, body=body, **options))

    def script_response(self, response: ScriptedResponse) -> ScriptedResponse:
        with self._condition:
            self._scripts.append(response)
            self._all_scripts.append(response)
        return response

    def set_default(self, status: int = 200, body: Any = b"", **options: Any) -> ScriptedResponse:
        """Answer used once the scripted FIFO is empty (not for hold/gates: it is shared)."""
        with self._condition:
            self.default = ScriptedResponse(status=status, body=body, **options)
            return self.default

    def wait_for_requests(self, count: int, timeout: float = 5.0) -> list[RecordedRequest]:
        """Block until at least `count` requests were recorded; raises on timeout
        (stretched by VEXA_TEST_TIME_SCALE, as under emulation)."""
        timeout *= float(os.environ.get("VEXA_TEST_TIME_SCALE") or 1)
        with self._condition:
            if not self._condition.wait_for(lambda: len(self.requests) >= count, timeout):
                raise TimeoutError(f"expected {count} requests, got {len(self.requests)}")
            return list(self.requests)

    def reset(self) -> None:
        with self._condition:
            self.requests.clear()
            self._scripts.clear()

    def _next_response(self) -> ScriptedResponse:
        with self._condition:
            return self._scripts.popleft() if self._scripts else self.default

    def _record(self, request: RecordedRequest) -> None:
        with self._condition:
            self.requests.append(request)
            self._condition.notify_all()

    def __enter__(self) -> "RecordingServer":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


class ConnectionLog:
    """The connections a recorder accepts, each with an event set when it has ended.

    The recorder's handler serves a keep-alive connection until the client
    closes it, so an ended connection is one the client has closed.
    """

    def __init__(self, recorder: "RecordingServer") -> None:
        self._lock = threading.Lock()
        self._ended: list[threading.Event] = []
        self._threads: list[threading.Thread] = []  # the handlers' threads, for settle()
        log = self
        base = recorder._server.RequestHandlerClass

        class Tracking(base):  # type: ignore[misc, valid-type]
            def setup(self) -> None:
                super().setup()
                self.ended = threading.Event()
                with log._lock:
                    log._ended.append(self.ended)
                    log._threads.append(threading.current_thread())

            def finish(self) -> None:
                try:
                    super().finish()
                finally:
                    self.ended.set()

        recorder._server.RequestHandlerClass = Tracking

    @property
    def count(self) -> int:
        with self._lock:
            return len(self._ended)

    def open_count(self) -> int:
        with self._lock:
            return sum(not ended.is_set() for ended in self._ended)

    def all_closed(self, timeout: float = 10.0) -> bool:
        with self._lock:
            events = list(self._ended)
        return all(event.wait(timeout) for event in events)

    def settle(self, timeout: float = 10.0) -> bool:
        """Waits until the server is done with every connection so far and the
        threads that served them have ended (what a thread holds lives until
        it ends), then forgets them; False if one is still open after `timeout`."""
        with self._lock:
            events, threads = list(self._ended), list(self._threads)
        ended = all(event.wait(timeout) for event in events)
        for thread in threads:
            if ended and thread is not threading.current_thread():
                thread.join(timeout)
                ended = not thread.is_alive()
        with self._lock:
            self._ended = [event for event in self._ended if not event.is_set()]
            self._threads = [thread for thread in self._threads if thread.is_alive()]
        return ended
