"""The `vexa` command as a real process: environment, Ctrl-C, closed pipes,
missing extras, and the local service started through it."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest
from conftest import TEST_API_KEY, make_zip

pytestmark = pytest.mark.apart_from_clients

CLI_HINT = "error: the vexa command needs its extra: pip install 'vexa[cli]'"
SERVICE_HINT = "error: the local service needs its extra: pip install 'vexa[service]'"
SERVICE_NEEDS = "error: the service needs {}: pip install 'vexa[service]'"
DEADLINE_SECONDS = 30.0


def _environment(**variables: str) -> dict[str, str]:
    import vexa

    # The child imports the same vexa as the tests: installed or source tree.
    package_root = str(Path(vexa.__file__).resolve().parent.parent)
    pythonpath = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    base = {k: v for k, v in os.environ.items() if k not in ("VEXA_BASE_URL", "VEXA_API_KEY", "TTY_COMPATIBLE")}
    return {**base, "PYTHONPATH": pythonpath, **variables}


def _keyboard_signals_as_at_a_terminal() -> None:
    # A shell starts a background job (a test run started with `&`, say) with
    # Ctrl-C and Ctrl-\ ignored, and an ignored signal stays ignored across
    # exec: the command under test gets them as a terminal would send them.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)


def vexa_process(*args: str, env: dict[str, str], cwd: Path | None = None) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "vexa.cli", *args],
        env=env,
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=_keyboard_signals_as_at_a_terminal,
    )


class PipeWatcher:
    """Collects what a child writes to a pipe, on a thread, so that a test can wait
    for a text with a deadline (spinners redraw with carriage returns, not lines)."""

    def __init__(self, pipe: Any) -> None:
        self.text = ""
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._read, args=(pipe.fileno(),), daemon=True)
        self._thread.start()

    def _read(self, fd: int) -> None:
        while chunk := os.read(fd, 4096):
            with self._changed:
                self.text += chunk.decode("utf-8", errors="replace")
                self._changed.notify_all()

    def wait_for(self, pattern: str) -> re.Match[str]:
        with self._changed:
            found = self._changed.wait_for(lambda: re.search(pattern, self.text), timeout=DEADLINE_SECONDS)
        assert found, f"no {pattern!r} within {DEADLINE_SECONDS} s in {self.text!r}"
        return found

    def all_text(self) -> str:
        """Everything, once the child has closed the pipe."""
        self._thread.join(DEADLINE_SECONDS)
        return self.text


@pytest.fixture
def ended_processes() -> Iterator[list[subprocess.Popen[str]]]:
    """Processes a test starts; any still running at its end is killed, and its pipes closed
    (a test that failed half-way leaves them open, and the warning would land in another test)."""
    started: list[subprocess.Popen[str]] = []
    yield started
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait(10)
        for pipe in (process.stdout, process.stderr):
            if pipe is not None:
                pipe.close()


def test_connection_from_the_environment(service: Any, tmp_path: Path) -> None:
    (tmp_path / "env.zip").write_bytes(make_zip({"main.py": "print('env')\n"}))
    env = _environment(VEXA_BASE_URL=service.base_url, VEXA_API_KEY=TEST_API_KEY)

    def vexa(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "vexa.cli", *args], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60
        )

    uploaded = vexa("code", "upload", "env.zip")
    assert (uploaded.returncode, uploaded.stderr) == (0, "")
    code_id = uploaded.stdout.strip()
    info = vexa("code", "info", code_id, "--json")
    assert (json.loads(info.stdout)["code_name"], json.loads(info.stdout)["code_type"]) == ("env", "python")
    assert TEST_API_KEY not in uploaded.stdout + info.stdout + info.stderr
    import vexa

    vexa.Client(service.base_url, api_key=TEST_API_KEY).code.delete(code_id)


def _start_job(base_url: str, run: Callable[[Any, Any], Any]) -> str:
    import asyncio

    import vexa
    from vexa.types import CodeZip

    async def start() -> str:
        client = vexa.AsyncClient(base_url, api_key=TEST_API_KEY)
        job = await run(client, CodeZip(zip_bytes=make_zip({"main.py": "print(1)\n"})))
        return str(job.job_id)

    return asyncio.run(start())


@pytest.mark.parametrize(
    ("args", "terminal", "running"),
    [
        (["jobs", "stream", "{job_id}", "--json"], False, ("stdout", '"job_id":"j_')),
        (["jobs", "wait", "{job_id}"], True, ("stderr", "Waiting for job j_\\w+: \\w+")),  # never post-runs
    ],
    ids=["stream", "wait"],
)
def test_ctrl_c_ends_with_130_and_no_traceback(
    service_factory: Callable[..., Any],
    ended_processes: list[subprocess.Popen[str]],
    args: list[str],
    terminal: bool,
    running: tuple[str, str],
) -> None:
    service = service_factory()
    job_id = _start_job(service.base_url, lambda client, code_zip: client.web.run(code_zip))  # runs until stopped
    env = _environment(VEXA_BASE_URL=service.base_url, VEXA_API_KEY=TEST_API_KEY)
    if terminal:
        env.update(TTY_COMPATIBLE="1", TTY_INTERACTIVE="1")
    process = vexa_process(*(arg.format(job_id=job_id) for arg in args), env=env)
    ended_processes.append(process)
    watchers = {"stdout": PipeWatcher(process.stdout), "stderr": PipeWatcher(process.stderr)}
    stream, pattern = running
    watchers[stream].wait_for(pattern)  # the command is following the live job
    process.send_signal(signal.SIGINT)
    assert process.wait(DEADLINE_SECONDS) == 130
    stderr = watchers["stderr"].all_text()
    assert "Traceback" not in stderr and "Exception" not in stderr and "error" not in stderr
    if not terminal:
        assert stderr == ""


@pytest.mark.parametrize("job", ["busy", "idle"])
def test_closed_pipe_ends_quietly(
    service_factory: Callable[..., Any], ended_processes: list[subprocess.Popen[str]], job: str
) -> None:
    from vexa.types import CodeType

    if job == "busy":  # a line every 20 ms: the next write finds the pipe closed
        service = service_factory(output_lines=400, run_seconds=8.0)
        job_id = _start_job(
            service.base_url, lambda client, code_zip: client.code.ingest(code_zip, "many-lines", CodeType.PYTHON)
        )
    else:  # a web app that prints a few lines, then nothing while it serves
        service = service_factory()
        job_id = _start_job(service.base_url, lambda client, code_zip: client.web.run(code_zip))
    env = _environment(VEXA_BASE_URL=service.base_url, VEXA_API_KEY=TEST_API_KEY)
    process = vexa_process("jobs", "stream", job_id, "--json", env=env)  # `... | head -2`
    ended_processes.append(process)
    assert process.stdout is not None and process.stderr is not None
    for _ in range(2):
        assert json.loads(process.stdout.readline())["job_id"] == job_id
    process.stdout.close()
    assert process.wait(DEADLINE_SECONDS) == 141
    assert process.stderr.read() == ""
    assert service.runner.get(job_id).job_status in ("started", "queued")  # it left before the job ended


@pytest.mark.parametrize(
    ("blocked", "args", "hint"),
    [
        ("click", ["--version"], CLI_HINT),
        ("rich", ["code", "list"], CLI_HINT),
        ("uvicorn", ["service", "--port", "0", "--data-dir", "data"], SERVICE_NEEDS.format("uvicorn")),
        ("starlette", ["serve", "--data-dir", "data"], SERVICE_NEEDS.format("starlette")),
        ("platformdirs", ["serve", "--help"], SERVICE_HINT),
    ],
)
def test_missing_extra_prints_the_install_hint(tmp_path: Path, blocked: str, args: list[str], hint: str) -> None:
    program = (
        "import sys\n"
        f"sys.modules[{blocked!r}] = None  # as if not installed\n"
        "from vexa.cli import main\n"
        f"sys.exit(main({args!r}))\n"
    )
    completed = subprocess.run(
        [sys.executable, "-c", program], env=_environment(), cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert (completed.returncode, completed.stdout, completed.stderr) == (1, "", hint + "\n")
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize("name", ["service", "serve"])
def test_service_command_runs_the_local_service(
    name: str, tmp_path: Path, ended_processes: list[subprocess.Popen[str]]
) -> None:
    from test_cli import Vexa

    process = vexa_process(
        name, "--port", "0", "--data-dir", str(tmp_path / "data"), "--api-key", TEST_API_KEY, env=_environment()
    )
    ended_processes.append(process)
    found = PipeWatcher(process.stdout).wait_for(r"http://127\.0\.0\.1:\d+")
    assert Vexa(found.group(0), TEST_API_KEY).json("code", "list") == []
    process.send_signal(signal.SIGINT)
    assert process.wait(DEADLINE_SECONDS) in (0, 130)  # uvicorn may re-raise the signal it handled
    assert process.stderr is not None and "Traceback" not in process.stderr.read()


def test_service_help_is_the_services_own_in_the_commands_style(tmp_path: Path) -> None:
    completed = subprocess.run(
        [sys.executable, "-m", "vexa.cli", "serve", "--help"],
        env=_environment(),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert completed.returncode == 0
    assert completed.stdout.startswith("Usage: vexa service [OPTIONS]\n")
    assert "\nOptions:\n  --host TEXT " in completed.stdout and "\nJob limits (0: no limit):\n" in completed.stdout


def _run(*args: str, env: dict[str, str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "vexa.cli", *args], env=env, cwd=cwd, capture_output=True, text=True, timeout=60
    )


@pytest.mark.parametrize("api_key", [TEST_API_KEY, None], ids=["with-key", "without-key"])
def test_web_open_hands_the_page_to_the_browser(
    service_factory: Callable[..., Any], tmp_path: Path, api_key: str | None
) -> None:
    from vexa._browser import web_job_address, web_job_token

    service = service_factory(api_key=api_key)
    job_id = _start_job(service.base_url, lambda client, code_zip: client.web.run(code_zip))
    # $BROWSER names the browser command; this one writes down the URL it was given.
    opened = tmp_path / "opened.txt"
    browser = tmp_path / "browser.py"
    browser.write_text(f"import sys\nopen({str(opened)!r}, 'w').write(sys.argv[1])\n", encoding="utf-8")
    env = _environment(VEXA_BASE_URL=service.base_url, BROWSER=f"{sys.executable} {browser} %s")
    if api_key:
        env["VEXA_API_KEY"] = api_key
    completed = _run("web", "open", job_id, env=env, cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout == f"Opened the page of job {job_id} in the browser\n"
    token = f"?token={web_job_token(api_key, job_id)}" if api_key else ""
    assert opened.read_text(encoding="utf-8") == f"http://{web_job_address(job_id)}:{service.port}/{token}"

    # A browser command that fails: one line that says how to get the URL.
    failing = _run("web", "open", job_id, env={**env, "BROWSER": "false"}, cwd=tmp_path)
    assert (failing.returncode, failing.stdout) == (1, "")
    assert failing.stderr == f"error: no browser to open; 'vexa web open {job_id} --print' prints the URL\n"


@pytest.mark.parametrize(
    ("words", "expected"),
    [("vexa jo", {"jobs"}), ("vexa jobs w", {"wait"}), ("vexa w", {"web"}), ("vexa web o", {"open"})],
)
def test_shell_completion(tmp_path: Path, words: str, expected: set[str]) -> None:
    env = _environment(_VEXA_COMPLETE="bash_complete", COMP_WORDS=words, COMP_CWORD=str(len(words.split()) - 1))
    completed = _run(env=env, cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    assert {line.split(",", 1)[1] for line in completed.stdout.splitlines()} == expected

    script = _run(env=_environment(_VEXA_COMPLETE="bash_source"), cwd=tmp_path)
    assert script.returncode == 0 and "_VEXA_COMPLETE=bash_complete" in script.stdout
