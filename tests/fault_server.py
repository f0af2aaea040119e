"""An HTTP server on 127.0.0.1 that answers every request with a chosen fault.

The fault is the first path segment, so a client whose base URL is
"http://127.0.0.1:PORT/cut-body" meets it on every request it makes; the
rest of the path says what kind of body the operation expects (a JSON value,
a byte download, a stream of lines). The server runs in a subprocess so that
its sockets never show up in the test process's file descriptors.

    python fault_server.py   # prints the port, serves until stdin closes
"""

from __future__ import annotations

import json
import socket
import struct
import subprocess
import sys
import threading
from typing import Iterator

# Longest a stalled answer waits for the client to hang up, so that a test
# that forgets a client cannot keep a server thread forever.
STALL_LIMIT_SECONDS = 60.0
BIG_LINE_BYTES = 10 * 1024 * 1024
HTML_PAGE = (
    b"<html><head><title>502 Bad Gateway</title></head><body>" + b"<p>upstream down</p>" * 100 + b"</body></html>"
)
NON_UTF8_TEXT = b"caf\xe9 \xff"

FAULTS = (
    "cut-headers",
    "cut-body",
    "reset",
    "stall",
    "malformed-json",
    "wrong-shape",
    "non-utf8",
    "big-line",
    "html-500",
    "redirect",
)


def body_kind(path: str) -> str:
    """What an operation on this path reads: "lines", "bytes", "list" or "object"."""
    if path.endswith("/stream"):
        return "lines"
    if path.endswith(("/download", "/result")):
        return "bytes"
    if path.endswith(("/jobs", "/code/info")):
        return "list"
    return "object"


def big_object() -> dict[str, str]:
    # Valid as a Job and as a CodeInfo; the stage ends any wait at once.
    return {"job_id": "j1", "code_id": "c1", "job_stage": "post_running", "pad": "x" * BIG_LINE_BYTES}


def ok_body(kind: str, fault: str) -> bytes:
    """The body of a 200 answer for the faults that are about the body itself."""
    if kind == "bytes":
        return b"PK\x05\x06" + b"\x00" * 18 if fault != "big-line" else b"\x00" * BIG_LINE_BYTES
    if fault == "malformed-json":
        return b'{"text": "half' if kind == "lines" else b'{"job_id": "j1", '
    if fault == "wrong-shape":
        return b"[1, 2]\n"
    if fault == "non-utf8":
        if kind == "lines":
            return b'{"text": "' + NON_UTF8_TEXT + b'"}\n'
        return b'{"job_id": "' + NON_UTF8_TEXT + b'", "code_id": "c1"}'
    if fault == "big-line":
        if kind == "lines":
            return json.dumps({"text": "x" * BIG_LINE_BYTES}).encode() + b"\n"
        value = big_object()
        return json.dumps([value] if kind == "list" else value).encode()
    raise ValueError(f"no body for fault {fault!r}")


def head(status: str, headers: list[tuple[str, str]], length: int | None) -> bytes:
    lines = [f"HTTP/1.1 {status}", *(f"{name}: {value}" for name, value in headers), "Connection: close"]
    if length is not None:
        lines.append(f"Content-Length: {length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def read_request(connection: socket.socket) -> str:
    """Reads one request (headers and any Content-Length body); returns its path."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(65536)
        if not chunk:
            return ""
        data += chunk
    header_block, _, rest = data.partition(b"\r\n\r\n")
    lines = header_block.decode("latin-1").split("\r\n")
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = connection.recv(65536)
        if not chunk:
            break
        rest += chunk
    return lines[0].split()[1].partition("?")[0]


def answer(connection: socket.socket, fault: str, kind: str) -> None:
    if fault == "cut-headers":
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: applic")
    elif fault == "cut-body":
        connection.sendall(head("200 OK", [("Content-Type", "application/json")], 1000) + b'{"job_id": "j1"')
    elif fault == "reset":
        # Linger 0: close() sends a TCP reset instead of a FIN.
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif fault == "stall":
        connection.settimeout(STALL_LIMIT_SECONDS)
        try:
            while connection.recv(65536):
                pass  # until the client gives up and hangs up
        except OSError:
            pass
    elif fault == "html-500":
        connection.sendall(
            head("500 Internal Server Error", [("Content-Type", "text/html")], len(HTML_PAGE)) + HTML_PAGE
        )
    elif fault == "redirect":
        connection.sendall(head("302 Found", [("Location", "http://127.0.0.1:9/elsewhere")], 0))
    else:
        body = ok_body(kind, fault)
        content_type = "application/octet-stream" if kind == "bytes" else "application/json"
        connection.sendall(head("200 OK", [("Content-Type", content_type)], len(body)) + body)


def serve_connection(connection: socket.socket) -> None:
    with connection:
        try:
            path = read_request(connection)
            if not path:
                return
            fault, _, rest = path.lstrip("/").partition("/")
            answer(connection, fault, body_kind("/" + rest))
        except OSError:
            pass  # the client hung up first


def serve(listener: socket.socket, stop: threading.Event) -> None:
    listener.settimeout(0.2)
    while not stop.is_set():
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        connection.settimeout(None)
        threading.Thread(target=serve_connection, args=(connection,), daemon=True).start()


def main() -> None:
    listener = socket.create_server(("127.0.0.1", 0), backlog=128)
    stop = threading.Event()
    threading.Thread(target=serve, args=(listener, stop), daemon=True).start()
    print(listener.getsockname()[1], flush=True)
    sys.stdin.read()  # the test process closes our stdin when it is done
    stop.set()


class FaultServer:
    """The fault server in a subprocess; `url(fault)` is a base URL that meets `fault`."""

    def __init__(self) -> None:
        self._process = subprocess.Popen(
            [sys.executable, __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        assert self._process.stdout is not None
        self.port = int(self._process.stdout.readline())

    def url(self, fault: str) -> str:
        return f"http://127.0.0.1:{self.port}/{fault}"

    def close(self) -> None:
        assert self._process.stdin is not None and self._process.stdout is not None
        self._process.stdin.close()
        self._process.wait(timeout=10)
        self._process.stdout.close()


def running_fault_server() -> Iterator[FaultServer]:
    """For a fixture: one fault server, closed afterwards."""
    server = FaultServer()
    try:
        yield server
    finally:
        server.close()


if __name__ == "__main__":
    main()
