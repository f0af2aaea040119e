"""Running jobs for real: each unpacks its code and runs `main.py` in a process of its own.

Conventions a job's code can rely on:
  - `main.py` at the zip root is started with the service's interpreter (or the
    virtual environment built for that code by an ingestion with build_pexenv),
    in the unpacked code folder;
  - environment: VEXA_JOB_ID, VEXA_OUTPUT_DIR (files left there make the result),
    and for web jobs PORT (serve HTTP on 127.0.0.1:$PORT);
  - CPU time, address space and file size are limited; a job past its time limit
    is killed; when the job ends, every process it started goes with it.

Every command of a job runs under `jobinit.py`, which holds the job's processes
in a PID namespace of their own where the system allows one ("namespace"), and
otherwise as their child subreaper, with the kill by marker after it ("reaper").
"""

from __future__ import annotations

import asyncio
import functools
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections import deque
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Awaitable, Callable, Coroutine, Literal

import httpx

from vexa.types import CodeType, JobStage, JobStatus, JobType

from .archive import ArchiveError, ArchiveLimits, extract_archive
from .codes import CodeStorage, private_dir
from .constants import JOB_MARKER_VARIABLE, KIB, MIB
from .jobs import JobRunner
from .models import Job, utc_now_iso
from .output import Line, LineSplitter
from .pidfd import pidfd_open, pidfd_send_signal

ENTRY_POINT = "main.py"
REQUIREMENTS = "requirements.txt"
# Longest line kept whole; the rest of a longer one is dropped, with a notice.
MAX_LINE_BYTES = MIB
READ_CHUNK_BYTES = 64 * KIB
ERROR_TAIL_LINES = 5
READY_POLL_SECONDS = 0.05
PROBE_TIMEOUT_SECONDS = 2.0
# How long the pipe readers may go on after the job's processes are gone.
READER_DRAIN_SECONDS = 2.0
# Rounds of looking for and killing a job's processes (a fork bomb may spawn while we look).
KILL_ROUNDS = 20
# The pause before looking again at processes that are in the middle of an exec.
EXEC_WAIT_SECONDS = 0.01
PASSED_ENVIRONMENT = ("PATH", "HOME", "LANG", "LC_ALL", "TZ", "TMPDIR", "PYENV_ROOT")
# The first process of every job; how it holds the job's processes.
JOBINIT = Path(__file__).with_name("jobinit.py")
CONTAINMENTS = ("namespace", "reaper")
END_NOW = signal.SIGUSR1  # to jobinit: end every process of the job now
# How long jobinit may take to end the job's processes before the service kills its group.
END_NOW_SECONDS = 5.0
# What a command in a PID namespace of its own sees: itself as PID 2 (jobinit's child is
# PID 1), in a /proc of the namespace.
NAMESPACE_CHECK = "import os, sys; sys.exit(not (os.getpid() == 2 and os.readlink('/proc/self') == '2'))"
# Sent with every health probe, so that an app can leave probes out of its logs.
PROBE_USER_AGENT = "vexa-health-probe"
PYTHON_VERSION = re.compile(r"\d+(\.\d+){0,2}")


@dataclass(frozen=True)
class JobLimits:
    """What one job may use; 0 means no limit."""

    time_limit_seconds: float = 3600.0
    cpu_seconds: int = 600
    memory_bytes: int = 2048 * MIB
    file_size_bytes: int = 512 * MIB
    max_output_lines: int = 100_000
    max_output_bytes: int = 16 * MIB
    kill_grace_seconds: float = 1.0


class JobFailure(Exception):
    """Ends the job with this status and error (none for "stopped")."""

    def __init__(self, error: str | None, status: JobStatus = JobStatus.FAILED) -> None:
        super().__init__(error)
        self.error = error
        self.status = status


@dataclass
class Exit:
    """How a command ended: `reason` is "exited", "stopped" or "timeout"."""

    reason: Literal["exited", "stopped", "timeout"]
    returncode: int | None
    stderr_tail: list[str]

    def describe(self, what: str) -> str:
        code = self.returncode
        if code is not None and code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = f"signal {-code}"
            text = f"{what} was killed by {name}"
            if name == "SIGXCPU":
                text += " (CPU time limit)"
        else:
            text = f"{what} exited with status {code}"
        return "\n".join([text + (":" if self.stderr_tail else ""), *self.stderr_tail])


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def find_python(version: str | None) -> str:
    """The interpreter for a virtual environment: the service's own, or an installed X.Y."""
    if not version:
        return sys.executable
    if not PYTHON_VERSION.fullmatch(version):
        raise JobFailure(f"pexenv_python must be a version such as 3.11, got {version!r}")
    major_minor = ".".join(version.split(".")[:2])
    pyenv_root = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv")
    installed = sorted((pyenv_root / "versions").glob(f"{version}*/bin/python{major_minor}"), reverse=True)
    for candidate in installed:
        if os.access(candidate, os.X_OK):
            return str(candidate)
    on_path = shutil.which(f"python{major_minor}")
    if on_path and (version == major_minor or Path(on_path).resolve().name == f"python{major_minor}"):
        return on_path
    raise JobFailure(f"Python {version} is not installed (looked in pyenv and on PATH)")


def _lists_requirements(path: Path) -> bool:
    """Whether a requirements file names anything to install (blank lines and comments do not)."""
    if not path.is_file():
        return False
    lines = (line.split("#", 1)[0].strip() for line in path.read_text(errors="replace").splitlines())
    return any(lines)


def _limit_resources(limits: JobLimits) -> Callable[[], None]:
    wanted = [
        (resource.RLIMIT_CPU, limits.cpu_seconds),
        (resource.RLIMIT_AS, limits.memory_bytes),
        (resource.RLIMIT_FSIZE, limits.file_size_bytes),
    ]

    def apply() -> None:  # runs in the child between fork and exec
        for kind, value in wanted:
            if value:
                _, hard = resource.getrlimit(kind)
                cap = value if hard == resource.RLIM_INFINITY else min(value, hard)
                # The hard CPU limit one second later: SIGXCPU first, then SIGKILL.
                top = cap + 1 if kind == resource.RLIMIT_CPU and hard == resource.RLIM_INFINITY else cap
                resource.setrlimit(kind, (cap, top))

    return apply


def processes_of_job(job_id: str) -> tuple[list[int], list[int]]:
    """The live processes that carry the job's marker in their environment, and
    those that cannot be told yet: in the middle of an exec.

    The marker (VEXA_JOB_ID=<job id>) is inherited by every process the job
    starts, whether it stays in the job's process group or not (setsid, double
    fork), and is unique: it cannot match anything else, even after a restart.
    While a process execs, its new image shows no environment and no command
    line for a moment (a parent may already have seen the exec succeed), so
    such a process is reported apart, to be looked at again.
    """
    found, unknown = [], []
    marker = f"{JOB_MARKER_VARIABLE}={job_id}".encode()
    own = os.getpid()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == own:
            continue
        try:
            environment = (entry / "environ").read_bytes()
            if marker in environment.split(b"\0"):
                found.append(int(entry.name))
            elif not environment and not (entry / "cmdline").read_bytes():
                # Kernel threads and zombies have no executable; a process mid-exec has one.
                os.readlink(entry / "exe")
                unknown.append(int(entry.name))
        except OSError:
            continue  # gone meanwhile, not ours to read, or no executable
    return found, unknown


def kill_job_processes(job_id: str) -> None:
    """SIGKILL every process that carries the job's marker, until none is left
    and none is left mid-exec. Blocks."""
    for _ in range(KILL_ROUNDS):
        pids, unknown = processes_of_job(job_id)
        if not pids and not unknown:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        if not pids:
            time.sleep(EXEC_WAIT_SECONDS)  # only processes mid-exec: look again once they are through


class ContainmentError(Exception):
    """The containment asked for is not to be had here."""


@functools.lru_cache(maxsize=None)
def namespace_refusal() -> str | None:
    """Why this system gives jobs no PID namespace of their own (None: it does).
    Asked once per process: a real job's start, in a namespace, with its own /proc."""
    command = [sys.executable, "-I", "-S", str(JOBINIT), "namespace", str(os.getpid())]
    command += [sys.executable, "-I", "-S", "-c", NAMESPACE_CHECK]
    try:
        done = subprocess.run(command, capture_output=True, timeout=60, start_new_session=True)
    except (OSError, subprocess.SubprocessError) as exc:
        return str(exc)
    if done.returncode == 0:
        return None
    said = done.stderr.decode(errors="replace").strip().splitlines()
    return said[-1].removeprefix("[vexa] ") if said else f"the check exited with status {done.returncode}"


def choose_containment(wanted: str) -> tuple[str, str]:
    """The containment to use for `wanted` ("auto" or one of CONTAINMENTS), and a line saying what it is."""
    if wanted not in ("auto", *CONTAINMENTS):
        raise ValueError(f"containment must be auto, namespace or reaper, got {wanted!r}")
    refusal = namespace_refusal() if wanted != "reaper" else None
    if wanted == "namespace" and refusal:
        raise ContainmentError(f"this system gives jobs no PID namespace: {refusal}")
    if wanted != "reaper" and refusal is None:
        return "namespace", "Each job runs in a PID namespace of its own: nothing of it outlives it."
    why = "on request" if wanted == "reaper" else f"no PID namespace here: {refusal}"
    return "reaper", (
        f"Jobs are held by their own reaper and the kill by marker ({why}): "
        "a job process that kills its reaper and clears its environment can outlive it."
    )


def _signal_group(pgid: int, signum: int) -> None:
    try:
        os.killpg(pgid, signum)
    except (ProcessLookupError, PermissionError):
        pass  # the group is gone already


async def _exited(pidfd: int) -> None:
    """Returns once the process of `pidfd` has exited, without waiting for its pipes to
    close (asyncio's `Process.wait()` also waits for them on Python 3.11+, and a child
    that inherited stdout would keep the job going)."""
    pidfd = os.dup(pidfd)  # a loop has one reader per descriptor: each waiter watches its own
    loop = asyncio.get_running_loop()
    readable: asyncio.Future[None] = loop.create_future()

    def on_readable() -> None:
        if not readable.done():
            readable.set_result(None)

    loop.add_reader(pidfd, on_readable)
    try:
        await readable
    finally:
        loop.remove_reader(pidfd)
        os.close(pidfd)


async def _read_lines(
    stream: asyncio.StreamReader,
    splitter: LineSplitter,
    on_line: Callable[[Line], None],
    keep_up: Callable[[], Awaitable[None]],
) -> None:
    while chunk := await stream.read(READ_CHUNK_BYTES):
        for line in splitter.feed(chunk):
            on_line(line)
        await keep_up()  # the pipe fills meanwhile, which holds the job back
    for line in splitter.close():
        on_line(line)


class ProcessRuns:
    """Runs each job's `main.py` (after unpacking and, for ingestions, preparing its code)."""

    def __init__(
        self,
        storage: CodeStorage,
        limits: JobLimits | None = None,
        archive_limits: ArchiveLimits | None = None,
        containment: str = "auto",
    ) -> None:
        self.containment, self.containment_note = choose_containment(containment)
        self.storage = storage
        self.limits = limits or JobLimits()
        self.archive_limits = archive_limits or storage.limits
        self.work_dir = storage.data_dir / "work"
        shutil.rmtree(self.work_dir, ignore_errors=True)  # folders of jobs that ran before a restart
        private_dir(self.work_dir)
        self.http: httpx.AsyncClient | None = None

    async def start(self) -> None:
        # No pooled connections: each app lives only as long as its job.
        self.http = httpx.AsyncClient(
            timeout=httpx.Timeout(30.0, connect=5.0), limits=httpx.Limits(max_keepalive_connections=0)
        )

    async def close(self) -> None:
        if self.http is not None:
            await self.http.aclose()

    async def is_healthy(self, job: Job) -> bool:
        return (
            job.job_stage == JobStage.RUNNING
            and not job.ended
            and job.port is not None
            and await self._app_answers(job.port)
        )

    async def _app_answers(self, port: int) -> bool:
        assert self.http is not None
        probe = self.http.stream(
            "GET", f"http://127.0.0.1:{port}/", headers={"User-Agent": PROBE_USER_AGENT}, timeout=PROBE_TIMEOUT_SECONDS
        )
        try:
            async with probe as response:  # the status is enough: the body is left unread
                return response.status_code < 500
        except httpx.HTTPError:
            return False

    def kill_leftovers(self, job: Job) -> None:
        kill_job_processes(job.job_id)

    async def stop(self, runner: JobRunner, job: Job) -> None:
        job.stop_requested.set()
        if job.task is not None:
            await asyncio.shield(job.task)

    # ----- one job -----

    async def drive(self, runner: JobRunner, job: Job) -> None:
        work = self.work_dir / job.job_id
        code_dir, output_dir = work / "code", work / "output"
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.limits.time_limit_seconds if self.limits.time_limit_seconds else None
        try:
            job.job_status, job.started_at = JobStatus.STARTED, utc_now_iso()
            runner.say(job, f"Unpacking {job.code_name} ({job.code_id})")
            names = await self._unpack(job, code_dir, output_dir)
            if ENTRY_POINT not in names:
                raise JobFailure(f"The code has no {ENTRY_POINT} at the root of its zip")
            python = sys.executable
            venv_python = self.storage.venv_path(job.code_id or "") / "bin" / "python"
            if job.job_type == JobType.INGEST:
                if job.options.get("build_pexenv"):
                    python = await self._build_venv(runner, job, code_dir, deadline)
                if job.code_type == CodeType.WEB:
                    runner.say(job, f"Code {job.code_id} is ready to serve")
                    await runner.finish(job, JobStatus.FINISHED)
                    return
            elif await asyncio.to_thread(venv_python.exists):
                python = str(venv_python)
            env = {"VEXA_OUTPUT_DIR": str(output_dir)}
            if job.job_type == JobType.WEB:
                job.port = free_port()
                env["PORT"] = str(job.port)
            ended = await self._run(
                runner, job, [python, ENTRY_POINT], code_dir, env, deadline, self._running_when_ready(runner, job)
            )
            await runner.finish(job, *self._outcome(ended, ENTRY_POINT), output_dir)
        except JobFailure as failure:
            if failure.error:
                runner.say(job, failure.error, "stderr")
            await runner.finish(job, failure.status, failure.error, output_dir)
        except Exception as exc:  # a fault of the service (a full disk, say): the job must still end
            error = f"The service could not run the job: {exc}"
            runner.say(job, error, "stderr")
            await runner.finish(job, JobStatus.FAILED, error)
        finally:
            job.port = None
            await asyncio.to_thread(shutil.rmtree, work, True)

    @staticmethod
    def _outcome(ended: Exit, what: str) -> tuple[JobStatus, str | None]:
        if ended.reason == "stopped":
            return JobStatus.STOPPED, None
        if ended.reason == "timeout":
            return JobStatus.TIMEOUT, f"{what} ran past the job's time limit and was killed"
        if ended.returncode == 0:
            return JobStatus.FINISHED, None
        return JobStatus.FAILED, ended.describe(what)

    async def _unpack(self, job: Job, code_dir: Path, output_dir: Path) -> list[str]:
        zip_path = self.storage.zip_path(job.code_id or "")

        def unpack() -> list[str]:
            output_dir.mkdir(parents=True, exist_ok=True)
            return extract_archive(zip_path, code_dir, self.archive_limits)

        try:
            return await asyncio.to_thread(unpack)
        except ArchiveError as exc:
            raise JobFailure(f"The code cannot be unpacked: {exc.detail}") from None
        except FileNotFoundError:
            raise JobFailure(f"Code {job.code_id} was deleted before the job started") from None

    def _running_when_ready(self, runner: JobRunner, job: Job) -> Callable[[], Coroutine[Any, Any, None]]:
        """What marks the job running: a web job once its app answers, others at once."""

        async def mark_running() -> None:
            if job.job_type == JobType.WEB:
                assert job.port is not None
                while not await self._app_answers(job.port):
                    await asyncio.sleep(READY_POLL_SECONDS)
                runner.say(job, f"Web app answers on port {job.port}")
            job.job_stage = JobStage.RUNNING
            runner.notify(job)

        return mark_running

    async def _build_venv(self, runner: JobRunner, job: Job, code_dir: Path, deadline: float | None) -> str:
        """Build the code's virtual environment (pip's output is the job's); returns its python."""
        base = await asyncio.to_thread(find_python, job.options.get("pexenv_python"))
        venv = self.storage.venv_path(job.code_id or "")
        staging = venv.with_name(venv.name + ".partial")
        requirements = code_dir / REQUIREMENTS
        needs_pip = await asyncio.to_thread(_lists_requirements, requirements)
        await asyncio.to_thread(shutil.rmtree, staging, True)
        runner.say(job, f"Building a virtual environment with {base}")
        create = [base, "-m", "venv", "--without-pip", str(staging)]
        ended = await self._run(runner, job, create, code_dir, {}, deadline)
        status, error = self._outcome(ended, "Creating the virtual environment")
        if status != JobStatus.FINISHED:
            raise JobFailure(error, status)
        python = staging / "bin" / "python"
        if needs_pip:
            runner.say(job, f"Installing {REQUIREMENTS}")
            # The service's own pip installs into the environment (pip --python): no
            # copy of pip is put into each environment, which is what takes time.
            install = [
                sys.executable,
                "-m",
                "pip",
                "--python",
                str(python),
                "install",
                "--disable-pip-version-check",
                "--no-input",
                "-r",
                REQUIREMENTS,
            ]
            pip_settings = {name: value for name, value in os.environ.items() if name.startswith("PIP_")}
            ended = await self._run(runner, job, install, code_dir, pip_settings, deadline)
            status, error = self._outcome(ended, f"pip install -r {REQUIREMENTS}")
            if status != JobStatus.FINISHED:
                raise JobFailure(error, status)

        def put_in_place() -> None:
            shutil.rmtree(venv, ignore_errors=True)
            os.replace(staging, venv)

        await asyncio.to_thread(put_in_place)
        runner.say(job, f"Virtual environment ready at {venv}")
        return str(venv / "bin" / "python")

    async def _run(
        self,
        runner: JobRunner,
        job: Job,
        argv: list[str],
        cwd: Path,
        extra_env: dict[str, str],
        deadline: float | None,
        on_started: Callable[[], Coroutine[Any, Any, None]] | None = None,
    ) -> Exit:
        """Run one command as the job: its lines become the job's output; ends it on
        terminate or at the deadline. Once the command has ended, for whatever reason,
        no process the job started is left (its group, and any that carry its marker)."""
        if job.stop_requested.is_set():
            return Exit("stopped", None, [])
        env = {name: os.environ[name] for name in PASSED_ENVIRONMENT if name in os.environ}
        env.update(PYTHONUNBUFFERED="1", PYTHONDONTWRITEBYTECODE="1", **extra_env)
        env[JOB_MARKER_VARIABLE] = job.job_id
        held = [sys.executable, "-I", "-S", str(JOBINIT), self.containment, str(os.getpid()), *argv]
        try:
            process = await asyncio.create_subprocess_exec(
                *held,
                cwd=cwd,
                env=env,
                stdin=asyncio.subprocess.DEVNULL,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
                start_new_session=True,  # own process group: one signal reaches every child
                preexec_fn=_limit_resources(self.limits),
            )
        except OSError as exc:
            raise JobFailure(f"Could not start {argv[0]}: {exc}") from None
        try:
            pidfd = pidfd_open(process.pid)
        except ProcessLookupError:  # gone already (and reaped): nothing of it can be left
            pidfd = None
        job.pid = process.pid
        runner.notify(job)  # saved: a restart after a crash can find what is left of it
        stderr_tail: deque[str] = deque(maxlen=ERROR_TAIL_LINES)

        def reader(stream_name: str) -> Callable[[Line], None]:
            def on_line(line: Line) -> None:
                text = line.text()
                if stream_name == "stderr":
                    stderr_tail.append(text)
                self._emit_capped(runner, job, stream_name, text, len(line.data) + 1)

            return on_line

        def keep_up() -> Awaitable[None]:
            return runner.keep_up(job)

        assert process.stdout is not None and process.stderr is not None
        readers = [
            asyncio.create_task(_read_lines(process.stdout, LineSplitter(MAX_LINE_BYTES), reader("stdout"), keep_up)),
            asyncio.create_task(_read_lines(process.stderr, LineSplitter(MAX_LINE_BYTES), reader("stderr"), keep_up)),
        ]
        exiting = asyncio.create_task(_exited(pidfd) if pidfd is not None else asyncio.sleep(0))
        stopping = asyncio.create_task(job.stop_requested.wait())
        starting = asyncio.create_task(on_started()) if on_started is not None else None
        reason: Literal["exited", "stopped", "timeout"] = "exited"
        try:
            timeout = None if deadline is None else max(0.0, deadline - asyncio.get_running_loop().time())
            await asyncio.wait({exiting, stopping}, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
            if not exiting.done():
                reason = "stopped" if stopping.done() else "timeout"
                if reason == "timeout":
                    runner.say(job, "Time limit reached, killing the job")
                elif job.unsaved is None:  # else the runner said why it stops the job
                    runner.say(job, "Terminated on request")
                await self._stop_gracefully(process.pid, pidfd)
        finally:
            for task in (stopping, starting, exiting):
                if task is not None:
                    task.cancel()
            await asyncio.shield(self._end_everything(process.pid, pidfd, job.job_id))
            try:  # reaped once gone; on Python 3.11+ also waits for the pipes, closed by now
                await asyncio.wait_for(asyncio.shield(process.wait()), READER_DRAIN_SECONDS)
            except asyncio.TimeoutError:
                pass
            job.pid = None
            await asyncio.wait(readers, timeout=READER_DRAIN_SECONDS)
            for task in readers:
                task.cancel()
        return Exit(reason, process.returncode, list(stderr_tail))

    async def _stop_gracefully(self, pgid: int, pidfd: int | None) -> None:
        """SIGTERM to the job's process group, and its grace time to end."""
        if self.limits.kill_grace_seconds > 0 and pidfd is not None:
            _signal_group(pgid, signal.SIGTERM)
            try:
                await asyncio.wait_for(_exited(pidfd), self.limits.kill_grace_seconds)
            except asyncio.TimeoutError:
                pass

    async def _end_everything(self, pgid: int, pidfd: int | None, job_id: str) -> None:
        """Once a command has ended, or must: jobinit ends every process of the job
        (the kernel does, with a namespace) and exits; then, should it not, the group
        is killed, and, without a namespace, anything else that carries the job's marker."""
        if pidfd is not None:
            try:
                pidfd_send_signal(pidfd, END_NOW)
                await asyncio.wait_for(_exited(pidfd), END_NOW_SECONDS)
            except ProcessLookupError:
                pass  # jobinit has exited: it ended everything before it did
            except asyncio.TimeoutError:
                pass
            finally:
                os.close(pidfd)
        _signal_group(pgid, signal.SIGKILL)
        if self.containment != "namespace":
            await asyncio.to_thread(kill_job_processes, job_id)

    def _emit_capped(self, runner: JobRunner, job: Job, stream: str, text: str, size: int) -> None:
        """Keep the line unless the job's output is over a cap; say so once where it is cut."""
        if job.output_cut:
            return
        limits = self.limits
        over_lines = limits.max_output_lines and job.own_lines >= limits.max_output_lines
        over_bytes = limits.max_output_bytes and job.output_bytes + size > limits.max_output_bytes
        if over_lines or over_bytes:
            job.output_cut = True
            what = f"{limits.max_output_lines} lines" if over_lines else f"{limits.max_output_bytes} bytes"
            runner.say(job, f"Output cut: the job printed more than {what}", "stderr")
            return
        job.own_lines += 1
        job.output_bytes += size
        runner.emit(job, stream, text)
