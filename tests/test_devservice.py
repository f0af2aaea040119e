"""The local dev service over real HTTP (httpx against the in-thread server),
plus the recording server that other tests rely on."""

from __future__ import annotations

import io
import json
import socket
import threading
import time
import zipfile
from typing import Any, Callable

import httpx
import pytest
from recording_server import RecordingServer

DEADLINE_SECONDS = 10.0


def wait_until(check: Callable[[], Any], what: str, timeout: float = DEADLINE_SECONDS) -> Any:
    """Poll `check` until it returns something truthy or the deadline passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


def upload(
    client: httpx.Client, zip_bytes: bytes, name: str = "demo", code_type: str = "python", metadata: Any = None
) -> str:
    files: dict[str, Any] = {"code_zip": ("code.zip", zip_bytes, "application/zip")}
    if metadata is not None:
        files["metadata"] = ("metadata.json", json.dumps(metadata).encode(), "application/json")
    response = client.post("/code/upload", data={"code_name": name, "code_type": code_type}, files=files)
    assert response.status_code == 200, response.text
    code_id = response.json()
    assert isinstance(code_id, str) and code_id.startswith("c_")
    return code_id


def ingest(
    client: httpx.Client, zip_bytes: bytes, name: str = "ingested", build_pexenv: bool = False
) -> dict[str, Any]:
    response = client.post(
        "/jobs/code/ingest",
        data={"code_name": name, "code_type": "python", "build_pexenv": build_pexenv, "pexenv_python": None},
        files={
            "code_zip": ("code.zip", zip_bytes, "application/zip"),
            "metadata": ("m.json", b"{}", "application/json"),
        },
    )
    assert response.status_code == 200, response.text
    return response.json()


def job_json(client: httpx.Client, job_id: str) -> dict[str, Any]:
    response = client.get(f"/jobs/{job_id}")
    assert response.status_code == 200, response.text
    return response.json()


def wait_for_status(client: httpx.Client, job_id: str, *statuses: str) -> dict[str, Any]:
    return wait_until(
        lambda: (job := job_json(client, job_id))["job_status"] in statuses and job,
        f"job {job_id} to reach {statuses}",
    )


def read_ndjson(response: httpx.Response) -> tuple[list[dict[str, Any]], int]:
    """Parsed lines and the number of blank keep-alive lines."""
    lines, blanks = [], 0
    for raw in response.iter_lines():
        if raw.strip():
            lines.append(json.loads(raw))
        else:
            blanks += 1
    return lines, blanks


# ----- auth and errors -----


@pytest.mark.parametrize(
    ("method", "path"),
    [("GET", "/code/info"), ("GET", "/jobs"), ("GET", "/jobs/j_missing"), ("POST", "/code/upload"), ("GET", "/x/ping")],
)
@pytest.mark.parametrize(
    "headers", [{}, {"X-API-Key": "wrong-key"}, {"X-API-Key": ""}], ids=["missing", "wrong", "empty"]
)
def test_requests_without_the_right_key_are_rejected(service, method: str, path: str, headers: dict[str, str]) -> None:
    response = httpx.request(method, service.base_url + path, headers=headers)
    assert response.status_code == 401
    assert response.json() == {"detail": "Invalid or missing API key"}


def test_service_without_api_key_accepts_anonymous_requests(service_factory) -> None:
    open_service = service_factory(api_key=None)
    assert httpx.get(open_service.base_url + "/code/info").json() == []


@pytest.mark.parametrize(
    ("method", "path", "detail"),
    [
        ("GET", "/code/c_missing/info", "Code c_missing not found"),
        ("GET", "/code/c_missing/metadata", "Code c_missing not found"),
        ("GET", "/code/c_missing/download", "Code c_missing not found"),
        ("DELETE", "/code/c_missing", "Code c_missing not found"),
        ("POST", "/jobs/code/c_missing/run/web", "Code c_missing not found"),
        ("POST", "/jobs/code/c_missing/run", "Code c_missing not found"),
        ("GET", "/jobs/j_missing", "Job j_missing not found"),
        ("GET", "/jobs/j_missing/status", "Job j_missing not found"),
        ("GET", "/jobs/j_missing/stage", "Job j_missing not found"),
        ("GET", "/jobs/j_missing/error", "Job j_missing not found"),
        ("GET", "/jobs/j_missing/code_id", "Job j_missing not found"),
        ("GET", "/jobs/j_missing/result", "Job j_missing not found"),
        ("GET", "/jobs/j_missing/stream", "Job j_missing not found"),
        ("POST", "/jobs/j_missing/terminate", "Job j_missing not found"),
        ("GET", "/j_missing/ping", "Job j_missing not found"),
        ("GET", "/no/such/route/here", "Not Found"),
    ],
)
def test_unknown_ids_answer_404_json(service_client: httpx.Client, method: str, path: str, detail: str) -> None:
    response = service_client.request(method, path)
    assert response.status_code == 404
    assert response.headers["content-type"].startswith("application/json")
    assert response.json() == {"detail": detail}


# ----- code storage -----


def test_code_round_trip(service_client: httpx.Client, make_zip) -> None:
    zip_bytes = make_zip({"main.py": "print('hello')", "pkg/util.py": "X = 1\n"})
    metadata = {"owner": "me", "tags": ["a", "b"], "nested": {"n": 1}}
    code_id = upload(service_client, zip_bytes, name="round-trip", metadata=metadata)

    info = service_client.get(f"/code/{code_id}/info").json()
    assert info["code_id"] == code_id
    assert info["code_name"] == "round-trip"
    assert info["code_type"] == "python"
    assert info["size"] == len(zip_bytes)
    assert info["metadata"] == metadata
    assert "T" in info["created_at"]
    assert service_client.get(f"/code/{code_id}/metadata").json() == metadata

    download = service_client.get(f"/code/{code_id}/download")
    assert download.status_code == 200
    assert download.headers["content-type"] == "application/zip"
    assert download.content == zip_bytes

    listed = service_client.get("/code/info").json()
    assert listed[0]["code_id"] == code_id  # newest first

    deleted = service_client.delete(f"/code/{code_id}")
    assert deleted.status_code == 200 and deleted.json() == {"detail": "deleted"}
    for path in (f"/code/{code_id}/info", f"/code/{code_id}/metadata", f"/code/{code_id}/download"):
        assert service_client.get(path).status_code == 404
    assert service_client.delete(f"/code/{code_id}").status_code == 404
    assert code_id not in [item["code_id"] for item in service_client.get("/code/info").json()]


@pytest.mark.parametrize("metadata_part", [None, b"", b"null"], ids=["absent", "empty", "null"])
def test_metadata_is_null_when_none_given(service_client: httpx.Client, make_zip, metadata_part: bytes | None) -> None:
    files: dict[str, Any] = {"code_zip": ("code.zip", make_zip({"a.py": ""}), "application/zip")}
    if metadata_part is not None:
        files["metadata"] = ("m.json", metadata_part, "application/json")
    code_id = service_client.post("/code/upload", data={"code_name": "n", "code_type": "python"}, files=files).json()
    assert service_client.get(f"/code/{code_id}/metadata").json() is None
    assert service_client.get(f"/code/{code_id}/info").json()["metadata"] is None


@pytest.mark.parametrize("metadata", [[1, 2, 3], "text", 42, {"k": None}])
def test_metadata_may_be_any_json_value(service_client: httpx.Client, make_zip, metadata: Any) -> None:
    code_id = upload(service_client, make_zip({"a.py": ""}), metadata=metadata)
    assert service_client.get(f"/code/{code_id}/metadata").json() == metadata


@pytest.mark.parametrize("code_type", ["python", "web"])
def test_code_list_filters_by_type(service_factory, make_zip, code_type: str) -> None:
    fresh = service_factory()
    with httpx.Client(base_url=fresh.base_url, headers=fresh.headers) as client:
        ids = {
            kind: [upload(client, make_zip({"f": kind}), name=f"{kind}-{i}", code_type=kind) for i in range(2)]
            for kind in ("python", "web")
        }
        everything = client.get("/code/info").json()
        filtered = client.get("/code/info", params={"code_type": code_type}).json()
    assert [item["code_id"] for item in everything] == ids["web"][::-1] + ids["python"][::-1]
    assert [item["code_id"] for item in filtered] == ids[code_type][::-1]
    assert all(item["code_type"] == code_type for item in filtered)


@pytest.mark.parametrize(
    ("data", "files", "fragment"),
    [
        (
            {"code_name": "n", "code_type": "python"},
            {"code_zip": ("c.zip", b"not a zip", "application/zip")},
            "not a zip",
        ),
        (
            {"code_name": "n", "code_type": "cobol"},
            {"code_zip": ("c.zip", b"PK\x03\x04", "application/zip")},
            "code_type",
        ),
        (
            {"code_name": "", "code_type": "python"},
            {"code_zip": ("c.zip", b"PK\x03\x04", "application/zip")},
            "code_name",
        ),
        ({"code_type": "python"}, {"code_zip": ("c.zip", b"PK\x03\x04", "application/zip")}, "code_name"),
        ({"code_name": "n", "code_type": "python"}, {"other": ("c.zip", b"PK", "application/zip")}, "code_zip"),
        (
            {"code_name": "n", "code_type": "python"},
            {
                "code_zip": ("c.zip", b"PK\x03\x04", "application/zip"),
                "metadata": ("m.json", b"{broken", "application/json"),
            },
            "metadata",
        ),
    ],
    ids=["not-zip", "bad-type", "empty-name", "missing-name", "missing-zip", "bad-metadata"],
)
def test_bad_uploads_answer_422(service_client: httpx.Client, data: dict, files: dict, fragment: str) -> None:
    before = len(service_client.get("/code/info").json())
    response = service_client.post("/code/upload", data=data, files=files)
    assert response.status_code == 422
    assert fragment in response.json()["detail"]
    assert len(service_client.get("/code/info").json()) == before


@pytest.mark.parametrize(
    ("path", "params"),
    [
        ("/code/info", {"code_type": "cobol"}),
        ("/jobs", {"job_status": "sleeping"}),
        ("/jobs", {"job_type": "x"}),
        ("/jobs", {"job_stage": "x"}),
    ],
)
def test_bad_filters_answer_422(service_client: httpx.Client, path: str, params: dict[str, str]) -> None:
    response = service_client.get(path, params=params)
    assert response.status_code == 422
    assert "must be one of" in response.json()["detail"]


def test_stored_code_survives_a_restart(service_factory, tmp_path, make_zip) -> None:
    data_dir = tmp_path / "persistent"
    zip_bytes = make_zip({"main.py": "print(2)"})
    first = service_factory(data_dir=data_dir)
    with httpx.Client(base_url=first.base_url, headers=first.headers) as client:
        kept = upload(client, zip_bytes, name="kept", metadata={"v": 1})
        dropped = upload(client, zip_bytes, name="dropped")
        client.delete(f"/code/{dropped}")
    first.stop()

    second = service_factory(data_dir=data_dir)
    with httpx.Client(base_url=second.base_url, headers=second.headers) as client:
        assert [item["code_id"] for item in client.get("/code/info").json()] == [kept]
        assert client.get(f"/code/{kept}/info").json()["metadata"] == {"v": 1}
        assert client.get(f"/code/{kept}/download").content == zip_bytes


# ----- jobs -----


def test_ingest_job_runs_to_finished(service_client: httpx.Client, make_zip) -> None:
    zip_bytes = make_zip({"main.py": "print(3)"})
    job = ingest(service_client, zip_bytes, name="ingest-me", build_pexenv=True)
    job_id = job["job_id"]
    assert job["job_type"] == "ingest"
    assert job["job_status"] == "queued" and job["job_stage"] == "pre_running"
    assert job["started_at"] is None and job["ended_at"] is None and job["error"] is None

    seen_running = wait_until(
        lambda: service_client.get(f"/jobs/{job_id}/stage").json() in ("running", "post_running"), "job to start"
    )
    assert seen_running
    done = wait_for_status(service_client, job_id, "finished")
    assert done["job_stage"] == "post_running"
    assert done["started_at"] and done["ended_at"] and done["error"] is None

    assert service_client.get(f"/jobs/{job_id}/status").json() == "finished"
    assert service_client.get(f"/jobs/{job_id}/stage").json() == "post_running"
    assert service_client.get(f"/jobs/{job_id}/error").json() is None
    code_id = service_client.get(f"/jobs/{job_id}/code_id").json()
    assert code_id == job["code_id"]
    assert service_client.get(f"/code/{code_id}/info").json()["code_name"] == "ingest-me"
    assert service_client.get(f"/code/{code_id}/download").content == zip_bytes

    result = service_client.get(f"/jobs/{job_id}/result")
    assert result.status_code == 200 and result.headers["content-type"] == "application/zip"
    with zipfile.ZipFile(io.BytesIO(result.content)) as archive:
        output = archive.read("output.txt").decode()
    assert "building pex environment with python default" in output
    assert "step 5/5" in output


@pytest.mark.parametrize(
    ("name", "files", "status"),
    [
        ("fail-by-name", {"main.py": ""}, "failed"),
        ("plain", {"main.py": "", "fail": ""}, "failed"),
        ("timeout-by-name", {"main.py": ""}, "timeout"),
        ("plain", {"cancel": ""}, "canceled"),
    ],
    ids=["fail-name", "fail-file", "timeout", "cancel"],
)
def test_failing_jobs_end_with_an_error(
    service_client: httpx.Client, make_zip, name: str, files: dict, status: str
) -> None:
    job_id = ingest(service_client, make_zip(files), name=name)["job_id"]
    ended = wait_for_status(service_client, job_id, "finished", "failed", "timeout", "canceled", "stopped")
    assert ended["job_status"] == status
    assert ended["job_stage"] == "post_running"
    assert ended["error"]
    assert service_client.get(f"/jobs/{job_id}/error").json() == ended["error"]


def test_unknown_stage_hook(service_client: httpx.Client, make_zip) -> None:
    job_id = ingest(service_client, make_zip({"a": ""}), name="unknown-stage-job")["job_id"]
    wait_until(lambda: service_client.get(f"/jobs/{job_id}/stage").json() == "unknown", "stage unknown")
    assert service_client.get(f"/jobs/{job_id}/status").json() == "started"


def test_web_job_ping_and_terminate(service, service_client: httpx.Client, make_zip) -> None:
    # The "hold" file keeps the job queued until released, so "not ready" is observable.
    response = service_client.post(
        "/jobs/code/run/web", files={"code_zip": ("site.zip", make_zip({"hold": ""}), "application/zip")}
    )
    assert response.status_code == 200, response.text
    job = response.json()
    job_id = job["job_id"]
    assert job["job_type"] == "web"
    info = service_client.get(f"/code/{job['code_id']}/info").json()
    assert info["code_type"] == "web" and info["code_name"] == "site"

    not_ready = service_client.get(f"/{job_id}/ping")
    assert not_ready.status_code == 503 and not_ready.json() == {"detail": "not ready"}

    service.runner.release(job_id)
    wait_until(lambda: service_client.get(f"/{job_id}/ping").status_code == 200, "web job to answer pings")
    assert service_client.get(f"/{job_id}/ping").json() == {"status": "ok"}
    assert service_client.get(f"/jobs/{job_id}/result").status_code == 409

    terminated = service_client.post(f"/jobs/{job_id}/terminate")
    assert terminated.status_code == 200
    assert terminated.json()["job_status"] == "stopped" and terminated.json()["job_stage"] == "post_running"
    assert service_client.get(f"/{job_id}/ping").status_code == 404
    assert service_client.get(f"/jobs/{job_id}/result").status_code == 200
    # Terminating an ended job leaves it as it is.
    assert service_client.post(f"/jobs/{job_id}/terminate").json()["job_status"] == "stopped"


def test_web_job_for_stored_code_keeps_running(service_client: httpx.Client, make_zip) -> None:
    code_id = upload(service_client, make_zip({"app.py": ""}), name="stored-web", code_type="web")
    response = service_client.post(f"/jobs/code/{code_id}/run/web")
    assert response.status_code == 200
    job = response.json()
    assert job["job_type"] == "web" and job["code_id"] == code_id
    job_id = job["job_id"]
    wait_until(lambda: service_client.get(f"/{job_id}/ping").status_code == 200, "web job to answer pings")
    # Web jobs outlive run-seconds: only terminate ends them.
    with service_client.stream("GET", f"/jobs/{job_id}/stream") as response:
        for raw in response.iter_lines():
            if raw.strip() and json.loads(raw)["text"] == "web app ready":
                break
    assert service_client.get(f"/jobs/{job_id}/status").json() == "started"
    assert service_client.get(f"/jobs/{job_id}/stage").json() == "running"
    assert service_client.post(f"/jobs/{job_id}/terminate").json()["job_status"] == "stopped"


def test_ping_of_a_non_web_job_is_404(service_client: httpx.Client, make_zip) -> None:
    job_id = ingest(service_client, make_zip({"hold": ""}))["job_id"]
    response = service_client.get(f"/{job_id}/ping")
    assert response.status_code == 404 and "not a web job" in response.json()["detail"]
    service_client.post(f"/jobs/{job_id}/terminate")


def test_job_list_filters_combine(service_factory, make_zip) -> None:
    fresh = service_factory()
    with httpx.Client(base_url=fresh.base_url, headers=fresh.headers) as client:
        run_code = upload(client, make_zip({"main.py": ""}), name="runner")
        finished_run = client.post(f"/jobs/code/{run_code}/run").json()
        held_code = upload(client, make_zip({"hold": ""}), name="held")
        held_run = client.post(f"/jobs/code/{held_code}/run").json()
        held_web = client.post(f"/jobs/code/{held_code}/run/web").json()
        wait_for_status(client, finished_run["job_id"], "finished")

        def ids(**params: str) -> list[str]:
            response = client.get("/jobs", params=params)
            assert response.status_code == 200
            return [job["job_id"] for job in response.json()]

        assert ids() == [held_web["job_id"], held_run["job_id"], finished_run["job_id"]]
        assert ids(job_type="run") == [held_run["job_id"], finished_run["job_id"]]
        assert ids(job_type="run", job_status="queued") == [held_run["job_id"]]
        assert ids(job_status="queued", job_stage="pre_running") == [held_web["job_id"], held_run["job_id"]]
        assert ids(job_type="web", job_status="finished") == []
        assert ids(job_stage="post_running") == [finished_run["job_id"]]


def test_stream_sends_all_lines_then_closes(service_client: httpx.Client, make_zip) -> None:
    code_id = upload(service_client, make_zip({"main.py": ""}), name="streamed")
    job_id = service_client.post(f"/jobs/code/{code_id}/run").json()["job_id"]
    with service_client.stream("GET", f"/jobs/{job_id}/stream") as response:
        assert response.status_code == 200
        assert response.headers["content-type"].startswith("application/x-ndjson")
        lines, _ = read_ndjson(response)
    # The stream closed by itself, so the job must have ended.
    assert service_client.get(f"/jobs/{job_id}/status").json() == "finished"
    assert {line["stream"] for line in lines} == {"stdout", "stderr"}
    assert all(set(line) == {"job_id", "stream", "text", "timestamp"} and line["job_id"] == job_id for line in lines)
    texts = [line["text"] for line in lines]
    assert texts[0] == "[run] streamed: started" and texts[-1] == "[run] streamed: done"
    assert [t for t in texts if "step" in t] == [f"[run] streamed: step {i}/5" for i in range(1, 6)]
    # Streaming an ended job replays the same lines, matching the result zip.
    with service_client.stream("GET", f"/jobs/{job_id}/stream") as again:
        assert [line["text"] for line in read_ndjson(again)[0]] == texts
    with zipfile.ZipFile(io.BytesIO(service_client.get(f"/jobs/{job_id}/result").content)) as archive:
        assert archive.read("output.txt").decode().splitlines() == texts


def test_stream_keeps_alive_while_idle_and_ends_on_terminate(service_client: httpx.Client, make_zip) -> None:
    job_id = ingest(service_client, make_zip({"hold": ""}))["job_id"]
    with httpx.Client(base_url=service_client.base_url, headers=service_client.headers) as other:
        with service_client.stream("GET", f"/jobs/{job_id}/stream") as response:
            lines_iter = response.iter_lines()
            assert next(lines_iter) == ""  # idle job: keep-alive blank line
            assert other.get(f"/jobs/{job_id}/result").status_code == 409
            other.post(f"/jobs/{job_id}/terminate")
            rest = [json.loads(raw) for raw in lines_iter if raw.strip()]
    assert rest[-1]["text"] == "terminated on request"


def test_runner_force_state_hook(service, service_client: httpx.Client, make_zip) -> None:
    job_id = ingest(service_client, make_zip({"hold": ""}))["job_id"]
    forced = service.runner.force_state(job_id, job_status="deferred", job_stage="unknown")
    assert forced["job_status"] == "deferred"
    assert service_client.get(f"/jobs/{job_id}").json()["job_stage"] == "unknown"
    service.runner.terminate_threadsafe(job_id)
    assert service_client.get(f"/jobs/{job_id}/status").json() == "stopped"


# ----- recording server -----


def test_recorder_keeps_raw_path_query_headers_and_body(recorder: RecordingServer) -> None:
    with socket.create_connection(("127.0.0.1", recorder.port)) as sock:
        sock.sendall(
            b"POST /a%2Fb/c%20d//e?x=%41&y=1+2 HTTP/1.1\r\nHost: here\r\nX-Mixed-Case: One\r\n"
            b"x-mixed-case: two\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello"
        )
        while sock.recv(65536):
            pass
    [request] = recorder.wait_for_requests(1)
    assert request.method == "POST"
    assert request.path == "/a%2Fb/c%20d//e"
    assert request.query == "x=%41&y=1+2"
    assert request.headers[1:3] == [("X-Mixed-Case", "One"), ("x-mixed-case", "two")]
    assert request.header_values("X-MIXED-CASE") == ["One", "two"]
    assert request.body == b"hello"


def test_recorder_decodes_chunked_request_bodies(recorder: RecordingServer) -> None:
    response = httpx.post(recorder.base_url + "/up", content=iter([b"ab", b"cd"]))
    assert response.json() == {}
    [request] = recorder.requests
    assert request.chunked and request.body == b"abcd"


def test_recorder_answers_scripts_in_order_then_default(recorder: RecordingServer) -> None:
    recorder.script(201, {"first": True}, headers=[("X-Order", "1")])
    recorder.script(404, b"raw", headers={"Content-Type": "text/plain"})
    with httpx.Client(base_url=recorder.base_url) as client:
        first, second, third = (client.get(f"/{i}") for i in range(3))
    assert (first.status_code, first.json(), first.headers["x-order"]) == (201, {"first": True}, "1")
    assert (second.status_code, second.content) == (404, b"raw")
    assert (third.status_code, third.json()) == (200, {})
    # All three went over one kept-alive connection.
    assert len({request.client_address for request in recorder.requests}) == 1


def test_recorder_close_after_truncates_the_body(recorder: RecordingServer) -> None:
    recorder.script(200, b"x" * 100, close_after=10)
    with socket.create_connection(("127.0.0.1", recorder.port)) as sock:
        sock.sendall(b"GET /t HTTP/1.1\r\nHost: here\r\n\r\n")
        received = b""
        while chunk := sock.recv(65536):
            received += chunk
    head, _, body = received.partition(b"\r\n\r\n")
    assert b"Content-Length: 100" in head
    assert body == b"x" * 10
    recorder.script(200, b"y" * 100, close_after=10)
    with pytest.raises(httpx.RemoteProtocolError):
        httpx.get(recorder.base_url + "/t")


def test_recorder_chunks_wait_on_gates(recorder: RecordingServer) -> None:
    gate = threading.Event()
    scripted = recorder.script(200, chunks=[b"first\n", gate, b"second\n"])
    with httpx.stream("GET", recorder.base_url + "/s") as response:
        assert response.headers["transfer-encoding"] == "chunked"
        pieces = response.iter_lines()
        assert next(pieces) == "first"
        assert not scripted.done.is_set()  # still parked at the gate
        gate.set()
        assert list(pieces) == ["second"]
    assert scripted.done.wait(5)


def test_recorder_hold_and_drop(recorder: RecordingServer) -> None:
    held = recorder.script(200, {"late": True}, hold=True)
    results: list[httpx.Response] = []
    worker = threading.Thread(target=lambda: results.append(httpx.get(recorder.base_url + "/h", timeout=10)))
    worker.start()
    recorder.wait_for_requests(1)
    assert not held.done.is_set() and not results
    held.release()
    worker.join(10)
    assert results[0].json() == {"late": True}

    recorder.script(200, drop=True)
    with pytest.raises(httpx.RemoteProtocolError):
        httpx.get(recorder.base_url + "/d")


def test_recorder_survives_clients_that_hang_up(recorder: RecordingServer) -> None:
    held = recorder.script(200, b"z" * 1_000_000, hold=True)
    with socket.create_connection(("127.0.0.1", recorder.port)) as sock:
        sock.sendall(b"GET /gone HTTP/1.1\r\nHost: here\r\n\r\n")
        recorder.wait_for_requests(1)
    held.release()
    assert held.done.wait(5)
    assert httpx.get(recorder.base_url + "/after").status_code == 200
    assert [request.path for request in recorder.requests] == ["/gone", "/after"]


def test_recorder_close_after_cuts_a_chunked_body(recorder: RecordingServer) -> None:
    recorder.script(200, chunks=[b"aaaa", b"bbbb", b"cccc"], close_after=6)
    received = []
    with pytest.raises(httpx.RemoteProtocolError):
        with httpx.stream("GET", recorder.base_url + "/c") as response:
            for piece in response.iter_bytes():
                received.append(piece)
    assert b"".join(received) == b"aaaabb"


# ----- where web jobs' pages are -----


def test_page_addresses_lie_in_their_block_and_spread() -> None:
    import ipaddress

    from vexa._browser import is_web_job_address, web_job_address

    ids = [f"j_{number:016x}" for number in range(5000)] + ["", "j_ü", "x" * 1000]
    addresses = [web_job_address(job_id) for job_id in ids]
    assert addresses == [web_job_address(job_id) for job_id in ids]  # the client and the service agree
    for address in addresses:
        ip = ipaddress.IPv4Address(address)
        assert is_web_job_address(address) and ip.is_loopback
        assert ip not in ipaddress.IPv4Network("127.0.0.0/16") and 0 < int(ip) % 256 < 255
    assert len(set(addresses)) > 4990  # about 16.5 million addresses: collisions are rare, and avoided (below)
    outside = ["127.0.0.1", "127.0.255.255", "127.255.0.1", "10.1.2.3", "::1", "localhost", "", "127.1.2"]
    assert [is_web_job_address(host) for host in outside] == [False] * len(outside)
    assert [is_web_job_address(host) for host in ["127.1.0.0", "127.254.255.255", "::ffff:127.9.9.9"]] == [True] * 3


def test_no_two_web_jobs_of_a_data_dir_share_a_page_address(
    service_factory: Callable[..., Any], monkeypatch: pytest.MonkeyPatch, tmp_path: Any, make_zip: Any
) -> None:
    """Forced into four addresses, three web jobs get one each, and after a
    restart the next one avoids those of the jobs kept."""
    import hashlib

    from vexa.devservice import jobs

    def crowded(job_id: str) -> str:
        return f"127.1.1.{1 + hashlib.sha256(job_id.encode()).digest()[0] % 4}"

    monkeypatch.setattr(jobs, "web_job_address", crowded)
    data_dir = tmp_path / "pages"
    service = service_factory(data_dir=data_dir)
    with httpx.Client(base_url=service.base_url, headers=service.headers, timeout=10) as api:
        code_id = upload(api, make_zip({"main.py": ""}), code_type="web")
        first = {api.post(f"/jobs/code/{code_id}/run/web").json()["job_id"] for _ in range(3)}
    assert service.runner.pages == {crowded(job_id): job_id for job_id in first}
    assert len(service.runner.pages) == 3
    service.stop()
    again = service_factory(data_dir=data_dir)
    assert again.runner.pages == service.runner.pages
    with httpx.Client(base_url=again.base_url, headers=again.headers, timeout=10) as api:
        last = api.post(f"/jobs/code/{code_id}/run/web").json()["job_id"]
    assert {crowded(job_id) for job_id in first | {last}} == {f"127.1.1.{n}" for n in range(1, 5)}
