"""`vexa jobs`: list, inspect, follow, wait for, fetch the results of and stop jobs.

Commands that make one request after another use the synchronous client.
`stream` and `wait` do two things at once (following the output while
watching for a closed pipe; waiting while a spinner shows the job's state),
so they run on an event loop with the asynchronous client."""

from __future__ import annotations

from pathlib import Path
from typing import Awaitable, Callable

import click
import httpx
from rich import filesize

from vexa.cli.app import CONTEXT_SETTINGS, Session, client_command
from vexa.cli.errors import redact
from vexa.cli.output import JOB_COLUMNS
from vexa.cli.params import (
    OUT_FILE,
    EnumChoice,
    checked_out_file,
    force_option,
    listed_choice_option,
    refuse_to_overwrite,
    stage_option,
    status_option,
    timeout_option,
)
from vexa.cli.status import ExitStatus
from vexa.client import AsyncClient
from vexa.types import CodeType, Job, JobStage, JobStatus, JobType, job_has_ended

DEFAULT_READ_TIMEOUT = 60.0
# The local service's route that forgets every ended job; other services answer 404 or 405.
CLEAR_PATH = "/jobs/ended"
NOT_FOUND, METHOD_NOT_ALLOWED = 404, 405


@click.group(context_settings=CONTEXT_SETTINGS)
def jobs() -> None:
    """Jobs: list, inspect, follow, wait, fetch results, stop, clear."""


def describe_job(client: AsyncClient, job_id: str) -> Callable[[], Awaitable[str]]:
    """What the spinner shows while waiting for a job."""

    async def describe() -> str:
        job = await client.jobs.get(job_id)
        return f"Waiting for job {job_id}: {job.job_status} · {job.job_stage}"

    return describe


def has_ended(job: Job) -> bool:
    return job_has_ended(job.job_status, job.job_stage)


def ended_without_finishing(job: Job) -> str | None:
    """Why an ended job did not finish, in one line; None if it finished or has not ended."""
    if not has_ended(job) or job.job_status == JobStatus.FINISHED:
        return None
    status = str(job.job_status) if job.job_status is not None else "without a status"
    last_line = next((line.strip() for line in reversed((job.error or "").splitlines()) if line.strip()), "")
    return f"job {job.job_id} ended {status}" + (f": {last_line}" if last_line else "")


@client_command(jobs, "list", quiet=True)
@click.option("--type", "job_type", type=EnumChoice(JobType), help="Only jobs of this type.")
@status_option
@stage_option
def jobs_list(session: Session, job_type: JobType | None, status: JobStatus | None, stage: JobStage | None) -> None:
    """List jobs, optionally filtered."""
    with session.client() as client:
        found = client.jobs.list(job_type=job_type, job_status=status, job_stage=stage)
    session.output.listing(found, JOB_COLUMNS, "No jobs.")


@client_command(jobs, "get")
@click.argument("job_id")
def jobs_get(session: Session, job_id: str) -> None:
    """Show a job."""
    with session.client() as client:
        session.output.record(client.jobs.get(job_id))


@client_command(jobs, "status")
@click.argument("job_id")
def jobs_status(session: Session, job_id: str) -> None:
    """Print a job's status (queued, finished, ...)."""
    with session.client() as client:
        session.output.value(client.jobs.get_status(job_id))


@client_command(jobs, "stage")
@click.argument("job_id")
def jobs_stage(session: Session, job_id: str) -> None:
    """Print a job's stage (pre_running, ...)."""
    with session.client() as client:
        session.output.value(client.jobs.get_stage(job_id))


# Why an ended job with one of these statuses has no error.
NO_ERROR_BECAUSE = {
    JobStatus.FINISHED: "it finished",
    JobStatus.STOPPED: "it was stopped before it finished",
    JobStatus.CANCELED: "it was canceled before it ran",
}


def without_error(job: Job) -> str:
    """What happened to a job that has no error, in one line."""
    because = NO_ERROR_BECAUSE.get(job.job_status)  # type: ignore[call-overload]  # a status may be unknown text
    if because is not None:
        return f"Job {job.job_id} has no error: {because}."
    if has_ended(job):
        return f"Job {job.job_id} ended {job.job_status} without an error message."
    return f"Job {job.job_id} has no error so far: it is {job.job_status}, stage {job.job_stage}."


@client_command(jobs, "error")
@click.argument("job_id")
def jobs_error(session: Session, job_id: str) -> None:
    """Print a job's error.

    For a job without one, says what happened to it (JSON: null).
    """
    with session.client() as client:
        error = client.jobs.get_error(job_id)
        if error is None and not session.output.as_json:
            session.output.value(None, without_error(client.jobs.get(job_id)))
        else:
            session.output.value(error)


@client_command(jobs, "latest", quiet=True)
@click.option("--code-type", type=EnumChoice(CodeType), help="Only jobs that run code of this type.")
def jobs_latest(session: Session, code_type: CodeType | None) -> None:
    """Show the latest job (JSON: null when there is none)."""
    with session.client() as client:
        session.output.record(client.jobs.get_latest(code_type), empty="No jobs.")


@client_command(jobs, "stream")
@click.argument("job_id")
@click.option(
    "--read-timeout",
    type=click.FloatRange(min=0),
    default=DEFAULT_READ_TIMEOUT,
    show_default=True,
    help="Seconds to wait for the next line; 0 waits forever.",
)
async def jobs_stream(session: Session, job_id: str, read_timeout: float) -> None:
    """Follow a job's output live until the job ends.

    The job's stdout lines go to stdout and its stderr lines to stderr; with
    --json, one JSON object per line on stdout.
    """
    async with session.async_client() as client:
        await session.output.follow(client.jobs.stream_output(job_id, read_timeout=read_timeout or None))


@client_command(jobs, "wait", quiet=True)
@click.argument("job_id")
@timeout_option
@listed_choice_option(
    "--stage",
    enum_type=JobStage,
    metavar="STAGE",
    default=JobStage.POST_RUNNING.value,
    show_default=True,
    help="The stage to wait for",
)
async def jobs_wait(session: Session, job_id: str, timeout: float | None, stage: JobStage) -> None:
    """Wait for a job to reach a stage, then show it.

    By default waits until the job has run (stage post_running). Exit status 4
    when the job ended without finishing (failed, stopped, timed out, ...), 3
    when the time ran out.
    """
    async with session.async_client() as client:
        job = await session.output.waiting(
            client.jobs.await_stage(job_id, timeout=timeout, stage=stage), describe_job(client, job_id)
        )
    session.output.record(job)
    failure = ended_without_finishing(job)
    if failure is not None:
        click.echo(f"error: {redact(failure, session.api_key)}", err=True)
        raise click.exceptions.Exit(ExitStatus.JOB_NOT_FINISHED)


@client_command(jobs, "health")
@click.argument("job_id")
def jobs_health(session: Session, job_id: str) -> None:
    """Tell whether a job's web app answers.

    Exit status 3 when it does not.
    """
    with session.client() as client:
        healthy = client.jobs.is_healthy(job_id)
    session.output.value(healthy, "healthy" if healthy else "not healthy")
    if not healthy:
        raise click.exceptions.Exit(ExitStatus.NEGATIVE)


@client_command(jobs, "result")
@click.argument("job_id")
@click.argument("out", type=OUT_FILE, required=False, callback=checked_out_file)
@force_option
def jobs_result(session: Session, job_id: str, out: Path | None, force: bool) -> None:
    """Save a job's result zip.

    Writes OUT, by default JOB_ID-result.zip; an existing file only with --force.
    """
    target = out or Path(f"{job_id}-result.zip")
    refuse_to_overwrite(target, force)
    with session.client() as client:
        with session.transfer(f"Downloading {target.name}"):
            result = client.jobs.get_result(job_id, target)
    session.output.saved({"job_id": job_id}, len(result.zip_bytes), target)


@client_command(jobs, "clear", quiet=True)
def jobs_clear(session: Session) -> None:
    """Delete ended jobs and their results (local service only).

    Every job that has ended goes, with its output and its result; stored
    code stays. Only the local development service (vexa service) can
    do this; another service refuses.
    """
    client = session.url_client()
    with session.http_client() as http_client:
        response = http_client.delete(client.base_url + CLEAR_PATH, headers=client.api_key_header)
    if response.status_code in (NOT_FOUND, METHOD_NOT_ALLOWED):
        raise click.ClickException(
            f"the service at {session.base_url} cannot clear jobs: only the local service (vexa service) can"
        )
    try:
        response.raise_for_status()
    except httpx.HTTPStatusError as error:
        raise client._get_http_exception(httpx_error=error) from None
    cleared = response.json()
    if session.output.quiet:
        for job_id in cleared["job_ids"]:
            click.echo(job_id)
        return
    count = len(cleared["job_ids"])
    text = (
        f"Cleared {count} ended job{'' if count == 1 else 's'} ({filesize.decimal(cleared['result_bytes'])} of results)"
        if count
        else "No ended jobs to clear"
    )
    session.output.value(cleared, text)


@client_command(jobs, "terminate")
@click.argument("job_id")
def jobs_terminate(session: Session, job_id: str) -> None:
    """Stop a job."""
    with session.client() as client:
        client.jobs.terminate(job_id)
    session.output.value({"job_id": job_id, "terminated": True}, f"Job {job_id} terminated")
