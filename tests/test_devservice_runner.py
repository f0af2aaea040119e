"""The local service running code for real: processes, web apps behind the proxy,
limits, restarts and what it refuses to store. All over real HTTP on 127.0.0.1."""

from __future__ import annotations

import io
import json
import os
import re
import sqlite3
import subprocess
import sys
import threading
import zipfile
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest
from recording_server import make_zip as make_zip_bytes
from test_devservice import ingest, job_json, read_ndjson, upload, wait_until

pytestmark = pytest.mark.apart_from_clients

MakeZip = Callable[[dict[str, Any]], bytes]
EXAMPLE_APP = Path(__file__).resolve().parents[1] / "examples" / "hello_web" / "main.py"
# Generous: real processes on a busy machine can be slow to start.
PROCESS_DEADLINE = 120.0
ENDED = ("finished", "failed", "stopped", "timeout", "canceled")


def client_for(service: Any) -> httpx.Client:
    return httpx.Client(base_url=service.base_url, headers=service.headers, timeout=30.0)


def run_stored(client: httpx.Client, zip_bytes: bytes, name: str = "job") -> dict[str, Any]:
    code_id = upload(client, zip_bytes, name=name)
    response = client.post(f"/jobs/code/{code_id}/run")
    assert response.status_code == 200, response.text
    job: dict[str, Any] = response.json()
    return job


def wait_for_end(client: httpx.Client, job_id: str) -> dict[str, Any]:
    """The job once it has ended."""
    ended: dict[str, Any] = wait_until(
        lambda: (job := job_json(client, job_id))["job_status"] in ENDED and job,
        f"job {job_id} to end",
        timeout=PROCESS_DEADLINE,
    )
    return ended


def result_files(client: httpx.Client, job_id: str) -> dict[str, bytes]:
    response = client.get(f"/jobs/{job_id}/result")
    assert response.status_code == 200, response.text
    with zipfile.ZipFile(io.BytesIO(response.content)) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def output_of(client: httpx.Client, job_id: str) -> list[tuple[str, str]]:
    with client.stream("GET", f"/jobs/{job_id}/stream") as response:
        lines, _ = read_ndjson(response)
    return [(line["stream"], line["text"]) for line in lines]


def processes_of(job_id: str, token: str | None = None) -> list[int]:
    """The live processes of a job as this machine sees them (not the job's own PIDs,
    which are those of its namespace): those carrying its marker in their environment,
    and, for those that cleared it, those with `token` in their command line."""
    marker = f"VEXA_JOB_ID={job_id}".encode()
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if (entry / "stat").read_text().rsplit(")", 1)[1].split()[0] == "Z":
                continue  # exited, waiting to be reaped
            environment = (entry / "environ").read_bytes().split(b"\0")
            command = (entry / "cmdline").read_bytes()
        except OSError:
            continue  # gone meanwhile, or not ours to read
        if marker in environment or (token is not None and token.encode() in command):
            found.append(int(entry.name))
    return found


@pytest.fixture(scope="module")
def real_service(tmp_path_factory: pytest.TempPathFactory) -> Any:
    from vexa.devservice import start_in_thread

    running = start_in_thread(tmp_path_factory.mktemp("real"), "real-key", keepalive_seconds=0.05)
    yield running
    running.stop()


@pytest.fixture
def real_client(real_service: Any) -> Any:
    with client_for(real_service) as client:
        yield client


# ----- batch jobs -----

LINES_AND_FILES = """
import os, pathlib, sys
print("to stdout")
print("to stderr", file=sys.stderr)
print("job", os.environ["VEXA_JOB_ID"], "port" if "PORT" in os.environ else "no-port")
print("secret" if "VEXA_API_KEY" in os.environ or "SERVICE_SECRET" in os.environ else "clean env")
out = pathlib.Path(os.environ["VEXA_OUTPUT_DIR"])
(out / "nested").mkdir()
(out / "nested" / "data.txt").write_text("payload")
(out / "output.txt").write_text("mine")
"""


def test_job_output_lines_and_result_files(
    real_client: httpx.Client, make_zip: MakeZip, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("SERVICE_SECRET", "must not leak")  # read by the job's process at start
    job = run_stored(real_client, make_zip({"main.py": LINES_AND_FILES}))
    ended = wait_for_end(real_client, job["job_id"])
    assert (ended["job_status"], ended["job_stage"], ended["error"]) == ("finished", "post_running", None)

    lines = output_of(real_client, job["job_id"])
    assert ("stdout", "to stdout") in lines and ("stderr", "to stderr") in lines
    assert ("stdout", f"job {job['job_id']} no-port") in lines
    assert ("stdout", "clean env") in lines

    files = result_files(real_client, job["job_id"])
    assert files["nested/data.txt"] == b"payload"
    assert files["output.txt"] == b"mine"  # the job's own file wins over the log of that name
    assert b"to stderr" in files["stderr.txt"] and b"to stdout" not in files["stderr.txt"]
    assert json.loads(files["job.json"])["job_status"] == "finished"


@pytest.mark.parametrize(
    ("files", "status", "error_parts"),
    [
        (
            {"main.py": "import sys\nprint('working')\nprint('bad thing happened', file=sys.stderr)\nsys.exit(3)"},
            "failed",
            ["main.py exited with status 3", "bad thing happened"],
        ),
        ({"main.py": "raise ValueError('no good')"}, "failed", ["exited with status 1", "ValueError: no good"]),
        ({"app.py": "print(1)"}, "failed", ["no main.py at the root"]),
        ({"sub/main.py": "print(1)"}, "failed", ["no main.py at the root"]),
    ],
    ids=["exit-status", "exception", "no-entry-point", "entry-point-not-at-root"],
)
def test_failing_jobs_report_why(
    real_client: httpx.Client, make_zip: MakeZip, files: dict[str, str], status: str, error_parts: list[str]
) -> None:
    job = run_stored(real_client, make_zip(files))
    ended = wait_for_end(real_client, job["job_id"])
    assert ended["job_status"] == status
    for part in error_parts:
        assert part in ended["error"]


@pytest.mark.parametrize(
    ("limits", "main", "status", "error_part"),
    [
        (
            {"time_limit_seconds": 0.5},
            "import time\nprint('sleeping', flush=True)\ntime.sleep(60)",
            "timeout",
            "time limit",
        ),
        ({"cpu_seconds": 1}, "while True:\n    pass", "failed", "SIGXCPU"),
        ({"memory_bytes": 256 * 2**20}, "block = bytearray(1024 * 2**20)", "failed", "MemoryError"),
        (
            {"file_size_bytes": 2**20},
            "import os\nopen(os.environ['VEXA_OUTPUT_DIR'] + '/big', 'wb').write(bytes(2 * 2**20))",
            "failed",
            "File too large",
        ),
    ],
    ids=["time", "cpu", "memory", "file-size"],
)
def test_limits_end_the_job(
    service_factory: Callable[..., Any],
    make_zip: MakeZip,
    limits: dict[str, Any],
    main: str,
    status: str,
    error_part: str,
) -> None:
    from vexa.devservice import JobLimits

    service = service_factory(simulate=False, job_limits=JobLimits(kill_grace_seconds=0.2, **limits))
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": main}))
        ended = wait_for_end(client, job["job_id"])
    assert ended["job_status"] == status
    assert error_part in ended["error"]


@pytest.mark.parametrize("printed", [6, 7, 50])
def test_output_past_its_cap_is_cut_with_a_note(
    service_factory: Callable[..., Any], make_zip: MakeZip, printed: int
) -> None:
    """The cap counts the job's own lines: exactly the cap keeps them all without a note."""
    from vexa.devservice import JobLimits

    service = service_factory(simulate=False, job_limits=JobLimits(max_output_lines=6))
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": f"for n in range({printed}):\n    print('line', n)"}))
        assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
        lines = output_of(client, job["job_id"])
    # The service's "Unpacking" line, then the job's, then the note if any was cut.
    assert lines[0][1].startswith("[vexa] Unpacking")
    assert [text for _, text in lines[1 : 1 + min(printed, 6)]] == [f"line {n}" for n in range(min(printed, 6))]
    note = [("stderr", "[vexa] Output cut: the job printed more than 6 lines")] if printed > 6 else []
    assert lines[1 + min(printed, 6) :] == note


CHILD_KEEPER = """
import os, signal, subprocess, sys, time
child = subprocess.Popen([sys.executable, "-c", "import signal, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); time.sleep(120)"])
print("child", child.pid, flush=True)
time.sleep(120)
"""


def test_terminate_kills_the_whole_process_tree(real_client: httpx.Client, make_zip: MakeZip) -> None:
    job = run_stored(real_client, make_zip({"main.py": CHILD_KEEPER}))
    job_id = job["job_id"]
    with real_client.stream("GET", f"/jobs/{job_id}/stream") as response:
        lines = response.iter_lines()
        next(raw for raw in lines if raw.strip() and "child" in raw)
        # The line arrived while the job still runs: output is live.
        assert job_json(real_client, job_id)["job_status"] == "started"
        assert len(processes_of(job_id)) >= 2  # main.py and its child (and what holds them)
        stopped = real_client.post(f"/jobs/{job_id}/terminate").json()
        assert stopped["job_status"] == "stopped" and stopped["job_stage"] == "post_running"
        list(lines)  # the stream ends with the job
    # Gone once the job is reported ended, the child that ignores SIGTERM too.
    assert processes_of(job_id) == []


# ----- web jobs -----


async def test_web_app_page_through_the_job_urls(real_service: Any, fast_polls: list[Any]) -> None:
    from vexa import AsyncClient
    from vexa.types import CodeZip, JobStatus

    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.write(EXAMPLE_APP, "main.py")
    client = AsyncClient(real_service.base_url, real_service.api_key)
    job = await client.web.run(CodeZip(zip_bytes=buffer.getvalue()))
    job = await client.web.await_healthy(job.job_id, timeout=30)
    assert await client.web.is_healthy(job.job_id)

    page_url = client.web.get_url(job.job_id)
    async with httpx.AsyncClient(headers=real_service.headers) as http:
        page = await http.get(page_url)
        assert page.status_code == 200 and "Hello from vexa" in page.text and job.job_id in page.text
        link = re.search(r'href="([^"]+)"', page.text)
        assert link is not None
        followed = await http.get(httpx.URL(page_url).join(link.group(1)))  # as a browser resolves it
        assert followed.json() == {"hello": "visitor", "job_id": job.job_id}
        base = await client.jobs.get_url(job.job_id)
        assert page_url == base + "/"  # the page's own origin, which the service's path leads to
        led = await http.get(f"{real_service.base_url}/{job.job_id}/hello?name=led")
        assert (led.status_code, led.headers["location"].split("&token=")[0]) == (307, base + "/hello?name=led")
        root = await http.get(base)
        assert root.status_code == 200 and "Hello from vexa" in root.text
        greeting = await http.get(base + "/hello", params={"name": "tests"})
        assert greeting.json() == {"hello": "tests", "job_id": job.job_id}

        async def body() -> Any:
            for piece in (b"streamed ", b"in ", b"pieces"):
                yield piece

        echoed = await http.post(base + "/echo", content=body(), headers={"Content-Type": "text/x-test"})
        assert (echoed.status_code, echoed.content, echoed.headers["content-type"]) == (
            200,
            b"streamed in pieces",
            "text/x-test",
        )
        assert (await http.get(base + "/missing")).status_code == 404  # the app's own answer, passed on

    await client.jobs.terminate(job.job_id)
    assert (await client.jobs.get(job.job_id)).job_status == JobStatus.STOPPED
    assert not await client.web.is_healthy(job.job_id)
    lines = [output.text async for output in client.jobs.stream_output(job.job_id)]
    assert "GET /hello?name=tests -> 200" in lines and "POST /echo -> 200" in lines
    result = await client.jobs.get_result(job.job_id)
    with zipfile.ZipFile(io.BytesIO(result.zip_bytes)) as archive:
        visits = json.loads(archive.read("visits.json"))
        summary = archive.read("summary.txt").decode()  # written by the app on SIGTERM
    assert visits == {"/": 2, "/hello": 2, "/echo": 1, "/missing": 1}  # health probes not counted
    assert summary.startswith(f"{sum(visits.values())} requests served by job {job.job_id}")


@pytest.mark.parametrize(
    ("method", "path", "status", "detail"),
    [
        ("GET", "/j_missing/", 404, "Job j_missing not found"),
        ("POST", "/j_missing/a/b", 404, "Job j_missing not found"),
        ("GET", "/{job_id}/", 404, "is not a web job"),
    ],
)
def test_proxy_refuses_what_is_no_running_web_job(
    real_client: httpx.Client, make_zip: MakeZip, method: str, path: str, status: int, detail: str
) -> None:
    job = run_stored(real_client, make_zip({"main.py": "print(1)"}))
    response = real_client.request(method, path.format(job_id=job["job_id"]))
    assert response.status_code == status and detail in response.json()["detail"]


HEADER_ECHO_APP = """
import json, os
from http.server import BaseHTTPRequestHandler, HTTPServer

class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({"path": self.path, "headers": {k.lower(): v for k, v in self.headers.items()}}).encode()
        self.send_response(201)
        self.send_header("Content-Type", "application/json")
        self.send_header("Set-Cookie", "a=1")
        self.send_header("Set-Cookie", "b=2")
        self.send_header("Connection", "X-App-Hop")
        self.send_header("X-App-Hop", "for this connection only")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

HTTPServer(("127.0.0.1", int(os.environ["PORT"])), Handler).serve_forever()
"""


def test_proxy_passes_headers_both_ways_but_never_the_api_key(real_client: httpx.Client, make_zip: MakeZip) -> None:
    from vexa import Client

    response = real_client.post(
        "/jobs/code/run/web",
        files={"code_zip": ("echo.zip", make_zip({"main.py": HEADER_ECHO_APP}), "application/zip")},
    )
    job_id = response.json()["job_id"]
    wait_until(
        lambda: real_client.get(f"/{job_id}/ping").status_code == 200, "the app to answer", timeout=PROCESS_DEADLINE
    )
    sent = {
        "X-Custom": "kept",
        "Cookie": "c=3",
        "Connection": "keep-alive, X-Hop-Only",  # names a header meant for this connection only
        "X-Hop-Only": "dropped",
        "X-Forwarded-For": "203.0.113.9",  # a client's claims about its address are not passed on
        "X-Forwarded-Port": "1",
        "Forwarded": "for=203.0.113.9",
    }
    page = Client(str(real_client.base_url)).web.get_url(job_id)
    answer = real_client.get(f"{page}deep/path?q=1&q=2", headers=sent)
    real_client.post(f"/jobs/{job_id}/terminate")
    assert answer.status_code == 201
    assert answer.headers.get_list("set-cookie") == ["a=1", "b=2"]
    # One of each, the service's: the app's own would make two.
    assert len(answer.headers.get_list("server")) == len(answer.headers.get_list("date")) == 1
    assert "x-app-hop" not in answer.headers
    seen = answer.json()
    assert seen["path"] == "/deep/path?q=1&q=2"
    assert seen["headers"]["x-custom"] == "kept" and seen["headers"]["cookie"] == "c=3"
    assert not {"x-api-key", "x-hop-only", "x-forwarded-port", "forwarded"} & set(seen["headers"])
    assert seen["headers"]["x-forwarded-for"] == "127.0.0.1"
    assert "x-forwarded-prefix" not in seen["headers"]  # the app is at the root of its own origin
    assert seen["headers"]["x-forwarded-host"] == httpx.URL(page).netloc.decode()
    assert seen["headers"]["host"] != seen["headers"]["x-forwarded-host"]


# ----- ingestion -----

PRINT_PREFIX = "import sys\nprint('prefix', sys.prefix)\n"


@pytest.mark.parametrize(
    ("pexenv_python", "requirements", "status", "expected"),
    [
        (None, None, "finished", "venv"),
        (None, "\n# nothing to install\n", "finished", "venv"),
        pytest.param(
            f"{sys.version_info.major}.{sys.version_info.minor}",
            None,
            "finished",
            "venv",
            # A version names a CPython (pyenv's, or python3.X on PATH); PyPy's own is pypy3.X.
            marks=pytest.mark.skipif(sys.implementation.name != "cpython", reason="the running Python is no CPython"),
        ),
        ("1.9", None, "failed", "Python 1.9 is not installed"),
        ("three", None, "failed", "pexenv_python must be a version"),
    ],
    ids=["no-requirements", "empty-requirements", "named-python", "missing-python", "bad-version"],
)
def test_ingestion_builds_a_virtual_environment(
    real_client: httpx.Client,
    make_zip: MakeZip,
    pexenv_python: str | None,
    requirements: str | None,
    status: str,
    expected: str,
) -> None:
    files = {"main.py": PRINT_PREFIX}
    if requirements is not None:
        files["requirements.txt"] = requirements
    response = real_client.post(
        "/jobs/code/ingest",
        data={
            "code_name": "env",
            "code_type": "python",
            "build_pexenv": "true",
            **({"pexenv_python": pexenv_python} if pexenv_python else {}),
        },
        files={"code_zip": ("code.zip", make_zip(files), "application/zip")},
    )
    assert response.status_code == 200, response.text
    job = response.json()
    ended = wait_for_end(real_client, job["job_id"])
    assert ended["job_status"] == status, ended
    if status == "failed":
        assert expected in ended["error"]
        return
    prefix = next(text for _, text in output_of(real_client, job["job_id"]) if text.startswith("prefix "))
    assert prefix.endswith(f"{job['code_id']}/venv")
    # A later run of the same code uses the environment too.
    rerun = real_client.post(f"/jobs/code/{job['code_id']}/run").json()
    wait_for_end(real_client, rerun["job_id"])
    assert ("stdout", prefix) in output_of(real_client, rerun["job_id"])


# ----- restarts -----


@pytest.mark.parametrize("simulate", [False, True], ids=["real", "simulated"])
def test_restart_keeps_ended_jobs_and_ends_running_ones(
    service_factory: Callable[..., Any], tmp_path: Path, make_zip: MakeZip, simulate: bool
) -> None:
    data_dir = tmp_path / "persistent"
    first = service_factory(data_dir=data_dir, simulate=simulate)
    with client_for(first) as client:
        done = ingest(client, make_zip({"main.py": "print('kept line')"}), name="done")
        assert wait_for_end(client, done["job_id"])["job_status"] == "finished"
        # "hold" keeps a simulated job queued; the real one sleeps.
        running = ingest(client, make_zip({"main.py": "import time\ntime.sleep(120)", "hold": ""}), name="long")
        if not simulate:
            wait_until(
                lambda: job_json(client, running["job_id"])["job_stage"] == "running",
                "the long job to run",
                timeout=PROCESS_DEADLINE,
            )
        lines_before = output_of(client, done["job_id"])
        result_before = result_files(client, done["job_id"])
    first.stop()

    second = service_factory(data_dir=data_dir, simulate=simulate)
    with client_for(second) as client:
        assert job_json(client, done["job_id"])["job_status"] == "finished"
        assert output_of(client, done["job_id"]) == lines_before != []
        assert result_files(client, done["job_id"]) == result_before
        interrupted = job_json(client, running["job_id"])
        assert (interrupted["job_status"], interrupted["job_stage"]) == ("failed", "post_running")
        assert "service stopped" in interrupted["error"]
        assert [job["job_id"] for job in client.get("/jobs").json()] == [running["job_id"], done["job_id"]]
        assert {code["code_id"] for code in client.get("/code/info").json()} == {done["code_id"], running["code_id"]}


def test_jobs_running_when_the_service_dies_end_at_the_next_start(tmp_path: Path, make_zip: MakeZip) -> None:
    """A killed service (no shutdown at all) leaves records saying "running", which the
    next start ends; the job's processes do not wait for it: they go with the service."""
    import vexa

    data_dir = tmp_path / "crash"
    command = [sys.executable, "-m", "vexa.devservice", "--port", "0", "--data-dir", str(data_dir), "--api-key", "k"]
    env = {**os.environ, "PYTHONPATH": str(Path(vexa.__file__).resolve().parents[1])}
    service = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert service.stdout is not None
        base_url = service.stdout.readline().split()[-1]
        assert "runs uploaded code as the current user" in service.stdout.readline()
        with httpx.Client(base_url=base_url, headers={"X-API-Key": "k"}, timeout=30.0) as client:
            job = run_stored(
                client,
                make_zip({"main.py": CHILD_KEEPER.replace('print("child"', 'print("main", os.getpid(), "child"')}),
            )
            line = wait_until(
                lambda: next(
                    (text for _, text in lines_so_far(data_dir, job["job_id"]) if text.startswith("main")), None
                ),
                "its line to be saved",
                timeout=PROCESS_DEADLINE,
            )
        assert len(processes_of(job["job_id"])) >= 2
    finally:
        service.kill()
        service.wait()
    wait_until(lambda: processes_of(job["job_id"]) == [], "the job's processes to end with the service")

    from vexa.devservice import start_in_thread

    with start_in_thread(data_dir, "k") as restarted, client_for(restarted) as client:
        ended = job_json(client, job["job_id"])
        assert (ended["job_status"], ended["error"]) == ("failed", "The service stopped while this job was running")
        assert ("stdout", line) in output_of(client, job["job_id"])
        assert line.encode() in result_files(client, job["job_id"])["output.txt"]


def lines_so_far(data_dir: Path, job_id: str) -> list[tuple[str, str]]:
    """The job's lines as the database holds them (read by another connection, as after a crash)."""
    with sqlite3.connect(data_dir / "vexa.sqlite3") as database:
        rows = database.execute(
            "SELECT stream, text FROM job_lines WHERE job_id = ? ORDER BY line_no", (job_id,)
        ).fetchall()
    return [(stream, text) for stream, text in rows]


# ----- untrusted uploads -----

CAPS = {"max_archive_bytes": 64 * 1024, "max_entries": 20, "max_unpacked_bytes": 256 * 1024, "max_metadata_bytes": 1024}


def zip_with(entries: list[tuple[zipfile.ZipInfo | str, bytes]], compression: int = zipfile.ZIP_DEFLATED) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=compression) as archive:
        for info, data in entries:
            archive.writestr(info, data)
    return buffer.getvalue()


def symlink_entry(name: str, target: str) -> tuple[zipfile.ZipInfo, bytes]:
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = 0o120777 << 16  # S_IFLNK | 0777
    return info, target.encode()


def corrupted(zip_bytes: bytes, payload: bytes) -> bytes:
    """Flip one byte of a stored entry's data, leaving its recorded CRC as it was."""
    at = zip_bytes.index(payload)
    return zip_bytes[:at] + bytes([zip_bytes[at] ^ 0xFF]) + zip_bytes[at + 1 :]


MAIN = ("main.py", b"print(1)\n")
REFUSED_UPLOADS = {
    "dot-dot": (zip_with([MAIN, ("../escaped.py", b"x")]), 422, "'../escaped.py'"),
    "nested-dot-dot": (zip_with([MAIN, ("a/../../escaped.py", b"x")]), 422, "'a/../../escaped.py'"),
    "absolute": (zip_with([MAIN, ("/tmp/escaped.py", b"x")]), 422, "'/tmp/escaped.py' is an absolute path"),
    "drive-letter": (zip_with([MAIN, ("C:/escaped.py", b"x")]), 422, "'C:/escaped.py' is an absolute path"),
    "backslash": (zip_with([MAIN, ("..\\escaped.py", b"x")]), 422, "'..\\\\escaped.py'"),
    "symlink": (zip_with([MAIN, symlink_entry("link", "/etc/passwd")]), 422, "'link' is a symbolic link"),
    "zip-bomb": (
        zip_with([MAIN, ("zeros.bin", bytes(50 * 2**20))]),
        413,
        "unpacks to more than 262144 bytes (at entry 'zeros.bin')",
    ),
    "too-many-entries": (zip_with([(f"f{i}.txt", b"") for i in range(21)]), 413, "21 entries, over the limit of 20"),
    "too-large": (
        zip_with([("noise.bin", os.urandom(80 * 1024))], zipfile.ZIP_STORED),
        413,
        "over the limit of 65536 bytes",
    ),
    "file-and-folder": (
        zip_with([MAIN, ("a", b"x"), ("a/b", b"y")]),
        422,
        "'a/b' cannot be unpacked: 'a' is both a file and a folder",
    ),
    "folder-then-file": (
        zip_with([MAIN, ("a/b", b"y"), ("a", b"x")]),
        422,
        "'a' cannot be unpacked: 'a' is both a file and a folder",
    ),
    "bad-crc": (
        corrupted(zip_with([MAIN, ("data.txt", b"precious data")], zipfile.ZIP_STORED), b"precious"),
        422,
        "'data.txt' is corrupt",
    ),
    "magic-only": (b"PK\x03\x04" + bytes(24), 422, "not a zip archive"),
    "empty": (b"", 422, "not a zip archive"),
}


@pytest.fixture(scope="module")
def capped_service(tmp_path_factory: pytest.TempPathFactory) -> Any:
    from vexa.devservice import ArchiveLimits, start_in_thread

    running = start_in_thread(tmp_path_factory.mktemp("capped"), "k", archive_limits=ArchiveLimits(**CAPS))
    yield running
    running.stop()


@pytest.mark.parametrize("route", ["/code/upload", "/jobs/code/ingest", "/jobs/code/run/web"])
@pytest.mark.parametrize(("zip_bytes", "status", "detail"), REFUSED_UPLOADS.values(), ids=REFUSED_UPLOADS.keys())
def test_unsafe_uploads_are_refused_and_nothing_is_kept(
    capped_service: Any, route: str, zip_bytes: bytes, status: int, detail: str
) -> None:
    with client_for(capped_service) as client:
        response = client.post(
            route,
            data={"code_name": "evil", "code_type": "python"},
            files={"code_zip": ("evil.zip", zip_bytes, "application/zip")},
        )
        assert response.status_code == status, response.text
        assert detail in response.json()["detail"]
        assert client.get("/code/info").json() == []
        assert client.get("/jobs").json() == []
    data_dir = capped_service.data_dir
    assert not list(data_dir.parent.rglob("escaped.py"))
    assert sorted(path.name for path in (data_dir / "code").iterdir()) == []


FILE_PART_HEAD = (
    b'--b\r\nContent-Disposition: form-data; name="code_zip"; filename="c.zip"\r\nContent-Type: application/zip\r\n\r\n'
)


@pytest.mark.parametrize(
    ("content", "headers", "status", "detail"),
    [
        (b'{"code_name": "x"}', {"Content-Type": "application/json"}, 422, ""),
        (b"--b\r\nbroken", {"Content-Type": "multipart/form-data; boundary=b"}, 422, ""),
        (b"x" * 2 * 2**20, {"Content-Type": "multipart/form-data; boundary=b"}, 413, "over the limit"),
        (
            iter([FILE_PART_HEAD, *[b"x" * 2**20] * 3]),
            {"Content-Type": "multipart/form-data; boundary=b"},
            413,
            "over the limit",
        ),
    ],
    ids=["json-body", "truncated-multipart", "declared-too-large", "chunked-too-large"],
)
def test_malformed_upload_requests_are_4xx_with_a_detail(
    capped_service: Any, content: Any, headers: dict[str, str], status: int, detail: str
) -> None:
    with client_for(capped_service) as client:
        response = client.post("/code/upload", content=content, headers=headers)
    assert response.status_code == status, response.text
    assert isinstance(response.json()["detail"], str) and detail in response.json()["detail"]


def test_metadata_over_its_cap_is_refused(capped_service: Any) -> None:
    with client_for(capped_service) as client:
        response = client.post(
            "/code/upload",
            data={"code_name": "meta", "code_type": "python"},
            files={
                "code_zip": ("c.zip", zip_with([MAIN]), "application/zip"),
                "metadata": ("m.json", json.dumps({"k": "v" * 2000}).encode(), "application/json"),
            },
        )
    assert response.status_code == 413 and "metadata is over the limit of 1024 bytes" in response.json()["detail"]


def test_downloads_racing_deletes_get_whole_archives_or_404(real_service: Any) -> None:
    archive = zip_with([MAIN, ("blob.bin", os.urandom(2 * 2**20))], zipfile.ZIP_STORED)
    outcomes: list[tuple[int, bool]] = []
    with client_for(real_service) as client:
        for _ in range(8):
            code_id = upload(client, archive, name="raced")
            started = threading.Event()

            def download() -> None:
                with client_for(real_service) as other:
                    started.set()
                    for _ in range(5):
                        answer = other.get(f"/code/{code_id}/download")
                        outcomes.append((answer.status_code, answer.content == archive))

            downloader = threading.Thread(target=download)
            downloader.start()
            started.wait(10)
            assert client.delete(f"/code/{code_id}").status_code == 200
            downloader.join(30)
    assert outcomes and all(outcome in ((200, True), (404, False)) for outcome in outcomes), outcomes


def test_failed_pip_install_fails_the_job_with_pips_output(real_client: httpx.Client, make_zip: MakeZip) -> None:
    # A local path that does not exist: pip refuses it without going to the network.
    files = {"main.py": "print('never runs')", "requirements.txt": "./no-such-project\n"}
    job = ingest(real_client, make_zip(files), name="bad-requirements", build_pexenv=True)
    # Creating a virtual environment with pip in it takes some seconds.
    ended = wait_for_end(real_client, job["job_id"])
    assert ended["job_status"] == "failed"
    assert ended["error"].startswith("pip install -r requirements.txt exited with status 1")
    lines = output_of(real_client, job["job_id"])
    assert any(stream == "stderr" and "no-such-project" in text for stream, text in lines)  # pip's own words
    assert ("stdout", "never runs") not in lines


def test_ingesting_web_code_prepares_it_without_running_it(real_client: httpx.Client, make_zip: MakeZip) -> None:
    response = real_client.post(
        "/jobs/code/ingest",
        data={"code_name": "site", "code_type": "web"},
        files={"code_zip": ("code.zip", make_zip({"main.py": "print('ran')"}), "application/zip")},
    )
    job = response.json()
    ended = wait_for_end(real_client, job["job_id"])
    assert ended["job_status"] == "finished"
    texts = [text for _, text in output_of(real_client, job["job_id"])]
    assert f"[vexa] Code {job['code_id']} is ready to serve" in texts and "ran" not in texts


def tiny_wheel() -> bytes:
    """A wheel of one module, made here: pip installs it without any network."""
    return make_zip_bytes(
        {
            "tiny/__init__.py": "VALUE = 'installed from requirements'\n",
            "tiny-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: tiny\nVersion: 1.0\n",
            "tiny-1.0.dist-info/WHEEL": "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
            "tiny-1.0.dist-info/RECORD": "tiny/__init__.py,,\ntiny-1.0.dist-info/METADATA,,\ntiny-1.0.dist-info/WHEEL,,\ntiny-1.0.dist-info/RECORD,,\n",
        }
    )


def test_requirements_are_installed_into_the_environment(real_client: httpx.Client, make_zip: MakeZip) -> None:
    files = {
        "main.py": "import sys, tiny\nprint(tiny.VALUE)\nprint('in', sys.prefix)",
        "requirements.txt": "./tiny-1.0-py3-none-any.whl\n",
        "tiny-1.0-py3-none-any.whl": tiny_wheel(),
    }
    job = ingest(real_client, make_zip(files), name="with-requirements", build_pexenv=True)
    ended = wait_for_end(real_client, job["job_id"])
    lines = output_of(real_client, job["job_id"])
    assert ended["job_status"] == "finished", lines
    assert ("stdout", "installed from requirements") in lines
    assert any("Successfully installed tiny-1.0" in text for _, text in lines)  # pip's output, streamed


# ----- command line -----


@pytest.mark.parametrize(
    ("argv", "part", "field", "value"),
    [
        (["--memory-mb", "64"], "job_limits", "memory_bytes", 64 * 2**20),
        (["--file-size-mb", "3"], "job_limits", "file_size_bytes", 3 * 2**20),
        (["--time-limit", "0"], "job_limits", "time_limit_seconds", 0),
        (["--max-archive-mb", "5"], "archive_limits", "max_archive_bytes", 5 * 2**20),
        (["--max-unpacked-mb", "7"], "archive_limits", "max_unpacked_bytes", 7 * 2**20),
        (["--max-metadata-kb", "2"], "archive_limits", "max_metadata_bytes", 2048),
    ],
)
def test_command_line_limits_reach_the_service_in_bytes(argv: list[str], part: str, field: str, value: float) -> None:
    from vexa.devservice.command import parse_options
    from vexa.devservice.server import app_options

    options = app_options(parse_options(["--data-dir", "unused", *argv]))
    assert getattr(options[part], field) == value
    assert options["simulate"] is False


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--cpu-seconds", "-1"], "Invalid value for '--cpu-seconds': must be 0 or more, got -1"),
        (["--max-entries", "0"], "Invalid value for '--max-entries': must be 1 or more, got 0"),
        (["--memory-mb", "lots"], "Invalid value for '--memory-mb': not a whole number: 'lots'"),
        (["--time-limit", "1e"], "Invalid value for '--time-limit': not a number: '1e'"),
    ],
)
def test_command_line_refuses_impossible_limits(argv: list[str], message: str) -> None:
    import click

    from vexa.devservice.command import parse_options

    with pytest.raises(click.UsageError) as refused:
        parse_options(["--data-dir", "unused", *argv])
    assert refused.value.format_message() == message


# ----- what a job can read of the service -----

# Looks through every process's environment and command line that it can read
# for the texts in texts.json. A sleeping child with a marker in its
# environment shows that the look works.
KEY_HUNT = r"""
import json, os, subprocess, sys, time
marker = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"], env={"HUNT_MARKER": "marker-7f3a"})
time.sleep(0.5)  # the child's own environment, after its exec
wanted = ["marker-7f3a", *json.loads(open("texts.json").read())]
found, unreadable = set(), 0
for entry in os.listdir("/proc"):
    if not entry.isdigit() or int(entry) == os.getpid():
        continue
    for name in ("environ", "cmdline"):
        try:
            data = open(f"/proc/{entry}/{name}", "rb").read().decode("utf-8", "replace")
        except OSError:
            unreadable += 1
            continue
        found.update(text for text in wanted if text in data)
marker.kill()
print(json.dumps({"found": sorted(found), "unreadable": unreadable > 0}))
"""


@pytest.mark.parametrize(
    ("given", "containment"), [("environment", "reaper"), ("environment", "auto"), ("stdin", "auto")]
)
def test_a_job_cannot_read_the_key_or_its_files_path(
    tmp_path: Path, make_zip: MakeZip, given: str, containment: str
) -> None:
    """Also where jobs share the service's namespaces (reaper): there only the
    service's being non-dumpable keeps its environment from them."""
    key = "hunted-key-5c1e"
    key_file = tmp_path / "the-key-file.txt"
    key_file.write_text(key + "\n")
    command = [sys.executable, "-m", "vexa.devservice", "--port", "0", "--data-dir", str(tmp_path / "data")]
    command += ["--containment", containment]
    if os.geteuid() == 0:  # root's capabilities would open every process to its jobs: run as a user runs it
        command = ["setpriv", "--bounding-set=-all", "--inh-caps=-all", *command]
    env = {name: value for name, value in os.environ.items() if name != "VEXA_API_KEY"}
    if given == "environment":
        env["VEXA_API_KEY"] = key
    with open(key_file) as stdin:
        process = subprocess.Popen(
            [*command, *(["--api-key-file", "-"] if given == "stdin" else [])],
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=env,
            text=True,
        )
    try:
        assert process.stdout is not None
        base_url = process.stdout.readline().split()[-1]
        with httpx.Client(base_url=base_url, headers={"X-API-Key": key}, timeout=30) as client:
            texts = json.dumps([key, key_file.name])
            job = run_stored(client, make_zip({"main.py": KEY_HUNT, "texts.json": texts}))
            assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
            printed = [text for stream, text in output_of(client, job["job_id"]) if stream == "stdout"]
    finally:
        process.terminate()
        process.wait(15)
    assert json.loads(printed[-1]) == {"found": ["marker-7f3a"], "unreadable": True}
