"""Job records, output buffers, persistence, and the simulated runner.

All job state lives on the server's event loop. Methods marked thread-safe may be
called from other threads (tests, demos); everything else must run on the loop.
`JobRunner` holds what every runner shares: the job table, output streaming,
results, termination and persistence. `SimulatedJobRunner` plays jobs by a
fixed timing; `vexa.devservice.process.ProcessJobRunner` runs them for real.

Behaviour hooks of the simulated runner, chosen by a code name prefix or by a
file of that name at the root of the code zip:
  fail           ends "failed" with an error after some output
  timeout        ends "timeout" with an error after its output
  cancel         ends "canceled" while still queued
  unknown-stage  stage "unknown" instead of "running" while started
  hold           stays queued until `release()` (or terminate)
  scheduled      waits with status "scheduled" instead of "queued"
  deferred       waits with status "deferred" instead of "queued"
"""

from __future__ import annotations

import asyncio
import json
import os
import secrets
import tempfile
import threading
import zipfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, AsyncIterator, Callable, TypeVar

from .storage import CodeStorage, Database, utc_now_iso

JOB_TYPES = ("ingest", "run", "web")
JOB_STATUSES = ("queued", "scheduled", "started", "deferred", "canceled", "stopped", "failed", "finished", "timeout")
JOB_STAGES = ("pre_running", "running", "post_running", "unknown")
ENDED_STATUSES = frozenset({"canceled", "stopped", "failed", "finished", "timeout"})
HOOKS = ("fail", "timeout", "cancel", "unknown-stage", "hold", "scheduled", "deferred")
SAVE_INTERVAL_SECONDS = 0.05
SERVICE_STOPPED_ERROR = "The service stopped while this job was running"

T = TypeVar("T")


@dataclass(frozen=True)
class JobTimings:
    queue_seconds: float = 0.3
    run_seconds: float = 1.0
    output_lines: int = 5
    keepalive_seconds: float = 1.0


def detect_hooks(code_name: str, zip_path: Path | None) -> frozenset[str]:
    found = {hook for hook in HOOKS if code_name.startswith(hook)}
    if zip_path is not None:
        try:
            with zipfile.ZipFile(zip_path) as archive:
                names = {name.rstrip("/") for name in archive.namelist()}
        except (zipfile.BadZipFile, OSError):
            names = set()
        found.update(hook for hook in HOOKS if hook in names)
    return frozenset(found)


@dataclass
class OutputLine:
    job_id: str
    stream: str
    text: str
    timestamp: str

    def to_json(self) -> dict[str, str]:
        return {"job_id": self.job_id, "stream": self.stream, "text": self.text, "timestamp": self.timestamp}


# Named here: inside JobRunner, `list` is the method of that name.
OutputBatch = list[OutputLine]


@dataclass
class Job:
    job_id: str
    job_type: str
    code_id: str | None
    code_name: str
    code_type: str = "python"
    hooks: frozenset[str] = frozenset()
    options: dict[str, Any] = field(default_factory=dict)
    job_status: str = "queued"
    job_stage: str = "pre_running"
    created_at: str = field(default_factory=utc_now_iso)
    started_at: str | None = None
    ended_at: str | None = None
    error: str | None = None
    lines: list[OutputLine] = field(default_factory=list)
    saved_lines: int = 0  # how many of `lines` the database has
    # Replaced on every change; waiters grab the current one before checking state.
    changed: asyncio.Event = field(default_factory=asyncio.Event)
    released: asyncio.Event = field(default_factory=asyncio.Event)
    stop_requested: asyncio.Event = field(default_factory=asyncio.Event)
    task: asyncio.Task[None] | None = None
    port: int | None = None  # a running web job's app port
    pid: int | None = None  # its running process (also its process group id)

    @property
    def ended(self) -> bool:
        return self.job_status in ENDED_STATUSES

    def to_json(self) -> dict[str, Any]:
        return {
            "job_id": self.job_id,
            "job_type": self.job_type,
            "job_status": self.job_status,
            "job_stage": self.job_stage,
            "code_id": self.code_id,
            "created_at": self.created_at,
            "started_at": self.started_at,
            "ended_at": self.ended_at,
            "error": self.error,
        }

    def to_record(self) -> dict[str, Any]:
        return {
            **self.to_json(),
            "code_name": self.code_name,
            "code_type": self.code_type,
            "options": self.options,
            "pid": self.pid,
        }

    @classmethod
    def from_record(cls, record: dict[str, Any]) -> "Job":
        return cls(**record)


def _regular_files(folder: Path) -> list[Path]:
    """Regular files under `folder`; links are neither followed nor taken."""
    found = []
    for parent, _, names in os.walk(folder, followlinks=False):
        for name in names:
            file = Path(parent, name)
            if not file.is_symlink() and file.is_file():
                found.append(file)
    return sorted(found)


def write_result(path: Path, job_json: dict[str, Any], lines: list[OutputLine], output_dir: Path | None) -> None:
    """Write the result zip through a temporary sibling: readers see all of it or the old one.

    The job's files (from `output_dir`, links skipped) keep their relative paths;
    the logs (output.txt, stdout.txt, stderr.txt, job.json) go beside them unless
    the job wrote a file of that name itself.
    """

    def text_of(selected: list[OutputLine]) -> str:
        return "".join(line.text + "\n" for line in selected)

    logs: dict[str, Callable[[], str]] = {
        "output.txt": lambda: text_of(lines),
        "stdout.txt": lambda: text_of([line for line in lines if line.stream == "stdout"]),
        "stderr.txt": lambda: text_of([line for line in lines if line.stream == "stderr"]),
        "job.json": lambda: json.dumps(job_json, indent=2),
    }
    fd, staging = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as raw, zipfile.ZipFile(raw, "w", compression=zipfile.ZIP_DEFLATED) as archive:
            written = set()
            if output_dir is not None:
                for file in _regular_files(output_dir):
                    name = file.relative_to(output_dir).as_posix()
                    archive.write(file, name)
                    written.add(name)
            for name, text in logs.items():
                if name not in written:
                    archive.writestr(name, text())
        os.replace(staging, path)
    except BaseException:
        Path(staging).unlink(missing_ok=True)
        raise


class JobStore:
    """Saves job records and output lines to the database from one writer thread, in order."""

    def __init__(self, database: Database) -> None:
        self.database = database
        self._writer = ThreadPoolExecutor(max_workers=1, thread_name_prefix="vexa-jobstore")

    def load(self) -> list[Job]:
        jobs = []
        for (raw,) in self.database.query("SELECT record FROM jobs ORDER BY rowid"):
            job = Job.from_record(json.loads(raw))
            rows = self.database.query(
                "SELECT stream, text, timestamp FROM job_lines WHERE job_id = ? ORDER BY line_no", (job.job_id,)
            )
            job.lines = [OutputLine(job.job_id, stream, text, timestamp) for stream, text, timestamp in rows]
            job.saved_lines = len(job.lines)
            jobs.append(job)
        return jobs

    def save(self, jobs: list[Job]) -> None:
        """Snapshot the jobs (on the loop) and write them in the background."""
        statements: list[tuple[str, Any]] = []
        for job in jobs:
            statements.append(
                (
                    "INSERT INTO jobs (job_id, record) VALUES (?, ?) ON CONFLICT(job_id) DO UPDATE SET record = excluded.record",
                    (job.job_id, json.dumps(job.to_record())),
                )
            )
            for line_no in range(job.saved_lines, len(job.lines)):
                line = job.lines[line_no]
                statements.append(
                    ("INSERT INTO job_lines VALUES (?, ?, ?, ?, ?)", (job.job_id, line_no, line.stream, line.text, line.timestamp))
                )
            job.saved_lines = len(job.lines)
        self._writer.submit(self.database.write, statements)

    def close(self) -> None:
        self._writer.shutdown(wait=True)

    async def drain(self) -> None:
        """Wait until every write submitted so far is done."""
        await asyncio.get_running_loop().run_in_executor(self._writer, lambda: None)


class JobRunner:
    """What every runner shares; subclasses implement `_drive` (and may extend `_stop`)."""

    def __init__(
        self,
        results_dir: str | Path,
        timings: JobTimings | None = None,
        *,
        database: Database,
        storage: CodeStorage,
    ) -> None:
        self.results_dir = Path(results_dir)
        self.results_dir.mkdir(parents=True, exist_ok=True)
        self.timings = timings or JobTimings()
        self.storage = storage
        self.store = JobStore(database)
        self.loop: asyncio.AbstractEventLoop | None = None
        self.ready = threading.Event()
        self.closing = False
        self._dirty: dict[str, Job] = {}
        self._save_timer: asyncio.TimerHandle | None = None
        self.jobs: dict[str, Job] = {job.job_id: job for job in self.store.load()}
        self._end_interrupted_jobs()

    def _end_interrupted_jobs(self) -> None:
        """Jobs the last run of the service left unended end now, with an error saying why."""
        interrupted = [job for job in self.jobs.values() if not job.ended]
        for job in interrupted:
            self._kill_leftovers(job)
            job.pid = None
            job.job_status, job.job_stage = "failed", "post_running"
            job.error, job.ended_at = SERVICE_STOPPED_ERROR, utc_now_iso()
            if not self.result_path(job.job_id).exists():
                write_result(self.result_path(job.job_id), job.to_json(), job.lines, None)
        if interrupted:
            self.store.save(interrupted)

    # ----- lifecycle -----

    def bind_loop(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.closing = False
        self.ready.set()

    async def close(self) -> None:
        """Stop all jobs, mark them ended, wake every streamer and save everything."""
        self.closing = True
        tasks = [job.task for job in self.jobs.values() if job.task is not None and not job.task.done()]
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        for job in list(self.jobs.values()):
            if not job.ended:
                await self._finish(job, "failed", SERVICE_STOPPED_ERROR)
            self._notify(job)
        self._flush()
        await self.store.drain()

    # ----- queries -----

    def get(self, job_id: str) -> Job | None:
        return self.jobs.get(job_id)

    def list(self, job_type: str | None = None, job_status: str | None = None, job_stage: str | None = None) -> list[Job]:
        jobs = list(self.jobs.values())
        jobs.reverse()  # newest first
        return [
            job
            for job in jobs
            if (job_type is None or job.job_type == job_type)
            and (job_status is None or job.job_status == job_status)
            and (job_stage is None or job.job_stage == job_stage)
        ]

    def result_path(self, job_id: str) -> Path:
        return self.results_dir / f"{job_id}.zip"

    async def is_healthy(self, job: Job) -> bool:
        return job.job_stage == "running"

    # ----- commands (on the loop) -----

    def submit(
        self,
        job_type: str,
        code_id: str | None,
        code_name: str,
        hooks: frozenset[str] = frozenset(),
        options: dict[str, Any] | None = None,
        code_type: str = "python",
    ) -> Job:
        if job_type not in JOB_TYPES:
            raise ValueError(f"unknown job type {job_type!r}")
        job = Job(
            job_id="j_" + secrets.token_hex(8),
            job_type=job_type,
            code_id=code_id,
            code_name=code_name,
            code_type=code_type,
            hooks=hooks,
            options=dict(options or {}),
        )
        self.jobs[job.job_id] = job
        self._notify(job)
        job.task = asyncio.get_running_loop().create_task(self._drive(job))
        return job

    async def terminate(self, job: Job) -> Job:
        """End a job "stopped"; returns once it has ended (an ended job stays as it is)."""
        if not job.ended:
            await self._stop(job)
        return job

    async def follow(self, job: Job) -> AsyncIterator[OutputBatch | None]:
        """Yield the job's lines so far, then new ones, in batches of what has
        arrived since the last batch; None means idle (keep-alive).

        Ends once the job has ended and every line was yielded.
        """
        sent = 0
        while True:
            changed = job.changed
            if sent < len(job.lines):
                batch = job.lines[sent:]
                sent += len(batch)
                yield batch
                continue  # more may have come while the batch was sent
            if job.ended or self.closing:
                return
            try:
                await asyncio.wait_for(changed.wait(), self.timings.keepalive_seconds)
            except asyncio.TimeoutError:
                yield None

    # ----- thread-safe test hooks -----

    def release(self, job_id: str) -> None:
        """Let a job held by the "hold" hook leave the queue."""
        self._on_loop(lambda: self._require(job_id).released.set())

    def force_state(
        self, job_id: str, job_status: str | None = None, job_stage: str | None = None, error: str | None = None
    ) -> dict[str, Any]:
        """Overwrite a job's status/stage/error (does not stop it)."""

        def apply() -> dict[str, Any]:
            job = self._require(job_id)
            if job_status is not None:
                job.job_status = job_status
            if job_stage is not None:
                job.job_stage = job_stage
            if error is not None:
                job.error = error
            self._notify(job)
            return job.to_json()

        return self._on_loop(apply)

    def terminate_threadsafe(self, job_id: str) -> dict[str, Any]:
        async def stop() -> dict[str, Any]:
            return (await self.terminate(self._require(job_id))).to_json()

        if self.loop is None:
            raise RuntimeError("runner is not bound to a running loop")
        return asyncio.run_coroutine_threadsafe(stop(), self.loop).result(timeout=30)

    # ----- for subclasses -----

    def _kill_leftovers(self, job: Job) -> None:
        """End what a job of a service that died without stopping it left running."""

    async def _drive(self, job: Job) -> None:
        raise NotImplementedError

    async def _stop(self, job: Job) -> None:
        if job.task is not None:
            job.task.cancel()
        self._emit(job, "stdout", "terminated on request")
        await self._finish(job, "stopped")

    def _notify(self, job: Job) -> None:
        job.changed.set()
        job.changed = asyncio.Event()
        self._dirty[job.job_id] = job
        if self._save_timer is None:
            # One write per interval, however many changes come in it.
            self._save_timer = asyncio.get_running_loop().call_later(SAVE_INTERVAL_SECONDS, self._flush)

    def _emit(self, job: Job, stream: str, text: str) -> None:
        job.lines.append(OutputLine(job.job_id, stream, text, utc_now_iso()))
        self._notify(job)

    async def _finish(self, job: Job, status: str, error: str | None = None, output_dir: Path | None = None) -> None:
        """End the job: its result is on disk before anyone can see it ended."""
        if job.ended:
            return
        ended_at = utc_now_iso()
        final = {**job.to_json(), "job_status": status, "job_stage": "post_running", "error": error, "ended_at": ended_at}
        await asyncio.to_thread(write_result, self.result_path(job.job_id), final, list(job.lines), output_dir)
        if job.ended:  # ended another way while the result was written
            return
        job.job_status, job.job_stage, job.error, job.ended_at = status, "post_running", error, ended_at
        self._notify(job)

    # ----- internals -----

    def _flush(self) -> None:
        if self._save_timer is not None:
            self._save_timer.cancel()
            self._save_timer = None
        dirty = list(self._dirty.values())
        self._dirty.clear()
        if dirty:
            self.store.save(dirty)

    def _require(self, job_id: str) -> Job:
        job = self.jobs.get(job_id)
        if job is None:
            raise KeyError(job_id)
        return job

    def _on_loop(self, action: Callable[[], T]) -> T:
        if self.loop is None:
            raise RuntimeError("runner is not bound to a running loop")
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is self.loop:
            return action()

        async def call() -> T:
            return action()

        return asyncio.run_coroutine_threadsafe(call(), self.loop).result(timeout=10)


class SimulatedJobRunner(JobRunner):
    """Plays every job by `timings` without running its code (steered by the hooks above)."""

    async def _drive(self, job: Job) -> None:
        timings = self.timings
        hooks = job.hooks
        try:
            if "scheduled" in hooks:
                job.job_status = "scheduled"
            elif "deferred" in hooks:
                job.job_status = "deferred"
            self._notify(job)
            await asyncio.sleep(timings.queue_seconds)
            if "hold" in hooks:
                await job.released.wait()
            if "cancel" in hooks:
                await self._finish(job, "canceled", error="Job was canceled before it started")
                return

            job.job_status = "started"
            job.job_stage = "unknown" if "unknown-stage" in hooks else "running"
            job.started_at = utc_now_iso()
            self._emit(job, "stdout", f"[{job.job_type}] {job.code_name}: started")
            if job.job_type == "ingest" and job.options.get("build_pexenv"):
                python = job.options.get("pexenv_python") or "default"
                self._emit(job, "stdout", f"building pex environment with python {python}")

            total = max(1, timings.output_lines)
            interval = timings.run_seconds / total
            steps = total // 2 if "fail" in hooks else total
            for step in range(1, steps + 1):
                await asyncio.sleep(interval)
                stream = "stderr" if step % 2 == 0 else "stdout"
                self._emit(job, stream, f"[{job.job_type}] {job.code_name}: step {step}/{total}")

            if "fail" in hooks:
                self._emit(job, "stderr", "RuntimeError: simulated failure")
                await self._finish(job, "failed", error=f"Job {job.job_id} failed: RuntimeError: simulated failure")
            elif "timeout" in hooks:
                await self._finish(job, "timeout", error=f"Job {job.job_id} exceeded its time limit")
            elif job.job_type == "web":
                self._emit(job, "stdout", "web app ready")
                await asyncio.Event().wait()  # serves until terminated
            else:
                self._emit(job, "stdout", f"[{job.job_type}] {job.code_name}: done")
                await self._finish(job, "finished")
        except asyncio.CancelledError:
            pass  # terminate() or close() sets the final state
