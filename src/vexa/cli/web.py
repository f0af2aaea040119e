"""`vexa web`: web-page jobs.

`url`, `open` and `list` use the synchronous client; `run` and `wait`, which
may wait while a spinner shows the job's state, the asynchronous one."""

from __future__ import annotations

import webbrowser
from pathlib import Path

import click

from vexa._browser import web_job_token
from vexa.cli.app import CONTEXT_SETTINGS, Session, client_command
from vexa.cli.errors import redact
from vexa.cli.jobs import describe_job, ended_without_finishing, has_ended
from vexa.cli.output import JOB_COLUMNS
from vexa.cli.params import CODE_PATH, code_of, name_option, stage_option, status_option, timeout_option
from vexa.cli.status import ExitStatus
from vexa.client import AsyncClient
from vexa.types import HTTPException, Job, JobStage, JobStatus, JobType, VexaException


@click.group(context_settings=CONTEXT_SETTINGS)
def web() -> None:
    """Web-page jobs: run, open, print the URL, wait, list."""


async def _show_web_job(session: Session, client: AsyncClient, job: Job, wait: bool, timeout: float | None) -> None:
    if wait:
        try:
            job = await session.output.waiting(
                client.web.await_healthy(job.job_id, timeout=timeout), describe_job(client, job.job_id)
            )
        except VexaException as error:
            if isinstance(error, HTTPException):
                raise
            ended = await client.jobs.get(job.job_id)
            if not has_ended(ended):
                raise
            # Ended before its page answered: shown as it ended, and why, as `jobs wait` does.
            session.output.record(ended, url=client.web.get_url(ended.job_id))
            reason = ended_without_finishing(ended) or f"job {ended.job_id} ended before its page answered"
            click.echo(f"error: {redact(reason, session.api_key)}", err=True)
            raise click.exceptions.Exit(ExitStatus.JOB_NOT_FINISHED) from None
    session.output.record(job, url=client.web.get_url(job.job_id))


@client_command(web, "run", quiet=True)
@click.argument("path", type=CODE_PATH, required=False)
@click.option("--code-id", help="Run stored web code instead of a zip file or folder.")
@name_option
@click.option("--wait", is_flag=True, help="Then wait until the page answers.")
@timeout_option
async def web_run(
    session: Session, path: Path | None, code_id: str | None, name: str | None, wait: bool, timeout: float | None
) -> None:
    """Run a web app from a zip file, a folder or stored code.

    A folder is zipped as by `vexa code upload`. The service stores the code
    under its name. Shows the job and the URL of its page.
    """
    if (path is None) == (code_id is None):
        raise click.UsageError("give either a zip file or folder PATH, or --code-id")
    if code_id is not None and name is not None:
        raise click.UsageError("--name names uploaded code; stored code keeps its name")
    async with session.async_client() as client:
        if path is not None:
            code_zip, code_name = code_of(path, name)
            with session.transfer(f"Uploading {path.name or code_name}"):
                job = await client.web.run(code_zip)
        else:
            assert code_id is not None
            job = await client.web.stored.run(code_id)
        await _show_web_job(session, client, job, wait, timeout)


def page_url(session: Session, job_id: str) -> str:
    """The URL of a web job's page; a job of another type has none (exit status 1)."""
    with session.client() as client:
        job = client.jobs.get(job_id)
        if job.job_type != JobType.WEB:
            raise click.ClickException(f"job {job_id} is not a web job (its type is {job.job_type}): it has no page")
        return client.web.get_url(job_id)


@client_command(web, "url")
@click.argument("job_id")
def web_url(session: Session, job_id: str) -> None:
    """Print the URL of a web job's page."""
    session.output.value(page_url(session, job_id))


def browser_url(session: Session, job_id: str) -> str:
    """The page's URL for a browser: with an API key, plus the token that lets it into that page (and nothing else)."""
    url = page_url(session, job_id)
    if session.api_key is None:
        return url
    return f"{url}{'&' if '?' in url else '?'}token={web_job_token(session.api_key, job_id)}"


@client_command(web, "open")
@click.argument("job_id")
@click.option("--print", "print_only", is_flag=True, help="Print the URL instead of opening it.")
def web_open(session: Session, job_id: str, print_only: bool) -> None:
    """Open a web job's page in the browser.

    With an API key, the URL carries a token made from it for this page only
    (never the key itself), which the service trades for a cookie of the
    page's own address and takes off the URL.
    """
    url = browser_url(session, job_id)
    if print_only:
        session.output.value(url)
    elif webbrowser.open(url):
        session.output.value({"job_id": job_id, "opened": True}, f"Opened the page of job {job_id} in the browser")
    else:
        raise click.ClickException(f"no browser to open; 'vexa web open {job_id} --print' prints the URL")


@client_command(web, "wait", quiet=True)
@click.argument("job_id")
@timeout_option
async def web_wait(session: Session, job_id: str, timeout: float | None) -> None:
    """Wait until a web job's page answers.

    Then shows the job and the URL of its page.
    """
    async with session.async_client() as client:
        await _show_web_job(session, client, await client.jobs.get(job_id), True, timeout)


@client_command(web, "list", quiet=True)
@status_option
@stage_option
def web_list(session: Session, status: JobStatus | None, stage: JobStage | None) -> None:
    """List web jobs, optionally filtered."""
    with session.client() as client:
        found = client.web.jobs.list(job_status=status, job_stage=stage)
    session.output.listing(found, JOB_COLUMNS, "No web jobs.")
