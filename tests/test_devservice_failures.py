"""The local service when requests or its disk go wrong: bodies that stall or
trickle, answers that end a connection, and a data dir whose disk is full.
Real services on 127.0.0.1, raw sockets where the framing is the point."""

from __future__ import annotations

import socket
import sqlite3
import threading
from typing import Any, Callable

import httpx
import pytest
from test_devservice import upload

MakeZip = Callable[[dict[str, Any]], bytes]


def read_answer(connection: socket.socket) -> tuple[str, dict[str, str], bytes, bool]:
    """Status line, headers, the body read so far and whether the server closed the
    connection (read until it does, or until the socket's timeout)."""
    data = b""
    closed = False
    try:
        while piece := connection.recv(65536):
            data += piece
        closed = True
    except (socket.timeout, ConnectionResetError):
        pass
    head, _, body = data.partition(b"\r\n\r\n")
    status, *lines = head.decode("latin-1").split("\r\n")
    headers = {name.strip().lower(): value.strip() for name, value in (line.split(":", 1) for line in lines)}
    return status, headers, body, closed


# ----- request bodies -----

MULTIPART_HEAD = "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: 100000\r\n\r\n--b\r\n"
FORM_HEAD = "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 5000\r\n\r\nform_token="
BODIES = {
    # (path, head after the request line and Host, bytes a second trickled afterwards (0: none))
    "upload that stops": ("/code/upload", MULTIPART_HEAD, 0),
    "upload that trickles": ("/code/upload", MULTIPART_HEAD, 20),
    "dashboard form that stops": ("/ui/jobs/j_none/terminate", FORM_HEAD, 0),
    "dashboard form that trickles": ("/ui/jobs/j_none/terminate", FORM_HEAD, 20),
}


@pytest.mark.parametrize("case", BODIES, ids=BODIES.keys())
def test_every_body_must_keep_coming(service: Any, monkeypatch: pytest.MonkeyPatch, case: str) -> None:
    """A pause ends a body after the idle limit; a trickle that never pauses that long
    is cut once it falls behind the minimum rate. The answer closes the connection."""
    from vexa.devservice import bodies

    monkeypatch.setattr(bodies, "BODY_IDLE_SECONDS", 0.5)
    monkeypatch.setattr(bodies, "BODY_MIN_RATE", 100)  # bytes a second: the trickle below is slower
    path, head, rate = BODIES[case]
    request = f"POST {path} HTTP/1.1\r\nHost: {service.host}\r\nX-API-Key: {service.api_key}\r\n{head}"
    answered = threading.Event()
    with socket.create_connection((service.host, service.port), timeout=10) as connection:
        connection.sendall(request.encode())

        def trickle() -> None:
            while not answered.wait(1 / rate):  # the pace of the trickle, not a wait for the server
                try:
                    connection.sendall(b"x")
                except OSError:
                    return

        sender = threading.Thread(target=trickle) if rate else None
        if sender is not None:
            sender.start()
        try:
            status, headers, body, closed = read_answer(connection)
        finally:
            answered.set()
            if sender is not None:
                sender.join()
    expected = "did not arrive within 0.5 seconds" if not rate else "arrives too slowly (under 100 bytes a second)"
    assert status.startswith("HTTP/1.1 408 ") and expected in body.decode()
    assert headers.get("connection") == "close" and closed


@pytest.mark.parametrize(
    "path, answer",
    [
        ("/code/upload", "413"),
        ("/ui/jobs/j_none/terminate", "413"),
        ("/j_none/anything", "404"),  # answered before any of the body is read
    ],
)
def test_a_body_over_the_cap_is_refused_on_any_route(service: Any, path: str, answer: str) -> None:
    from vexa.devservice.routes import max_body_bytes

    cap = max_body_bytes(service.storage.limits)
    request = (
        f"POST {path} HTTP/1.1\r\nHost: {service.host}\r\nX-API-Key: {service.api_key}\r\n"
        f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {cap + 1}\r\n\r\nform_token=x"
    )
    with socket.create_connection((service.host, service.port), timeout=10) as connection:
        connection.sendall(request.encode())
        status, headers, body, closed = read_answer(connection)
    assert status.startswith(f"HTTP/1.1 {answer} ")
    if answer == "413":
        assert f"over the limit of {cap} bytes" in body.decode()
    assert headers.get("connection") == "close" and closed


def test_answers_with_the_whole_body_read_keep_the_connection(service: Any, make_zip: MakeZip) -> None:
    with httpx.Client(base_url=service.base_url, headers=service.headers) as client:
        upload(client, make_zip({"main.py": "print(1)"}))
        again = client.post(
            "/code/upload", data={"code_name": "x", "code_type": "nonsense"}, files={"code_zip": ("a.zip", b"PK")}
        )
        assert again.status_code == 422 and "connection" not in again.headers


# ----- a failure of the service itself -----


def test_a_500_says_connection_close_and_the_code_stays_listed(
    service_factory: Callable[..., Any], make_zip: MakeZip
) -> None:
    """A delete the database refuses is a 500 (not a disk-full 507): the connection is
    closed with `Connection: close`, and the code is still listed, before and after a restart."""
    service = service_factory()
    with httpx.Client(base_url=service.base_url, headers=service.headers) as client:
        code_id = upload(client, make_zip({"main.py": "print(1)"}))
    outside = sqlite3.connect(service.data_dir / "vexa.sqlite3")
    outside.execute("CREATE TRIGGER refuse BEFORE DELETE ON code BEGIN SELECT RAISE(ABORT, 'refused'); END")
    outside.commit()
    request = f"DELETE /code/{code_id} HTTP/1.1\r\nHost: {service.host}\r\nX-API-Key: {service.api_key}\r\n\r\n"
    with socket.create_connection((service.host, service.port), timeout=10) as connection:
        connection.sendall(request.encode())
        status, headers, body, closed = read_answer(connection)
    assert status.startswith("HTTP/1.1 500 ") and b"Internal server error: IntegrityError" in body
    assert headers.get("connection") == "close" and closed
    with httpx.Client(base_url=service.base_url, headers=service.headers) as client:
        assert [record["code_id"] for record in client.get("/code/info").json()] == [code_id]
        outside.execute("DROP TRIGGER refuse")
        outside.commit()
        assert client.delete(f"/code/{code_id}").status_code == 200
        assert client.get("/code/info").json() == []
    outside.close()
