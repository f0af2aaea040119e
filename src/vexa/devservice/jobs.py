"""The job runner: the job table, output, results, termination and persistence.

All job state lives on the server's event loop. Methods marked thread-safe may be
called from other threads (tests, demos); everything else must run on the loop.
How a job actually runs is the runner's `RunStrategy`: `SimulatedRuns` plays
jobs by fixed timings, `vexa.devservice.process.ProcessRuns` runs their code.

A job's end is committed to the database, with all its output, before anyone
can see it, and so is each line before a stream shows it: what the service has
shown, a crash cannot take back.

When a write fails (a full disk, say), nothing is dropped: the lines stay in
memory and go again, in order, every `WRITE_RETRY_SECONDS` until they are
written. A job whose output cannot be saved is stopped at once and ends
"failed" saying why; a job whose end cannot be saved ends "failed" (without the
files it left) as soon as its end can be written. Until then it has not ended.
"""

from __future__ import annotations

import asyncio
import secrets
import shutil
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, AsyncIterator, Callable, Coroutine, Iterable, Protocol, TypeVar

from vexa._browser import web_job_address
from vexa.types import CodeType, JobStage, JobStatus, JobType

from .codes import CodeStorage, private_dir
from .constants import MIB, SERVICE_MARK
from .models import Job, OutputLine, utc_now_iso
from .results import remove_leftovers, write_result
from .storage import WRITE_ERRORS, Database, JobStore, Statement, describe_write_failure

SAVE_INTERVAL_SECONDS = 0.05
SERVICE_STOPPED_ERROR = "The service stopped while this job was running"
# A stream sends stored output in pages of at most this much.
PAGE_LINES = 1000
PAGE_BYTES = MIB
# Output a job may have waiting for the database before its reader waits for the writes.
MAX_PENDING_BYTES = 4 * MIB
# How often writes that failed are tried again.
WRITE_RETRY_SECONDS = 1.0
OUTPUT_NOT_SAVED = "The service could not save the job's output ({reason}), so it stopped the job"
END_NOT_SAVED = (
    "The service could not save the job's end when it came ({reason}), so the files it left were not kept; "
    "it had {outcome}"
)

T = TypeVar("T")

# Named here: inside JobRunner, `list` is the method of that name.
OutputBatch = list[OutputLine]
Statements = list[Statement]
Carried = list[tuple[Job, int]]  # jobs and how many of their lines a write carries
JobIds = list[str]

__all__ = [
    "Job",
    "JobRunner",
    "JobTimings",
    "OutputBatch",
    "OutputLine",
    "RunStrategy",
]


class EndNotSaved(Exception):
    """A job was stopped, but its end cannot be saved yet (it will be, once it can)."""

    def __init__(self, job: Job, cause: BaseException) -> None:
        reason = describe_write_failure(cause)
        super().__init__(f"Job {job.job_id} is stopped, but its end could not be saved yet ({reason})")
        self.cause = cause


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
        self._retry_timer: asyncio.TimerHandle | None = None
        # Bumped when a write fails: failures of writes submitted before are that same one.
        self._write_generation = 0
        self._background: set[asyncio.Task[Any]] = set()
        self.jobs: dict[str, Job] = {job.job_id: job for job in self.store.load()}
        # The address of each web job's page (vexa._browser.web_job_address): the job it belongs to.
        self.pages: dict[str, str] = {
            web_job_address(job.job_id): job.job_id for job in self.jobs.values() if job.job_type == JobType.WEB
        }
        self._end_interrupted_jobs()

    def _end_interrupted_jobs(self) -> None:
        """Jobs the last run of the service left unended end now, with an error saying why."""
        interrupted = {job.job_id for job in self.jobs.values() if not job.ended}
        for job in [self.jobs[job_id] for job_id in interrupted]:
            self.way.kill_leftovers(job)
            job.pid = None
            job.job_status, job.job_stage = JobStatus.FAILED, JobStage.POST_RUNNING
            job.error, job.ended_at = SERVICE_STOPPED_ERROR, utc_now_iso()
            self.store.write_now(self.store.snapshot(job)[0])
        for job in self.jobs.values():
            # Ended now, or ended but the result was cut short (a result written for an end
            # that was never saved says something else: it goes too).
            if job.job_id in interrupted or not self.result_path(job.job_id).exists():
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
        if self._retry_timer is not None:
            self._retry_timer.cancel()
        tasks = [job.task for job in self.jobs.values() if job.task is not None and not job.task.done()]
        tasks += self._background
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
        """The job's saved lines from `start` on (a page of them); empty when there are
        none yet. Lines still in memory are not shown: they may never be saved."""
        if start < job.saved_lines:
            return await asyncio.to_thread(self.store.read_lines, job.job_id, start, PAGE_LINES, PAGE_BYTES)
        return []

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
        job_type = JobType(job_type)
        job_id = "j_" + secrets.token_hex(8)
        while job_type == JobType.WEB and web_job_address(job_id) in self.pages:
            job_id = "j_" + secrets.token_hex(8)  # each page an origin no other job's page has had
        if job_type == JobType.WEB:
            self.pages[web_job_address(job_id)] = job_id
        job = Job(
            job_id=job_id,
            job_type=job_type,
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
        """End a job "stopped"; returns once it has ended (an ended job stays as it is).
        Raises `EndNotSaved` once the job is stopped but its end cannot be saved yet."""
        if not job.ended:
            stopping = self._in_background(self.way.stop(self, job))
            waiting = asyncio.ensure_future(job.end_waiting.wait())
            try:
                await asyncio.wait({stopping, waiting}, return_when=asyncio.FIRST_COMPLETED)
            finally:
                waiting.cancel()
            if stopping.done():
                stopping.result()  # its failure, if any, is this request's
            if not job.ended and job.end_waiting_cause is not None:
                raise EndNotSaved(job, job.end_waiting_cause)
        return job

    async def clear(self, jobs: Iterable[Job]) -> tuple[JobIds, int]:
        """Forget those of `jobs` that have ended: their records, output and
        results go. Returns the IDs of the jobs forgotten and the bytes of the
        results removed."""
        gone = [job for job in jobs if job.ended and self.jobs.get(job.job_id) is job]
        if not gone:
            return [], 0
        before = dict(self.jobs)
        for job in gone:
            del self.jobs[job.job_id]
            # A save still waiting must not write it back; the writer runs the
            # deletes after every save handed to it before.
            self._dirty.pop(job.job_id, None)
        try:
            await self.store.submit(self.store.forget(job.job_id for job in gone))
        except BaseException:
            # Still on disk, so still listed, in their places (jobs submitted meanwhile after them).
            gone_ids = {job.job_id for job in gone}
            kept = {job_id: job for job_id, job in before.items() if job_id in gone_ids or job_id in self.jobs}
            kept.update(self.jobs)
            self.jobs.clear()
            self.jobs.update(kept)
            raise
        freed = await asyncio.to_thread(_remove_files, [self.result_path(job.job_id) for job in gone])
        return [job.job_id for job in gone], freed

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
        self._wake(job)
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
        anyone can see it ended. If they cannot be written, the job ends "failed",
        without its files, as soon as they can (tried every `WRITE_RETRY_SECONDS`)."""
        async with job.ending:
            if job.ended:
                return
            if job.unsaved is not None:
                status, error = JobStatus.FAILED, job.unsaved
            while True:
                try:
                    await self._save_end(job, status, error, output_dir)
                    return
                except WRITE_ERRORS as exc:
                    if job.end_waiting_cause is None:
                        if job.unsaved is None:  # else its error says why already
                            outcome = status.value + (f": {error}" if error else "")
                            reason = describe_write_failure(exc)
                            status, error = JobStatus.FAILED, END_NOT_SAVED.format(reason=reason, outcome=outcome)
                        if output_dir is not None:  # they may be what fills the disk
                            await asyncio.to_thread(shutil.rmtree, output_dir, True)
                            output_dir = None
                    job.end_waiting_cause = exc
                    job.end_waiting.set()
                await asyncio.sleep(WRITE_RETRY_SECONDS)

    async def _save_end(self, job: Job, status: JobStatus, error: str | None, output_dir: Path | None) -> None:
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
        await self._submit(statements, [(job, carried)])

    def _submit(self, statements: Statements, carried: Carried) -> asyncio.Future[None]:
        """Hand the statements to the writer; once written, the lines they carry count as saved."""
        generation = self._write_generation
        written = self.store.submit(statements)

        def done(future: asyncio.Future[None]) -> None:
            if future.cancelled():
                return
            failure = future.exception()
            if failure is None:
                for job, count in carried:
                    self._committed(job, count)
            elif generation == self._write_generation:  # the first failure of its run
                self._write_failed(failure, {job.job_id for job, _ in carried})

        written.add_done_callback(done)  # before any awaiting coroutine's own: it sees the counts right
        return written

    def _committed(self, job: Job, carried: int) -> None:
        job.pending_bytes -= sum(len(line.text) for line in job.pending[:carried])
        del job.pending[:carried]
        job.saved_lines += carried
        if carried:
            self._wake(job)  # followers show lines once they are saved

    def _write_failed(self, failure: BaseException, written_for: set[str]) -> None:
        """A write failed, and with it every write submitted after it: whatever they
        carried goes again, in order, on the next try; jobs whose output waits are stopped."""
        self._write_generation += 1
        self.store.resume()
        stop_reason = OUTPUT_NOT_SAVED.format(reason=describe_write_failure(failure))
        for job in self.jobs.values():
            job.submitted_lines = job.saved_lines
            if job.pending or job.job_id in written_for:
                self._dirty[job.job_id] = job
            if job.pending and job.unsaved is None and not job.ended and not job.ending.locked():
                job.unsaved = stop_reason
                self.say(job, stop_reason, "stderr")
                self._in_background(self.way.stop(self, job))
        if self._retry_timer is None and not self.closing:
            self._retry_timer = asyncio.get_running_loop().call_later(WRITE_RETRY_SECONDS, self._retry)

    def _retry(self) -> None:
        self._retry_timer = None
        self._flush()

    def _wake(self, job: Job) -> None:
        job.changed.set()
        job.changed = asyncio.Event()

    def _in_background(self, work: Coroutine[Any, Any, T]) -> asyncio.Task[T]:
        """Run `work` on its own (kept until done, and cancelled when the runner closes)."""
        task = asyncio.get_running_loop().create_task(work)
        self._background.add(task)
        task.add_done_callback(self._background.discard)
        return task

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
        self._submit(statements, carried)

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


def _remove_files(paths: list[Path]) -> int:
    """Remove the files that exist; returns the bytes they held."""
    freed = 0
    for path in paths:
        try:
            size = path.stat().st_size
            path.unlink()
        except FileNotFoundError:
            continue
        freed += size
    return freed
