"""The job runner: the job table, output, results, termination and persistence.

All job state lives on the server's event loop. Methods marked thread-safe may be
called from other threads (tests, demos); everything else must run on the loop.
How a job actually runs is the runner's `RunStrategy`: `SimulatedRuns` plays
jobs by fixed timings, `vexa.devservice.process.ProcessRuns` runs their code.

A job's end is committed to the database, with all its output, before anyone
can see it: after a crash every job reported ended is still ended.
"""

from __future__ import annotations

import asyncio
import secrets
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, AsyncIterator, Callable, Protocol, TypeVar

from vexa.types import CodeType, JobStage, JobStatus, JobType

from .codes import CodeStorage, private_dir
from .constants import MIB, SERVICE_MARK
from .models import Job, OutputLine, utc_now_iso
from .results import remove_leftovers, write_result
from .storage import Database, JobStore

SAVE_INTERVAL_SECONDS = 0.05
SERVICE_STOPPED_ERROR = "The service stopped while this job was running"
# A stream sends stored output in pages of at most this much.
PAGE_LINES = 1000
PAGE_BYTES = MIB
# Output a job may have waiting for the database before its reader waits for the writes.
MAX_PENDING_BYTES = 4 * MIB

T = TypeVar("T")

# Named here: inside JobRunner, `list` is the method of that name.
OutputBatch = list[OutputLine]

__all__ = [
    "Job",
    "JobRunner",
    "JobTimings",
    "OutputBatch",
    "OutputLine",
    "RunStrategy",
]


@dataclass(frozen=True)
class JobTimings:
    queue_seconds: float = 0.3
    run_seconds: float = 1.0
    output_lines: int = 5
    keepalive_seconds: float = 1.0


class RunStrategy(Protocol):
    """A way of running jobs, given to a `JobRunner`."""

    def kill_leftovers(self, job: Job) -> None:
        """End what a job of a service that died without stopping it left running (blocks)."""

    async def start(self) -> None:
        """Called on the loop before the first job."""

    async def close(self) -> None:
        """Called on the loop once every job task is done."""

    async def drive(self, runner: JobRunner, job: Job) -> None:
        """Run the job to its end (`runner.finish`); cancelled when the service stops."""

    async def stop(self, runner: JobRunner, job: Job) -> None:
        """End the job "stopped"; returns once it has ended."""

    async def is_healthy(self, job: Job) -> bool:
        """Whether a web job's app serves."""


class JobRunner:
    """Keeps the jobs and runs each by its `way` of running."""

    def __init__(
        self,
        results_dir: str | Path,
        timings: JobTimings | None = None,
        *,
        database: Database,
        storage: CodeStorage,
        way: RunStrategy,
    ) -> None:
        self.results_dir = private_dir(Path(results_dir))
        remove_leftovers(self.results_dir)
        self.timings = timings or JobTimings()
        self.storage = storage
        self.way = way
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
        for job in [job for job in self.jobs.values() if not job.ended]:
            self.way.kill_leftovers(job)
            job.pid = None
            job.job_status, job.job_stage = JobStatus.FAILED, JobStage.POST_RUNNING
            job.error, job.ended_at = SERVICE_STOPPED_ERROR, utc_now_iso()
            self.store.write_now(self.store.snapshot(job)[0])
        for job in self.jobs.values():
            if not self.result_path(job.job_id).exists():  # ended, but the result was cut short
                write_result(self.result_path(job.job_id), job.to_json(), self._lines_of(job.job_id), None)

    # ----- lifecycle -----

    def bind_loop(self, loop: asyncio.AbstractEventLoop) -> None:
        """Attach to the server's loop (from the loop's thread); the runner is ready after this."""
        self.loop = loop
        self.ready.set()

    async def start(self) -> None:
        """Bind to the running loop and start the way of running."""
        await self.way.start()
        self.bind_loop(asyncio.get_running_loop())

    async def close(self) -> None:
        """Stop every job task (unended jobs stay as they are) and save everything."""
        if self.closing:
            return
        self.closing = True
        tasks = [job.task for job in self.jobs.values() if job.task is not None and not job.task.done()]
        for task in tasks:
            task.cancel()
        if tasks:
            await asyncio.gather(*tasks, return_exceptions=True)
        for job in self.jobs.values():
            job.changed.set()  # wake followers so they see `closing`
        await self.way.close()
        self._flush()
        await self.store.drain()

    # ----- queries (on the loop) -----

    def get(self, job_id: str) -> Job | None:
        return self.jobs.get(job_id)

    def list(
        self, job_type: str | None = None, job_status: str | None = None, job_stage: str | None = None
    ) -> list[Job]:
        """Jobs newest first, filtered by the given fields."""
        return [
            job
            for job in reversed(self.jobs.values())
            if (job_type is None or job.job_type == job_type)
            and (job_status is None or job.job_status == job_status)
            and (job_stage is None or job.job_stage == job_stage)
        ]

    def result_path(self, job_id: str) -> Path:
        return self.results_dir / f"{job_id}.zip"

    async def is_healthy(self, job: Job) -> bool:
        return await self.way.is_healthy(job)

    async def read_output(self, job: Job, start: int) -> OutputBatch:
        """The job's lines from `start` on (a page of them): committed ones from the
        database, newer ones from memory; empty when there are none yet."""
        if start < job.saved_lines:
            return await asyncio.to_thread(self.store.read_lines, job.job_id, start, PAGE_LINES, PAGE_BYTES)
        return job.pending[start - job.saved_lines :]

    # ----- commands (on the loop) -----

    def submit(
        self,
        job_type: JobType | str,
        code_id: str | None,
        code_name: str,
        hooks: frozenset[str] = frozenset(),
        options: dict[str, Any] | None = None,
        code_type: CodeType | str = CodeType.PYTHON,
    ) -> Job:
        job = Job(
            job_id="j_" + secrets.token_hex(8),
            job_type=JobType(job_type),
            code_id=code_id,
            code_name=code_name,
            code_type=CodeType(code_type),
            hooks=hooks,
            options=dict(options or {}),
        )
        self.jobs[job.job_id] = job
        self.notify(job)
        job.task = asyncio.get_running_loop().create_task(self.way.drive(self, job))
        return job

    async def terminate(self, job: Job) -> Job:
        """End a job "stopped"; returns once it has ended (an ended job stays as it is)."""
        if not job.ended:
            await self.way.stop(self, job)
        return job

    async def follow(self, job: Job) -> AsyncIterator[OutputBatch | None]:
        """Yield the job's lines so far, then new ones, in batches of what has
        arrived since the last batch; None means idle (keep-alive).

        Ends once the job has ended and every line was yielded.
        """
        sent = 0
        while True:
            changed = job.changed
            ended = job.ended
            batch = await self.read_output(job, sent)
            if batch:
                sent += len(batch)
                yield batch
                continue  # more may have come while the batch was sent
            if ended or self.closing:
                return
            if job.changed is not changed:
                continue  # changed while the page was read
            try:
                await asyncio.wait_for(changed.wait(), self.timings.keepalive_seconds)
            except asyncio.TimeoutError:
                yield None

    # ----- for ways of running (on the loop) -----

    def notify(self, job: Job) -> None:
        """The job changed: wake its waiters and save it soon."""
        job.changed.set()
        job.changed = asyncio.Event()
        self._dirty[job.job_id] = job
        if self._save_timer is None:
            # One write per interval, however many changes come in it.
            self._save_timer = asyncio.get_running_loop().call_later(SAVE_INTERVAL_SECONDS, self._flush)

    def emit(self, job: Job, stream: str, text: str) -> None:
        job.pending.append(OutputLine(job.job_id, stream, text, utc_now_iso()))
        job.pending_bytes += len(text)
        self.notify(job)

    async def keep_up(self, job: Job) -> None:
        """Wait for the database while too much of the job's output waits for it: a
        job printing faster than it is saved is slowed down, and memory stays flat."""
        if job.pending_bytes > MAX_PENDING_BYTES and not job.ending.locked():
            self._flush()
            await self.store.drain()

    def say(self, job: Job, text: str, stream: str = "stdout") -> None:
        """A line from the service itself in the job's output, marked as such."""
        self.emit(job, stream, f"{SERVICE_MARK} {text}")

    async def finish(
        self, job: Job, status: JobStatus, error: str | None = None, output_dir: Path | None = None
    ) -> None:
        """End the job: its output, its result and then its end are on disk before
        anyone can see it ended."""
        async with job.ending:
            if job.ended:
                return
            await self._commit(job)  # every line so far, for the result to read
            ended_at = utc_now_iso()
            final = {"job_status": status, "job_stage": JobStage.POST_RUNNING, "error": error, "ended_at": ended_at}
            lines = self._lines_of(job.job_id)
            await asyncio.to_thread(
                write_result, self.result_path(job.job_id), {**job.to_json(), **final}, lines, output_dir
            )
            await self._commit(job, {**job.to_record(), **final, "pid": None})
            job.job_status, job.job_stage, job.error, job.ended_at = status, JobStage.POST_RUNNING, error, ended_at
            self.notify(job)

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
                job.job_status = JobStatus(job_status)
            if job_stage is not None:
                job.job_stage = JobStage(job_stage)
            if error is not None:
                job.error = error
            self.notify(job)
            return job.to_json()

        return self._on_loop(apply)

    def terminate_threadsafe(self, job_id: str) -> dict[str, Any]:
        async def stop() -> dict[str, Any]:
            return (await self.terminate(self._require(job_id))).to_json()

        if self.loop is None:
            raise RuntimeError("runner is not bound to a running loop")
        return asyncio.run_coroutine_threadsafe(stop(), self.loop).result(timeout=30)

    # ----- internals -----

    def _lines_of(self, job_id: str) -> Callable[[], Any]:
        return lambda: self.store.iter_lines(job_id)

    async def _commit(self, job: Job, record: dict[str, Any] | None = None) -> None:
        """Save the job (as `record`, if given) and its lines now, and wait for it."""
        statements, carried = self.store.snapshot(job, record)
        await self.store.submit(statements)
        self._committed(job, carried)

    def _committed(self, job: Job, carried: int) -> None:
        job.pending_bytes -= sum(len(line.text) for line in job.pending[:carried])
        del job.pending[:carried]
        job.saved_lines += carried

    def _flush(self) -> None:
        if self._save_timer is not None:
            self._save_timer.cancel()
            self._save_timer = None
        ending = {job_id: job for job_id, job in self._dirty.items() if job.ending.locked()}
        dirty = [job for job_id, job in self._dirty.items() if job_id not in ending]
        # A job being ended is saved by `finish`, whose record must be the last one written.
        self._dirty = ending
        if not dirty:
            return
        statements = []
        carried = []
        for job in dirty:
            saved, count = self.store.snapshot(job)
            statements += saved
            carried.append((job, count))
        written = self.store.submit(statements)

        def done(future: asyncio.Future[None]) -> None:
            if future.cancelled() or future.exception() is not None:
                return  # a failed write (a full disk, say): the lines stay in memory
            for job, count in carried:
                self._committed(job, count)

        written.add_done_callback(done)

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
