"""Simulated job runner: job state machine, output buffers and timings.

All job state lives on the server's event loop. Methods marked thread-safe may be
called from other threads (tests, demos); everything else must run on the loop.

Behaviour hooks, chosen by a code name prefix or by a file of that name at the
root of the code zip:
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
import secrets
import threading
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, AsyncIterator, Callable, TypeVar

from .storage import utc_now_iso

JOB_TYPES = ("ingest", "run", "web")
JOB_STATUSES = ("queued", "scheduled", "started", "deferred", "canceled", "stopped", "failed", "finished", "timeout")
JOB_STAGES = ("pre_running", "running", "post_running", "unknown")
ENDED_STATUSES = frozenset({"canceled", "stopped", "failed", "finished", "timeout"})
HOOKS = ("fail", "timeout", "cancel", "unknown-stage", "hold", "scheduled", "deferred")

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
            names = set()  # only the magic bytes are checked on upload
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


@dataclass
class Job:
    job_id: str
    job_type: str
    code_id: str | None
    code_name: str
    hooks: frozenset[str]
    options: dict[str, Any] = field(default_factory=dict)
    job_status: str = "queued"
    job_stage: str = "pre_running"
    created_at: str = field(default_factory=utc_now_iso)
    started_at: str | None = None
    ended_at: str | None = None
    error: str | None = None
    lines: list[OutputLine] = field(default_factory=list)
    # Replaced on every change; waiters grab the current one before checking state.
    changed: asyncio.Event = field(default_factory=asyncio.Event)
    released: asyncio.Event = field(default_factory=asyncio.Event)
    task: asyncio.Task[None] | None = None

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


class JobRunner:
    def __init__(self, results_dir: str | Path, timings: JobTimings | None = None) -> None:
        self.results_dir = Path(results_dir)
        self.results_dir.mkdir(parents=True, exist_ok=True)
        self.timings = timings or JobTimings()
        self.jobs: dict[str, Job] = {}
        self.loop: asyncio.AbstractEventLoop | None = None
        self.ready = threading.Event()
        self.closing = False

    # ----- lifecycle -----

    def bind_loop(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.closing = False
        self.ready.set()

    async def close(self) -> None:
        """Stop all job tasks and wake every streamer so open responses finish."""
        self.closing = True
        tasks = [job.task for job in self.jobs.values() if job.task is not None and not job.task.done()]
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        for job in self.jobs.values():
            self._notify(job)

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

    # ----- commands (on the loop) -----

    def submit(
        self,
        job_type: str,
        code_id: str | None,
        code_name: str,
        hooks: frozenset[str] = frozenset(),
        options: dict[str, Any] | None = None,
    ) -> Job:
        if job_type not in JOB_TYPES:
            raise ValueError(f"unknown job type {job_type!r}")
        job = Job(
            job_id="j_" + secrets.token_hex(8),
            job_type=job_type,
            code_id=code_id,
            code_name=code_name,
            hooks=hooks,
            options=dict(options or {}),
        )
        self.jobs[job.job_id] = job
        job.task = asyncio.get_running_loop().create_task(self._drive(job))
        return job

    def terminate(self, job: Job) -> Job:
        if job.ended:
            return job
        if job.task is not None:
            job.task.cancel()
        self._emit(job, "stdout", "terminated on request")
        self._end(job, "stopped")
        return job

    async def follow(self, job: Job) -> AsyncIterator[OutputLine | None]:
        """Yield the job's lines so far, then new ones; None means idle (keep-alive).

        Ends once the job has ended and every line was yielded.
        """
        sent = 0
        while True:
            changed = job.changed
            while sent < len(job.lines):
                yield job.lines[sent]
                sent += 1
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
        """Overwrite a job's status/stage/error (does not stop its simulation)."""

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
        return self._on_loop(lambda: self.terminate(self._require(job_id)).to_json())

    # ----- internals -----

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

    def _notify(self, job: Job) -> None:
        job.changed.set()
        job.changed = asyncio.Event()

    def _emit(self, job: Job, stream: str, text: str) -> None:
        job.lines.append(OutputLine(job.job_id, stream, text, utc_now_iso()))
        self._notify(job)

    def _end(self, job: Job, status: str, error: str | None = None) -> None:
        job.job_status = status
        job.job_stage = "post_running"
        job.error = error
        job.ended_at = utc_now_iso()
        self._write_result(job)
        self._notify(job)

    def _write_result(self, job: Job) -> None:
        def text_of(lines: list[OutputLine]) -> str:
            return "".join(line.text + "\n" for line in lines)

        path = self.result_path(job.job_id)
        staging = path.with_suffix(".tmp")
        with zipfile.ZipFile(staging, "w", compression=zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("output.txt", text_of(job.lines))
            archive.writestr("stdout.txt", text_of([line for line in job.lines if line.stream == "stdout"]))
            archive.writestr("stderr.txt", text_of([line for line in job.lines if line.stream == "stderr"]))
            archive.writestr("job.json", json.dumps(job.to_json(), indent=2))
        staging.replace(path)

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
                self._end(job, "canceled", error="Job was canceled before it started")
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
                self._end(job, "failed", error=f"Job {job.job_id} failed: RuntimeError: simulated failure")
            elif "timeout" in hooks:
                self._end(job, "timeout", error=f"Job {job.job_id} exceeded its time limit")
            elif job.job_type == "web":
                self._emit(job, "stdout", "web app ready")
                await asyncio.Event().wait()  # serves until terminated
            else:
                self._emit(job, "stdout", f"[{job.job_type}] {job.code_name}: done")
                self._end(job, "finished")
        except asyncio.CancelledError:
            pass  # terminate() or close() already set the final state
