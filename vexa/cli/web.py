"""`vexa web`: web-page jobs."""

from __future__ import annotations

from pathlib import Path

import click

from vexa.cli.app import CONTEXT_SETTINGS, Session, client_command
from vexa.cli.jobs import describe_job
from vexa.cli.output import JOB_COLUMNS
from vexa.cli.params import ZIP_FILE, stage_option, status_option, timeout_option
from vexa.client import AsyncClient
from vexa.types import CodeZip, Job, JobStage, JobStatus


@click.group(context_settings=CONTEXT_SETTINGS)
def web() -> None:
    """Web-page jobs: run, get the page URL, wait until healthy, list."""


async def _show_web_job(session: Session, client: AsyncClient, job: Job, wait: bool, timeout: float | None) -> None:
    if wait:
        job = await session.output.waiting(
            client.web.await_healthy(job.job_id, timeout=timeout), describe_job(client, job.job_id)
        )
    session.output.record(job, url=client.web.get_url(job.job_id))


@client_command(web, "run")
@click.argument("path", type=ZIP_FILE, required=False)
@click.option("--code-id", help="Run stored web code instead of a zip file.")
@click.option("--wait", is_flag=True, help="Then wait until the page answers.")
@timeout_option
async def web_run(session: Session, path: Path | None, code_id: str | None, wait: bool, timeout: float | None) -> None:
    """Run a web app from a zip file or stored code.

    Shows the job and the URL of its page.
    """
    if (path is None) == (code_id is None):
        raise click.UsageError("give either a zip file PATH or --code-id")
    async with session.async_client() as client:
        if path is not None:
            code_zip = CodeZip.from_path(path)
            with session.transfer(f"Uploading {path.name}"):
                job = await client.web.run(code_zip)
        else:
            job = await client.web.stored.run(code_id)
        await _show_web_job(session, client, job, wait, timeout)


@client_command(web, "url")
@click.argument("job_id")
def web_url(session: Session, job_id: str) -> None:
    """Print the URL of a web job's page."""
    session.output.value(session.url_client().web.get_url(job_id))


@client_command(web, "wait")
@click.argument("job_id")
@timeout_option
async def web_wait(session: Session, job_id: str, timeout: float | None) -> None:
    """Wait until a web job's page answers.

    Then shows the job and the URL of its page.
    """
    async with session.async_client() as client:
        await _show_web_job(session, client, await client.jobs.get(job_id), True, timeout)


@client_command(web, "list")
@status_option
@stage_option
async def web_list(session: Session, status: JobStatus | None, stage: JobStage | None) -> None:
    """List web jobs, optionally filtered."""
    async with session.async_client() as client:
        found = await client.web.jobs.list(job_status=status, job_stage=stage)
    session.output.listing(found, JOB_COLUMNS, "No web jobs.")
