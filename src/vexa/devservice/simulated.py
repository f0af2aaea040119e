"""Simulated jobs: played by fixed timings, without running their code.

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
import zipfile
from pathlib import Path

from vexa.types import JobStage, JobStatus, JobType

from .jobs import JobRunner
from .models import Job, utc_now_iso

HOOKS = ("fail", "timeout", "cancel", "unknown-stage", "hold", "scheduled", "deferred")


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


class SimulatedRuns:
    """Plays every job by the runner's timings (steered by the hooks above)."""

    def kill_leftovers(self, job: Job) -> None:
        pass  # nothing ran

    async def start(self) -> None:
        pass

    async def close(self) -> None:
        pass

    async def is_healthy(self, job: Job) -> bool:
        return job.job_stage == JobStage.RUNNING

    async def stop(self, runner: JobRunner, job: Job) -> None:
        if job.task is not None:
            job.task.cancel()
        if job.unsaved is None:  # else the runner said why it stops the job
            runner.emit(job, "stdout", "terminated on request")
        await runner.finish(job, JobStatus.STOPPED)

    async def drive(self, runner: JobRunner, job: Job) -> None:
        timings = runner.timings
        hooks = job.hooks
        try:
            if "scheduled" in hooks:
                job.job_status = JobStatus.SCHEDULED
            elif "deferred" in hooks:
                job.job_status = JobStatus.DEFERRED
            runner.notify(job)
            await asyncio.sleep(timings.queue_seconds)
            if "hold" in hooks:
                await job.released.wait()
            if "cancel" in hooks:
                await runner.finish(job, JobStatus.CANCELED, error="Job was canceled before it started")
                return

            job.job_status = JobStatus.STARTED
            job.job_stage = JobStage.UNKNOWN if "unknown-stage" in hooks else JobStage.RUNNING
            job.started_at = utc_now_iso()
            runner.emit(job, "stdout", f"[{job.job_type}] {job.code_name}: started")
            if job.job_type == JobType.INGEST and job.options.get("build_pexenv"):
                python = job.options.get("pexenv_python") or "default"
                runner.emit(job, "stdout", f"building pex environment with python {python}")

            total = max(1, timings.output_lines)
            interval = timings.run_seconds / total
            steps = total // 2 if "fail" in hooks else total
            for step in range(1, steps + 1):
                await asyncio.sleep(interval)
                stream = "stderr" if step % 2 == 0 else "stdout"
                runner.emit(job, stream, f"[{job.job_type}] {job.code_name}: step {step}/{total}")

            if "fail" in hooks:
                runner.emit(job, "stderr", "RuntimeError: simulated failure")
                await runner.finish(
                    job, JobStatus.FAILED, error=f"Job {job.job_id} failed: RuntimeError: simulated failure"
                )
            elif "timeout" in hooks:
                await runner.finish(job, JobStatus.TIMEOUT, error=f"Job {job.job_id} exceeded its time limit")
            elif job.job_type == JobType.WEB:
                runner.emit(job, "stdout", "web app ready")
                await asyncio.Event().wait()  # serves until terminated
            else:
                runner.emit(job, "stdout", f"[{job.job_type}] {job.code_name}: done")
                await runner.finish(job, JobStatus.FINISHED)
        except asyncio.CancelledError:
            pass  # terminate() or close() sets the final state
