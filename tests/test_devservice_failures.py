"""The local service when requests or its disk go wrong: bodies that stall or
trickle, answers that end a connection, and a data dir whose disk is full.
Real services on 127.0.0.1, raw sockets where the framing is the point."""

from __future__ import annotations

import errno
import os
import socket
import sqlite3
import subprocess
import threading
from pathlib import Path
from typing import Any, Callable, Iterator

import httpx
import pytest
from test_devservice import job_json, upload, wait_until
from test_devservice_durable import output_so_far
from test_devservice_runner import (
    PROCESS_DEADLINE,
    client_for,
    output_of,
    processes_of,
    result_files,
    run_stored,
    wait_for_end,
)

pytestmark = pytest.mark.apart_from_clients

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
    except ConnectionResetError:
        closed = True  # closed while a trickle was still sending: the peer's kernel answers with a reset
    except socket.timeout:
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
# The least rate a body must keep, in bytes a second: what the head brings covers a
# stopped body for seconds (its pause is what ends it), and a trickle falls behind at once.
MIN_RATE = {0: 1, 20: 100}


@pytest.mark.parametrize("case", BODIES, ids=BODIES.keys())
def test_every_body_must_keep_coming(service: Any, monkeypatch: pytest.MonkeyPatch, case: str) -> None:
    """A pause ends a body after the idle limit; a trickle that never pauses that long
    is cut once it falls behind the minimum rate. The answer closes the connection."""
    from vexa.devservice import bodies

    path, head, rate = BODIES[case]
    monkeypatch.setattr(bodies, "BODY_IDLE_SECONDS", 0.5)
    monkeypatch.setattr(bodies, "BODY_MIN_RATE", MIN_RATE[rate])
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


# ABORT undoes the statement; ROLLBACK has SQLite undo the whole transaction itself, as a
# full disk may, so that the service must not roll it back a second time.
@pytest.mark.parametrize("undo", ["ABORT", "ROLLBACK"])
def test_a_500_says_connection_close_and_the_code_stays_listed(
    service_factory: Callable[..., Any], make_zip: MakeZip, undo: str
) -> None:
    """A delete the database refuses is a 500 (not a disk-full 507) naming the database's
    error: the connection is closed with `Connection: close`, and the code is still listed,
    before and after a restart."""
    service = service_factory()
    with httpx.Client(base_url=service.base_url, headers=service.headers) as client:
        code_id = upload(client, make_zip({"main.py": "print(1)"}))
    outside = sqlite3.connect(service.data_dir / "vexa.sqlite3")
    outside.execute(f"CREATE TRIGGER refuse BEFORE DELETE ON code BEGIN SELECT RAISE({undo}, 'refused'); END")
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


# ----- a full disk -----


@pytest.fixture
def small_disk(tmp_path: Path) -> Iterator[Path]:
    """A tmpfs of a few MiB for the data dir, mounted for the test (root only)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small filesystem needs root")
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs", str(disk)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    yield disk
    subprocess.run(["umount", "--lazy", str(disk)], check=True)


def fill(disk: Path) -> Path:
    """Take every byte left on `disk` (tmpfs hands out whole pages: the last writes are smaller)."""
    filler = disk / "filler"
    with open(filler, "wb", buffering=0) as out:
        for size in (1 << 20, 4096, 1):
            try:
                while True:
                    out.write(b"\0" * size)
            except OSError as exc:
                assert exc.errno == errno.ENOSPC
    return filler


def code_ids(client: httpx.Client) -> list[str]:
    return [record["code_id"] for record in client.get("/code/info").json()]


def test_a_full_disk_refuses_uploads_with_507_and_keeps_the_code_as_it_was(
    small_disk: Path, service_factory: Callable[..., Any], make_zip: MakeZip
) -> None:
    data_dir = small_disk / "data"
    service = service_factory(data_dir=data_dir)
    with httpx.Client(base_url=service.base_url, headers=service.headers) as client:
        kept = upload(client, make_zip({"main.py": "print(1)"}))
        deleted = upload(client, make_zip({"main.py": "print(2)"}))
        filler = fill(small_disk)
        files = {"code_zip": ("code.zip", make_zip({"main.py": "print(3)"}), "application/zip")}
        refused = client.post("/code/upload", data={"code_name": "more", "code_type": "python"}, files=files)
        assert refused.status_code == 507
        assert refused.json()["detail"].startswith("The service's disk is full: the request was not carried out")
        # A delete needs room in the database's journal too: done whole, or not at all.
        answer = client.delete(f"/code/{deleted}")
        assert answer.status_code in (200, 507)
        listed = [kept] if answer.status_code == 200 else [deleted, kept]
        assert code_ids(client) == listed
        assert sorted(path.name for path in (data_dir / "code").iterdir()) == sorted(listed)
        filler.unlink()
        added = upload(client, make_zip({"main.py": "print(3)"}))
        assert code_ids(client) == [added, *listed]
    service.stop()
    with (
        service_factory(data_dir=data_dir) as again,
        httpx.Client(base_url=again.base_url, headers=again.headers) as client,
    ):
        assert code_ids(client) == [added, *listed]


# A job that waits for the test's word, then prints a lot or ends at once, leaving a file
# for its result. "A lot" is more than the database's files can take without growing: its
# write-ahead log keeps the pages it has had (up to about 4 MiB before a checkpoint), so
# the lines must outgrow that on any machine, though they stay under the output cap.
PRINTED_LINES = 50_000
WAITER = """
import os, pathlib, sys, time
pathlib.Path(os.environ["VEXA_OUTPUT_DIR"], "left.txt").write_text("a file of the job's")
print("ready", flush=True)
while not os.path.exists({go!r}):
    time.sleep(0.01)
if {printing!r}:
    for n in range({lines}):
        print("line", n, "x" * 100)
    sys.stdout.flush()
    time.sleep(300)
"""
UNSAVED = {
    # what the job does once the disk is full: (prints, the error it ends with)
    "output": (True, "The service could not save the job's output (the disk is full), so it stopped the job"),
    "end": (
        False,
        "The service could not save the job's end when it came (the disk is full), so the files it left were "
        "not kept; it had finished",
    ),
}


@pytest.mark.parametrize("case", UNSAVED)
def test_a_job_the_disk_cannot_take_ends_failed_once_there_is_room(
    small_disk: Path, service_factory: Callable[..., Any], make_zip: MakeZip, tmp_path: Path, case: str
) -> None:
    """On a full disk a job's processes end at once; its end waits (terminate says so
    with a 507, its stream shows only what was saved) and comes as soon as there is
    room, "failed" with the reason. Every line shown stays, in order, after a restart."""
    printing, error = UNSAVED[case]
    data_dir = small_disk / "data"
    go = tmp_path / "go"
    service = service_factory(data_dir=data_dir, simulate=False)
    with client_for(service) as client:
        job_id = run_stored(
            client, make_zip({"main.py": WAITER.format(go=str(go), printing=printing, lines=PRINTED_LINES)})
        )["job_id"]
        wait_until(
            lambda: ("stdout", "ready") in output_so_far(client, job_id),
            "the job to be ready",
            timeout=PROCESS_DEADLINE,
        )
        filler = fill(small_disk)
        go.touch()
        wait_until(lambda: processes_of(job_id) == [], "the job's processes to end", timeout=PROCESS_DEADLINE)
        wait_until(lambda: service.runner.get(job_id).end_waiting.is_set(), "the job's end to wait for room")
        assert job_json(client, job_id)["job_status"] == "started"  # not ended until its end is saved
        refused = client.post(f"/jobs/{job_id}/terminate")
        assert refused.status_code == 507
        assert (
            refused.json()["detail"]
            == f"Job {job_id} is stopped, but its end could not be saved yet (the disk is full)"
        )
        shown = output_so_far(client, job_id)
        filler.unlink()
        ended = wait_for_end(client, job_id)
        assert (ended["job_status"], ended["error"]) == ("failed", error)
        lines = output_of(client, job_id)
        assert lines[: len(shown)] == shown  # what was shown stays
        printed = [text for stream, text in lines if stream == "stdout" and not text.startswith("[vexa]")]
        expected = ["ready", *(f"line {n} {'x' * 100}" for n in range(len(printed) - 1))]
        # The job is killed while it prints: its last line may be cut where its
        # buffer was when it died (what it wrote is shown, no more).
        assert printed[:-1] == expected[:-1] and expected[-1].startswith(printed[-1])
        if printing:
            assert 0 < len(printed) - 1 < PRINTED_LINES  # cut where the disk filled: none after, none missing before
        assert ("stderr", "[vexa] " + error) in lines or not printing
        files = result_files(client, job_id)
        assert "left.txt" not in files and files["output.txt"].decode().splitlines() == [text for _, text in lines]
    service.stop()
    with service_factory(data_dir=data_dir, simulate=False) as again, client_for(again) as client:
        assert job_json(client, job_id)["error"] == error
        assert output_of(client, job_id) == lines
