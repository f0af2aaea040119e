"""The local service keeps what it reported and stays bounded: crashes, floods,
escaping processes, hostile metadata and results, and how it starts from the
command line. Real services (threads or processes) on 127.0.0.1, real jobs."""

from __future__ import annotations

import json
import os
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import httpx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_devservice import job_json, upload, wait_until
from test_devservice_runner import (
    PROCESS_DEADLINE,
    client_for,
    output_of,
    processes_of,
    result_files,
    run_stored,
    wait_for_end,
    zip_with,
)

pytestmark = pytest.mark.apart_from_clients

MakeZip = Callable[[dict[str, Any]], bytes]
KEY = "durable-key"


# ----- a service in a process of its own -----


def service_command(data_dir: Path | str | None, *options: str) -> list[str]:
    """The command line of a service on `data_dir` (None: the default one)."""
    data = [] if data_dir is None else ["--data-dir", str(data_dir)]
    return [sys.executable, "-m", "vexa.devservice", "--port", "0", *data, *options]


def service_env(**extra: str) -> dict[str, str]:
    import vexa

    package_root = str(Path(vexa.__file__).resolve().parents[1])
    env = {name: value for name, value in os.environ.items() if name != "VEXA_API_KEY"}
    return {**env, "PYTHONPATH": package_root, **extra}


@pytest.fixture
def spawn() -> Iterator[Callable[..., tuple[subprocess.Popen[str], str]]]:
    """Start `python -m vexa.devservice` (stopped after the test); returns it and its base URL."""
    started: list[subprocess.Popen[str]] = []

    def start(
        data_dir: Path | str | None, *options: str, cwd: Path | None = None, **env: str
    ) -> tuple[subprocess.Popen[str], str]:
        process = subprocess.Popen(
            service_command(data_dir, *options),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=cwd,
            env=service_env(**env),
        )
        started.append(process)
        assert process.stdout is not None
        banner = process.stdout.readline()
        assert banner.startswith("vexa devservice listening on "), (
            banner + process.stderr.read() if process.stderr else ""
        )
        return process, banner.split()[-1]

    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
        process.wait()
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()


def run_to_end(command: list[str], **kwargs: Any) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, capture_output=True, text=True, timeout=60, env=service_env(), **kwargs)


# ----- what was reported ended stays ended -----

PRINTER = "import sys\nfor n in range({lines}):\n    print('line', n, 'x' * 40)\n"
SETSID_CHILD = """
import os, subprocess, sys, time
child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(300)"], start_new_session=True)
print("child started", flush=True)
time.sleep(300)
"""


def test_jobs_reported_ended_survive_kill_9_whole(spawn: Callable[..., Any], tmp_path: Path, make_zip: MakeZip) -> None:
    """Kill -9 the service the moment it reports jobs ended: after a restart they are
    still ended with every line, and no temporary file is left; a detached child of
    an unended job went with the service."""
    data_dir = tmp_path / "data"
    process, base_url = spawn(data_dir, VEXA_API_KEY=KEY)
    lines = 3000
    with httpx.Client(base_url=base_url, headers={"X-API-Key": KEY}, timeout=30.0) as client:
        keeper = run_stored(client, make_zip({"main.py": SETSID_CHILD}), name="keeper")
        jobs = [
            run_stored(client, make_zip({"main.py": PRINTER.format(lines=lines)}), name=f"printer{n}")["job_id"]
            for n in range(4)
        ]
        wait_until(
            lambda: ("stdout", "child started") in output_so_far(client, keeper["job_id"]),
            "the detached child to start",
            timeout=PROCESS_DEADLINE,
        )
        assert len(processes_of(keeper["job_id"])) >= 2
        reported: dict[str, str] = {}
        deadline = time.monotonic() + PROCESS_DEADLINE
        while not reported and time.monotonic() < deadline:
            reported = {
                job["job_id"]: job["job_status"]
                for job in client.get("/jobs").json()
                if job["job_id"] in jobs and job["job_status"] != "started" and job["job_status"] != "queued"
            }
    process.send_signal(signal.SIGKILL)
    process.wait()
    assert reported, "no job ended in time"
    wait_until(lambda: processes_of(keeper["job_id"]) == [], "the detached child to go with the service")
    (data_dir / "results" / ".j_leftover.zip.x1.tmp").write_bytes(b"partial")

    process, base_url = spawn(data_dir, VEXA_API_KEY=KEY)
    with httpx.Client(base_url=base_url, headers={"X-API-Key": KEY}, timeout=30.0) as client:
        for job_id, status in reported.items():
            assert job_json(client, job_id)["job_status"] == status == "finished"
            printed = [text for stream, text in output_of(client, job_id) if not text.startswith("[vexa]")]
            assert printed == [f"line {n} {'x' * 40}" for n in range(lines)]
            assert result_files(client, job_id)["output.txt"].count(b"\nline ") == lines
        assert job_json(client, keeper["job_id"])["job_status"] == "failed"
    assert not list((data_dir / "results").glob(".*.tmp"))


def output_so_far(client: httpx.Client, job_id: str) -> list[tuple[str, str]]:
    """The lines a running job printed so far (read from the stream until it idles)."""
    found = []
    with client.stream("GET", f"/jobs/{job_id}/stream") as response:
        for raw in response.iter_lines():
            if not raw.strip():
                break  # keep-alive: nothing more for now
            line = json.loads(raw)
            found.append((line["stream"], line["text"]))
    return found


# ----- bounded output -----

LONG_LINES = r"""
import sys, time
out = sys.stdout.buffer
out.write(b"a" * 300_000 + b"\n")           # long, under the line limit: whole
out.write(b"b" * 1_500_000 + b"\n")         # over it: cut, with a notice
out.write("é".encode() * 600_000 + b"\n")   # cut inside the run of two-byte characters
out.flush()
out.write(b"split \xc3"); out.flush(); time.sleep(0.3); out.write(b"\xa9 joined\r\n")
out.write(b"no newline at the end")
"""


def test_lines_split_only_at_newlines_and_never_inside_a_character(
    service_factory: Callable[..., Any], make_zip: MakeZip
) -> None:
    service = service_factory(simulate=False)
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": LONG_LINES}))
        assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
        texts = [text for _, text in output_of(client, job["job_id"])][1:]
    mib = 2**20
    assert texts[0] == "a" * 300_000
    assert texts[1] == "b" * mib + f" [line cut: {1_500_000 - mib} more bytes not kept]"
    assert texts[2] == "é" * (mib // 2) + f" [line cut: {1_200_000 - mib} more bytes not kept]"
    assert texts[3:] == ["split é joined", "no newline at the end"]


FLOOD = "import sys\nline = 'z' * 99 + '\\n'\nfor _ in range({count}):\n    sys.stdout.write(line)\n"


def test_output_over_its_byte_cap_is_cut_where_it_says(service_factory: Callable[..., Any], make_zip: MakeZip) -> None:
    from vexa.devservice import JobLimits

    service = service_factory(simulate=False, job_limits=JobLimits(max_output_bytes=100_000))
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": FLOOD.format(count=50_000)}))  # 5 MB
        assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
        lines = output_of(client, job["job_id"])
        output = result_files(client, job["job_id"])["output.txt"].decode()
    kept = [text for _, text in lines if text == "z" * 99]
    assert len(kept) == 1000  # 100 bytes each with its newline
    assert ("stderr", "[vexa] Output cut: the job printed more than 100000 bytes") in lines
    assert output.splitlines() == [text for _, text in lines]


@settings(max_examples=200, deadline=None)
@given(
    data=st.lists(
        st.sampled_from([b"a", b"\n", b"\r", "é".encode(), "€".encode(), "😀".encode(), b"\xff"]), max_size=60
    ).map(b"".join),
    cuts=st.lists(st.integers(min_value=0, max_value=400)),
    limit=st.integers(min_value=1, max_value=12),
)
def test_line_splitter_matches_splitting_the_whole_stream(data: bytes, cuts: list[int], limit: int) -> None:
    """However the stream is chunked, the lines are those of the whole stream, each
    cut at the limit back to a whole character, with the dropped bytes counted."""
    from vexa.devservice.output import LineSplitter, trim_partial_character

    splitter = LineSplitter(limit)
    got = []
    points = sorted({0, len(data), *(cut for cut in cuts if cut < len(data))})
    for start, end in zip(points, points[1:]):
        got += splitter.feed(data[start:end])
    got += splitter.close()

    pieces = data.split(b"\n")
    if pieces[-1] == b"":
        pieces.pop()
    expected = []
    for piece in pieces:
        if len(piece) <= limit:
            expected.append((piece[:-1] if piece.endswith(b"\r") else piece, 0))
        else:
            kept = trim_partial_character(piece[:limit])
            expected.append((kept, len(piece) - len(kept)))
    assert [(line.data, line.dropped) for line in got] == expected


# ----- every process of a job ends with it -----

# Children that leave the job's process group and hide from the kill by marker in
# every way a process can: each sleeps with `{token}-{kind}` in its command line.
ESCAPER = """
import os, subprocess, sys, time
TOKEN = {token!r}
NON_DUMPABLE = "import ctypes; ctypes.CDLL(None).prctl(4, 0, 0, 0, 0); "  # PR_SET_DUMPABLE
def sleeper(kind, prefix=""):
    return [sys.executable, "-c", prefix + "import time; time.sleep(300)  # " + TOKEN + "-" + kind]
subprocess.Popen(sleeper("setsid"), start_new_session=True)
subprocess.Popen(sleeper("empty-environment"), env={{}})
subprocess.Popen(sleeper("non-dumpable", NON_DUMPABLE))
for kind, env in (("double-fork", os.environ), ("all-of-them", {{}})):
    if os.fork() == 0:
        os.setsid()
        if os.fork() == 0:
            os.execve(sys.executable, sleeper(kind, NON_DUMPABLE), env)
        os._exit(0)
    os.wait()
def seen():  # in the job's own /proc (its namespace's, if it has one)
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            command = open(f"/proc/{{pid}}/cmdline", "rb").read().decode()
        except OSError:
            continue
        found.update(kind for kind in KINDS if f"{{TOKEN}}-{{kind}}" in command)
    return found
KINDS = ("setsid", "empty-environment", "non-dumpable", "double-fork", "all-of-them")
while seen() != set(KINDS):
    time.sleep(0.01)
print("all started", flush=True)
{tail}
"""
ESCAPE_KINDS = ("setsid", "empty-environment", "non-dumpable", "double-fork", "all-of-them")
ENDINGS = {
    # main.py exits while the escaped children still hold its stdout: the job ends all the same.
    "exit": ("", "finished", {}),
    "terminate": ("time.sleep(300)", "stopped", {}),
    "time-limit": ("time.sleep(300)", "timeout", {"time_limit_seconds": 3.0}),
}


@pytest.mark.parametrize("containment", ["namespace", "reaper"])
@pytest.mark.parametrize("ending", ENDINGS, ids=ENDINGS.keys())
def test_processes_that_leave_the_group_end_with_the_job(
    service_factory: Callable[..., Any], make_zip: MakeZip, ending: str, containment: str
) -> None:
    """Whatever a child did to get away (setsid, a double fork, an empty environment,
    non-dumpable, all of them), it is gone once the job is reported ended."""
    from vexa.devservice import JobLimits
    from vexa.devservice.process import namespace_refusal

    if containment == "namespace" and namespace_refusal():
        pytest.skip(f"no PID namespace here: {namespace_refusal()}")
    tail, status, limits = ENDINGS[ending]
    token = f"escaper-{os.getpid()}-{ending}-{containment}"
    limits = JobLimits(kill_grace_seconds=0.2, **limits)
    service = service_factory(simulate=False, job_limits=limits, containment=containment)
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": ESCAPER.format(token=token, tail=tail)}))
        wait_until(
            lambda: (
                ("stdout", "all started") in output_so_far(client, job["job_id"])
                or job_json(client, job["job_id"])["job_status"] != "started"
            ),
            "the escaping children to start",
            timeout=PROCESS_DEADLINE,
        )
        if ending != "exit":  # running: this machine sees every one of them
            assert len(processes_of(job["job_id"], token)) >= 1 + len(ESCAPE_KINDS)
        if ending == "terminate":
            client.post(f"/jobs/{job['job_id']}/terminate")
        assert wait_for_end(client, job["job_id"])["job_status"] == status
        assert ("stdout", "all started") in output_of(client, job["job_id"])
    assert processes_of(job["job_id"], token) == []


# ----- what goes into a result -----

LINKER = """
import os, pathlib
out = pathlib.Path(os.environ["VEXA_OUTPUT_DIR"])
(out / "plain.txt").write_text("mine")
os.link("main.py", out / "hard-linked.py")       # another name of a file outside
os.symlink(os.path.abspath("main.py"), out / "sym-linked.py")
os.mkfifo(out / "fifo")
"""


def test_results_take_only_regular_files_of_their_own(service_factory: Callable[..., Any], make_zip: MakeZip) -> None:
    service = service_factory(simulate=False)
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": LINKER}))
        assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
        files = result_files(client, job["job_id"])
    assert sorted(files) == ["job.json", "output.txt", "plain.txt", "stderr.txt", "stdout.txt"]


# ----- metadata -----

REFUSED_METADATA = {
    "nan": ('{"x": NaN}', "NaN is not a JSON number"),
    "infinity": ('{"x": Infinity}', "Infinity is not a JSON number"),
    "minus-infinity": ("[-Infinity]", "-Infinity is not a JSON number"),
    "overflow": ('{"x": 1e400}', "the number 1e400, which is out of range"),
    "long-integer": ("9" * 5000, "a number of 5000 characters, over the limit of 64"),
    "lone-surrogate": ('{"x": "\\ud800"}', "lone surrogate"),
    "lone-surrogate-key": ('{"\\udfff": 1}', "lone surrogate"),
    "deep-500": ("[" * 500 + "]" * 500, "nests deeper than 64 levels"),
    "deep-1000": ('{"a":' * 1000 + "1" + "}" * 1000, "nests deeper than 64 levels"),
    "not-json": ("{'x': 1}", "metadata is not valid JSON"),
}


@pytest.mark.parametrize(("document", "detail"), REFUSED_METADATA.values(), ids=REFUSED_METADATA.keys())
def test_metadata_must_be_strict_json(service: Any, document: str, detail: str) -> None:
    with client_for(service) as client:
        before = client.get("/code/info").json()
        response = client.post(
            "/code/upload",
            data={"code_name": "meta", "code_type": "python"},
            files={
                "code_zip": ("c.zip", zip_with([("main.py", b"")]), "application/zip"),
                "metadata": ("m.json", document.encode(), "application/json"),
            },
        )
        assert response.status_code == 422, response.text
        assert detail in response.json()["detail"]
        assert client.get("/code/info").json() == before


@pytest.mark.parametrize(
    "document",
    ['{"a": [1, 2.5, -0.0, 1e300, "\\u00e9\\ud83d\\ude00", null, true]}', "[" * 64 + "]" * 64, "12345678901234567890"],
    ids=["mixed", "deep-64", "long-int"],
)
def test_strict_metadata_round_trips(service: Any, document: str) -> None:
    with client_for(service) as client:
        code_id = upload(client, zip_with([("main.py", b"")]), name="meta", metadata=json.loads(document))
        assert client.get(f"/code/{code_id}/metadata").json() == json.loads(document)
        assert client.get("/code/info").status_code == 200


# ----- the data dir: one service, relative, private -----


def test_a_second_service_on_a_data_dir_stops_at_once(spawn: Callable[..., Any], tmp_path: Path) -> None:
    from vexa.devservice import DataDirInUse, start_in_thread

    first, _ = spawn(tmp_path / "data")
    second = run_to_end(service_command(tmp_path / "data"))
    assert second.returncode == 1 and second.stdout == ""
    assert (
        second.stderr
        == f"python -m vexa.devservice: error: the data dir {tmp_path / 'data'} is in use by another vexa service (PID {first.pid})\n"
    )
    with pytest.raises(DataDirInUse, match=f"PID {first.pid}"):
        start_in_thread(tmp_path / "data")
    first.kill()
    first.wait()
    with start_in_thread(tmp_path / "data") as service:  # the lock went with the process
        assert httpx.get(service.base_url + "/jobs").json() == []


WRITER = "import os, pathlib\npathlib.Path(os.environ['VEXA_OUTPUT_DIR'], 'answer.txt').write_text('42')\n"


def test_relative_data_dir_runs_jobs_that_write_results(
    spawn: Callable[..., Any], tmp_path: Path, make_zip: MakeZip
) -> None:
    key_file = tmp_path / "key"
    key_file.write_text(KEY + "\n")
    _, base_url = spawn("./data", "--api-key-file", str(key_file), cwd=tmp_path)
    with httpx.Client(base_url=base_url, headers={"X-API-Key": KEY}, timeout=30.0) as client:
        job = run_stored(client, make_zip({"main.py": WRITER}))
        assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
        assert result_files(client, job["job_id"])["answer.txt"] == b"42"
    data_dir = tmp_path / "data"
    private = [
        data_dir,
        data_dir / "vexa.sqlite3",
        data_dir / "code",
        *data_dir.glob("code/*/code.zip"),
        *data_dir.glob("results/*.zip"),
    ]
    assert len(private) == 5
    assert {path.name: oct(stat.S_IMODE(path.stat().st_mode) & 0o077) for path in private} == {
        path.name: "0o0" for path in private
    }


def test_without_a_data_dir_nothing_lands_where_the_service_starts(
    spawn: Callable[..., Any], tmp_path: Path, make_zip: MakeZip
) -> None:
    started_in = tmp_path / "checkout"
    started_in.mkdir()
    process, base_url = spawn(None, cwd=started_in, XDG_DATA_HOME=str(tmp_path / "xdg"), VEXA_API_KEY=KEY)
    data_dir = tmp_path / "xdg" / "vexa" / "service"
    # After the banner: jobs run as the current user, how they are held, where the data is.
    assert process.stdout.readline().startswith("It runs uploaded code as the current user")
    held = process.stdout.readline()
    assert "PID namespace" in held or "own reaper" in held
    assert process.stdout.readline() == f"Data: {data_dir}\n"
    with httpx.Client(base_url=base_url, headers={"X-API-Key": KEY}, timeout=30.0) as client:
        job = run_stored(client, make_zip({"main.py": WRITER}))
        assert wait_for_end(client, job["job_id"])["job_status"] == "finished"
    assert list(started_in.iterdir()) == []
    assert (data_dir / "vexa.sqlite3").is_file() and (data_dir / "results" / f"{job['job_id']}.zip").is_file()


@pytest.mark.parametrize(
    ("options", "env", "sent", "status", "warned"),
    [
        ([], {"VEXA_API_KEY": KEY}, KEY, 200, False),
        ([], {"VEXA_API_KEY": KEY}, "wrong", 401, False),
        (["--api-key", KEY], {}, KEY, 200, True),
        (["--api-key-file", "{key_file}"], {"VEXA_API_KEY": "other"}, KEY, 200, False),
    ],
    ids=["environment", "environment-wrong-key", "option-warns", "file-over-environment"],
)
def test_the_key_comes_from_the_environment_or_a_file(
    spawn: Callable[..., Any],
    tmp_path: Path,
    options: list[str],
    env: dict[str, str],
    sent: str,
    status: int,
    warned: bool,
) -> None:
    key_file = tmp_path / "key"
    key_file.write_text(KEY)
    process, base_url = spawn(tmp_path / "data", *[option.format(key_file=key_file) for option in options], **env)
    assert httpx.get(base_url + "/jobs", headers={"X-API-Key": sent}).status_code == status
    process.terminate()
    process.wait()
    assert ("other local users can read it" in process.stderr.read()) is warned


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--port", "{busy}"], "error: cannot listen on 127.0.0.1:{busy}: Address already in use"),
        (
            ["--port", "70000"],
            "error: Invalid value for '--port': must be from 0 to 65535, got 70000"
            " (see 'python -m vexa.devservice --help')",
        ),
        (
            ["--max-entries", "x"],
            "error: Invalid value for '--max-entries': not a whole number: 'x'"
            " (see 'python -m vexa.devservice --help')",
        ),
        (["--api-key-file", "{missing}"], "error: cannot read the API key file {missing}: No such file or directory"),
        (
            ["--api-key", "a", "--api-key-file", "b"],
            "error: give --api-key or --api-key-file, not both (see 'python -m vexa.devservice --help')",
        ),
    ],
    ids=["busy-port", "bad-port", "bad-number", "missing-key-file", "two-keys"],
)
def test_what_stops_the_start_is_one_line(tmp_path: Path, options: list[str], message: str) -> None:
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        values = {"busy": busy.getsockname()[1], "missing": tmp_path / "missing"}
        completed = run_to_end(service_command(tmp_path / "data", *[option.format(**values) for option in options]))
    assert completed.returncode in (1, 2)
    assert completed.stderr.splitlines() == ["python -m vexa.devservice: " + message.format(**values)]


def test_a_missing_extra_is_one_line(tmp_path: Path) -> None:
    hide = "import runpy, sys; sys.modules['uvicorn'] = None; sys.argv[0] = 'x'; runpy.run_module('vexa.devservice', run_name='__main__')"
    completed = run_to_end([sys.executable, "-c", hide, "--data-dir", str(tmp_path)])
    assert completed.returncode == 1
    assert (
        completed.stderr == "python -m vexa.devservice: error: the service needs uvicorn: pip install 'vexa[service]'\n"
    )


@pytest.mark.parametrize("prog", ["vexa service", "python -m vexa.devservice"])
def test_the_program_name_is_the_callers(prog: str, capsys: pytest.CaptureFixture[str]) -> None:
    from vexa.devservice.command import main

    assert main(["--help"], prog=prog) == 0
    assert capsys.readouterr().out.startswith(f"Usage: {prog} [OPTIONS]\n")


# ----- databases of earlier versions -----


def test_an_old_database_is_migrated_and_keeps_working(tmp_path: Path) -> None:
    """A data dir written before schema versions existed: its records stay, its
    metadata that was never strict JSON no longer breaks the listing."""
    from vexa.devservice import start_in_thread
    from vexa.devservice.storage import SCHEMA_VERSION

    data_dir = tmp_path / "old"
    (data_dir / "code" / "c_old").mkdir(parents=True)
    (data_dir / "code").chmod(0o755)
    (data_dir / "code" / "c_old" / "code.zip").write_bytes(zip_with([("main.py", b"print(1)")]))
    with sqlite3.connect(data_dir / "vexa.sqlite3") as database:
        database.executescript(OLD_SCHEMA)
        database.execute(
            "INSERT INTO code VALUES ('c_old', 'old', 'python', 10, '2024-01-01T00:00:00+00:00', ?)",
            (json.dumps({"x": float("nan")}),),
        )
        record = {
            "job_id": "j_old",
            "job_type": "run",
            "job_status": "finished",
            "job_stage": "post_running",
            "code_id": "c_old",
            "created_at": "2024-01-01T00:00:00+00:00",
            "started_at": None,
            "ended_at": "2024-01-01T00:00:01+00:00",
            "error": None,
            "code_name": "old",
            "code_type": "python",
            "options": {},
            "pid": None,
        }
        database.execute("INSERT INTO jobs VALUES ('j_old', ?)", (json.dumps(record),))
        database.executemany(
            "INSERT INTO job_lines VALUES ('j_old', ?, 'stdout', ?, 't')", [(n, f"old {n}") for n in range(3)]
        )
    (data_dir / "vexa.sqlite3").chmod(0o644)
    with start_in_thread(data_dir, None) as service, client_for(service) as client:
        assert client.get("/code/info").json()[0]["metadata"] is None
        assert job_json(client, "j_old")["job_status"] == "finished"
        assert output_of(client, "j_old") == [("stdout", f"old {n}") for n in range(3)]
        assert result_files(client, "j_old")["output.txt"] == b"old 0\nold 1\nold 2\n"  # written at start: it had none
    with sqlite3.connect(data_dir / "vexa.sqlite3") as database:
        assert database.execute("PRAGMA user_version").fetchone() == (SCHEMA_VERSION,)
    # What an earlier version left readable to others is its owner's only now.
    assert {name: stat.S_IMODE((data_dir / name).stat().st_mode) for name in ("vexa.sqlite3", "code", "results")} == {
        "vexa.sqlite3": 0o600,
        "code": 0o700,
        "results": 0o700,
    }


OLD_SCHEMA = """
CREATE TABLE code (code_id TEXT PRIMARY KEY, code_name TEXT NOT NULL, code_type TEXT NOT NULL, size INTEGER NOT NULL, created_at TEXT NOT NULL, metadata TEXT NOT NULL);
CREATE TABLE jobs (job_id TEXT PRIMARY KEY, record TEXT NOT NULL);
CREATE TABLE job_lines (job_id TEXT NOT NULL, line_no INTEGER NOT NULL, stream TEXT NOT NULL, text TEXT NOT NULL, timestamp TEXT NOT NULL, PRIMARY KEY (job_id, line_no));
"""


def test_every_public_name_of_the_package_imports() -> None:
    import vexa.devservice as package

    assert all(getattr(package, name).__name__ == name for name in package.__all__)
    with pytest.raises(AttributeError):
        package.no_such_name  # noqa: B018


def test_a_paged_read_in_progress_hides_no_later_commit(tmp_path: Path) -> None:
    """Two jobs end at once: the first one's result is still being read in pages when
    the second commits its last lines; reading the second must see all of them."""
    from vexa.devservice.storage import SQL, Database

    database = Database(tmp_path / "vexa.db")
    try:
        database.write([(SQL.INSERT_LINE, ("j_first", n, "stdout", f"first {n}", "t")) for n in range(10)])
        first = database.iterate(SQL.SELECT_LINES, ("j_first", 0), page=2)
        assert next(first)[1] == "first 0"  # a statement left open mid-read
        database.write([(SQL.INSERT_LINE, ("j_second", n, "stdout", f"second {n}", "t")) for n in range(5)])
        second = [text for _, text, _ in database.iterate(SQL.SELECT_LINES, ("j_second", 0))]
        assert second == [f"second {n}" for n in range(5)]
        assert [text for _, text, _ in database.query(SQL.SELECT_LINES, ("j_second", 0))] == second
        assert [row[1] for row in first] == [f"first {n}" for n in range(1, 10)]
    finally:
        database.close()
