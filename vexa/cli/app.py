"""The commands of `vexa`, built with Click; every operation goes through `vexa.Client` or `vexa.AsyncClient`."""

from __future__ import annotations

import asyncio
import functools
import importlib.metadata
import inspect
import io
import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Awaitable, Callable, Sequence
from urllib.parse import urlsplit

import click

from vexa.cli.clients import AsyncProgressClient, ProgressClient
from vexa.cli.errors import ExitStatus, describe, redact
from vexa.cli.output import CODE_COLUMNS, JOB_COLUMNS, Output, Transfer
from vexa.client import AsyncClient
from vexa.client._common import API_KEY_ENV, BASE_URL_ENV
from vexa.types import CodeType, CodeZip, Job, JobStage, JobStatus, JobType, JsonData

SERVICE_EXTRA_HINT = "error: the local service needs its extra: pip install 'vexa[service]'"
CONTEXT_SETTINGS: dict[str, Any] = {"help_option_names": ["-h", "--help"], "max_content_width": 100}
DEFAULT_READ_TIMEOUT = 60.0
# A group run without a command: Click 8.2 raises this usage error; 8.1 shows the help and exits 0.
NO_ARGS_IS_HELP: Any = getattr(click.exceptions, "NoArgsIsHelpError", ())


# --- What every command that talks to the service shares -----------------------------


@dataclass
class Session:
    """The connection and output settings of one command."""

    base_url: str
    api_key: str | None
    output: Output

    def client(self, transfer: Transfer | None = None) -> ProgressClient:
        return ProgressClient(self.base_url, self.api_key, transfer)

    def async_client(self, transfer: Transfer | None = None) -> AsyncProgressClient:
        return AsyncProgressClient(self.base_url, self.api_key, transfer)


def _checked_base_url(ctx: click.Context, param: click.Parameter, value: str | None) -> str | None:
    if value is None:
        return None
    parts = urlsplit(value)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise click.BadParameter("not an http:// or https:// URL with a host")
    return value.rstrip("/")  # the client joins paths to it as they are


def _connection_options() -> list[click.Option]:
    return [
        click.Option(
            ["--base-url"],
            envvar=BASE_URL_ENV,
            required=True,
            callback=_checked_base_url,
            metavar="URL",
            help=f"Service URL, e.g. http://127.0.0.1:8000 [env: {BASE_URL_ENV}]",
        ),
        # No default shown and no show_envvar: the key must never be printed.
        click.Option(["--api-key"], envvar=API_KEY_ENV, metavar="KEY", help=f"API key [env: {API_KEY_ENV}]"),
        click.Option(["--json", "as_json"], is_flag=True, help="Print the result as JSON, for scripts."),
    ]


def client_command(group: click.Group, name: str) -> Callable[[Callable[..., Any]], click.Command]:
    """Register `function(session, **arguments)` (plain or async) as a command of `group`
    with the connection options and `--json`, and with failures turned into one line on
    stderr and an exit status."""

    def decorate(function: Callable[..., Any]) -> click.Command:
        @functools.wraps(function)
        def callback(base_url: str, api_key: str | None, as_json: bool, **arguments: Any) -> None:
            session = Session(base_url, api_key or None, Output(as_json))
            _run_reporting_errors(session, lambda: function(session, **arguments))

        command = group.command(name)(callback)
        command.params.extend(_connection_options())
        return command

    return decorate


def _run_reporting_errors(session: Session, operation: Callable[[], Any]) -> None:
    try:
        result = operation()
        if inspect.isawaitable(result):
            asyncio.run(_awaited(result))
    except (click.ClickException, click.exceptions.Exit):
        raise
    except KeyboardInterrupt:
        raise click.exceptions.Exit(ExitStatus.INTERRUPTED) from None
    except BrokenPipeError:
        _silence_stdout()
        raise click.exceptions.Exit(ExitStatus.BROKEN_PIPE) from None
    except Exception as error:
        described = describe(error, session.base_url)
        message, status = described or (f"{type(error).__name__}: {error}", ExitStatus.FAILED)
        click.echo(f"error: {redact(message, session.api_key)}", err=True)
        raise click.exceptions.Exit(status) from None


async def _awaited(awaitable: Awaitable[Any]) -> Any:
    return await awaitable


def _silence_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null so that the interpreter's
    final flush fails no more (as Python's documentation on SIGPIPE advises)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, io.UnsupportedOperation):
        pass  # stdout is no real file (e.g. captured): nothing to flush to


# --- Option types -------------------------------------------------------------------


class EnumChoice(click.Choice):  # type: ignore[type-arg]  # generic only in newer Click
    """A choice among the wire values of an enumeration; converts to the member."""

    def __init__(self, enum_type: type[Any]) -> None:
        super().__init__([member.value for member in enum_type])
        self.enum_type = enum_type

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if isinstance(value, self.enum_type):
            return value
        return self.enum_type(super().convert(value, param, ctx))


class JsonArgument(click.ParamType):  # type: ignore[type-arg]  # generic only in newer Click
    """A JSON value given literally, as @FILE, or as - for stdin."""

    name = "JSON"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if isinstance(value, JsonData):
            return value
        if value == "-":
            source, text = "stdin", sys.stdin.read()
        elif value.startswith("@"):
            source = value[1:]
            try:
                text = Path(source).read_text(encoding="utf-8")
            except (OSError, UnicodeDecodeError) as error:
                self.fail(f"cannot read {source}: {getattr(error, 'strerror', None) or error}", param, ctx)
        else:
            source, text = "the argument", value
        try:
            return JsonData(json.loads(text))
        except ValueError as error:
            self.fail(f"not valid JSON in {source}: {error}", param, ctx)


ZIP_FILE = click.Path(exists=True, dir_okay=False, readable=True, path_type=Path)
OUT_FILE = click.Path(dir_okay=False, writable=True, path_type=Path)


def _checked_out_file(ctx: click.Context, param: click.Parameter, value: Path | None) -> Path | None:
    # Checked before the download: the file is written through a temporary sibling,
    # whose name would otherwise be what the error names.
    if value is not None and not value.parent.is_dir():
        raise click.BadParameter(f"directory '{value.parent}' does not exist")
    return value

code_type_option = click.option(
    "--type", "code_type", type=EnumChoice(CodeType), default=CodeType.PYTHON.value, show_default=True,
    help="Type of the code.",
)
metadata_option = click.option(
    "--metadata", type=JsonArgument(), help="JSON metadata: literal JSON, @FILE, or - to read stdin."
)
status_option = click.option("--status", type=EnumChoice(JobStatus), help="Only jobs with this status.")
stage_option = click.option("--stage", type=EnumChoice(JobStage), help="Only jobs in this stage.")
timeout_option = click.option(
    "--timeout",
    type=click.FloatRange(min=0),
    help="Give up after this many seconds (exit status 3). Default: no limit.",
)


def _describe_job(client: AsyncClient, job_id: str) -> Callable[[], Awaitable[str]]:
    """What the spinner shows while waiting for a job."""

    async def describe_job() -> str:
        job = await client.jobs.get(job_id)
        return f"Waiting for job {job_id}: {job.job_status} · {job.job_stage}"

    return describe_job


def _saved(output: Output, what: dict[str, Any], size: int, target: Path) -> None:
    output.value({**what, "path": str(target), "size": size}, f"Saved {size} bytes to {target}")


# --- The command tree ---------------------------------------------------------------


class VexaGroup(click.Group):
    """The top-level group: knows `serve` as another name of `service`, and reports
    usage errors and Ctrl-C in its own way (one line, exit statuses of `ExitStatus`)."""

    aliases = {"serve": "service"}

    def get_command(self, ctx: click.Context, cmd_name: str) -> click.Command | None:
        return super().get_command(ctx, self.aliases.get(cmd_name, cmd_name))

    def main(  # type: ignore[override]
        self,
        args: Sequence[str] | None = None,
        prog_name: str | None = None,
        standalone_mode: bool = True,
        **extra: Any,
    ) -> int:
        """Run the command line; exit with its status, or return it when not `standalone_mode`."""
        status = self._exit_status(args, prog_name or self.name, **extra)
        if standalone_mode:
            sys.exit(status)
        return status

    def _exit_status(self, args: Sequence[str] | None, prog_name: str | None, **extra: Any) -> int:
        try:
            result = super().main(args, prog_name, standalone_mode=False, **extra)
        except NO_ARGS_IS_HELP as error:
            error.show()
            return ExitStatus.USAGE
        except click.UsageError as error:
            hint = f" (see '{error.ctx.command_path} --help')" if error.ctx else ""
            click.echo(f"error: {error.format_message().rstrip('.')}{hint}", err=True)
            return error.exit_code
        except click.ClickException as error:
            click.echo(f"error: {error.format_message()}", err=True)
            return error.exit_code
        except (click.Abort, KeyboardInterrupt):
            return ExitStatus.INTERRUPTED
        return result if isinstance(result, int) else ExitStatus.OK


def _package_version() -> str:
    try:
        return importlib.metadata.version("vexa")
    except importlib.metadata.PackageNotFoundError:  # a source tree that was never installed
        return "unknown"


@click.group("vexa", cls=VexaGroup, context_settings=CONTEXT_SETTINGS)
@click.version_option(_package_version(), "-V", "--version", prog_name="vexa", message="%(prog)s %(version)s")
def cli() -> None:
    """Work with a Vexa service: store code, run jobs and web pages, follow them.

    Commands that talk to the service take --base-url and --api-key (or the
    VEXA_BASE_URL and VEXA_API_KEY environment variables) and --json.
    """


@cli.command(
    "service",
    context_settings={"ignore_unknown_options": True, "allow_extra_args": True},
    add_help_option=False,
)
@click.argument("arguments", nargs=-1, type=click.UNPROCESSED)
def service(arguments: Sequence[str]) -> int:
    """Run the local development service (alias: serve).

    Takes the options of `python -m vexa.devservice`; see `vexa service --help`.
    """
    try:
        from vexa.devservice.server import main as serve
    except ImportError:
        click.echo(SERVICE_EXTRA_HINT, err=True)
        raise click.exceptions.Exit(ExitStatus.FAILED) from None
    try:
        return int(serve(list(arguments)) or 0)
    except SystemExit as exit_:  # the service's own option parser
        return exit_.code if isinstance(exit_.code, int) else ExitStatus.USAGE
    except KeyboardInterrupt:
        return ExitStatus.INTERRUPTED


@cli.group(context_settings=CONTEXT_SETTINGS)
def code() -> None:
    """Stored code: upload, list, inspect, download, delete, ingest."""


@cli.group(context_settings=CONTEXT_SETTINGS)
def jobs() -> None:
    """Jobs: list, inspect, follow, wait, fetch results, stop."""


@cli.group(context_settings=CONTEXT_SETTINGS)
def web() -> None:
    """Web-page jobs: run, get the page URL, wait until healthy, list."""


# --- code ---


@client_command(code, "upload")
@click.argument("path", type=ZIP_FILE)
@click.option("--name", help="Name of the code. Default: the file name without its extension.")
@code_type_option
@metadata_option
def code_upload(session: Session, path: Path, name: str | None, code_type: CodeType, metadata: JsonData | None) -> None:
    """Upload a code zip and print its code ID."""
    code_zip = CodeZip.from_path(path)
    with session.output.transfer(f"Uploading {path.name}") as transfer:
        code_id = session.client(transfer).code.upload(code_zip, name or path.stem, code_type, metadata)
    session.output.value({"code_id": code_id}, code_id)


@client_command(code, "list")
@click.option("--type", "code_type", type=EnumChoice(CodeType), help="Only code of this type.")
def code_list(session: Session, code_type: CodeType | None) -> None:
    """List stored code."""
    session.output.listing(session.client().code.list_info(code_type), CODE_COLUMNS, "No code stored.")


@client_command(code, "info")
@click.argument("code_id")
def code_info(session: Session, code_id: str) -> None:
    """Show what the service knows about stored code."""
    session.output.record(session.client().code.get_info(code_id))


@client_command(code, "metadata")
@click.argument("code_id")
def code_metadata(session: Session, code_id: str) -> None:
    """Print the JSON metadata of stored code."""
    session.output.json(session.client().code.get_metadata(code_id))


@client_command(code, "download")
@click.argument("code_id")
@click.argument("out", type=OUT_FILE, required=False, callback=_checked_out_file)
def code_download(session: Session, code_id: str, out: Path | None) -> None:
    """Save stored code to a zip file.

    Writes OUT, by default CODE_ID.zip.
    """
    target = out or Path(f"{code_id}.zip")
    with session.output.transfer(f"Downloading {target.name}") as transfer:
        code_zip = session.client(transfer).code.download(code_id, target)
    _saved(session.output, {"code_id": code_id}, len(code_zip.zip_bytes), target)


@client_command(code, "delete")
@click.argument("code_id")
def code_delete(session: Session, code_id: str) -> None:
    """Delete stored code."""
    message = session.client().code.delete(code_id)
    session.output.value({"code_id": code_id, "deleted": True}, message)


@client_command(code, "ingest")
@click.argument("path", type=ZIP_FILE)
@click.option("--name", help="Name of the code. Default: the file name without its extension.")
@code_type_option
@metadata_option
@click.option("--build-pexenv", is_flag=True, help="Build a virtual environment for the code.")
@click.option("--pexenv-python", metavar="VERSION", help='Python of that environment, e.g. "3.11".')
def code_ingest(
    session: Session,
    path: Path,
    name: str | None,
    code_type: CodeType,
    metadata: JsonData | None,
    build_pexenv: bool,
    pexenv_python: str | None,
) -> None:
    """Upload a code zip and start its ingestion job."""
    code_zip = CodeZip.from_path(path)
    with session.output.transfer(f"Uploading {path.name}") as transfer:
        job = session.client(transfer).code.ingest(
            code_zip, name or path.stem, code_type, metadata, build_pexenv, pexenv_python
        )
    session.output.record(job)


# --- jobs ---


@client_command(jobs, "list")
@click.option("--type", "job_type", type=EnumChoice(JobType), help="Only jobs of this type.")
@status_option
@stage_option
async def jobs_list(
    session: Session, job_type: JobType | None, status: JobStatus | None, stage: JobStage | None
) -> None:
    """List jobs, optionally filtered."""
    found = await session.async_client().jobs.list(job_type=job_type, job_status=status, job_stage=stage)
    session.output.listing(found, JOB_COLUMNS, "No jobs.")


@client_command(jobs, "get")
@click.argument("job_id")
async def jobs_get(session: Session, job_id: str) -> None:
    """Show a job."""
    session.output.record(await session.async_client().jobs.get(job_id))


@client_command(jobs, "status")
@click.argument("job_id")
async def jobs_status(session: Session, job_id: str) -> None:
    """Print a job's status (queued, finished, ...)."""
    session.output.value(await session.async_client().jobs.get_status(job_id))


@client_command(jobs, "stage")
@click.argument("job_id")
async def jobs_stage(session: Session, job_id: str) -> None:
    """Print a job's stage (pre_running, ...)."""
    session.output.value(await session.async_client().jobs.get_stage(job_id))


@client_command(jobs, "error")
@click.argument("job_id")
async def jobs_error(session: Session, job_id: str) -> None:
    """Print a job's error.

    Prints nothing (JSON: null) when the job has none.
    """
    session.output.value(await session.async_client().jobs.get_error(job_id))


@client_command(jobs, "latest")
@click.option("--code-type", type=EnumChoice(CodeType), help="Only jobs that run code of this type.")
async def jobs_latest(session: Session, code_type: CodeType | None) -> None:
    """Show the latest job (JSON: null when there is none)."""
    session.output.record(await session.async_client().jobs.get_latest(code_type), empty="No jobs.")


@client_command(jobs, "stream")
@click.argument("job_id")
@click.option(
    "--read-timeout", type=click.FloatRange(min=0), default=DEFAULT_READ_TIMEOUT, show_default=True,
    help="Seconds to wait for the next line; 0 waits forever.",
)
async def jobs_stream(session: Session, job_id: str, read_timeout: float) -> None:
    """Follow a job's output live until the job ends.

    The job's stdout lines go to stdout and its stderr lines to stderr; with
    --json, one JSON object per line on stdout.
    """
    client = session.async_client()
    await session.output.follow(client.jobs.stream_output(job_id, read_timeout=read_timeout or None))


@client_command(jobs, "wait")
@click.argument("job_id")
@timeout_option
@click.option(
    "--stage", type=EnumChoice(JobStage), default=JobStage.POST_RUNNING.value, show_default=True,
    help="The stage to wait for.",
)
async def jobs_wait(session: Session, job_id: str, timeout: float | None, stage: JobStage) -> None:
    """Wait for a job to reach a stage, then show it.

    By default waits until the job has run (stage post_running).
    """
    client = session.async_client()
    job = await session.output.waiting(
        client.jobs.await_stage(job_id, timeout=timeout, stage=stage), _describe_job(client, job_id)
    )
    session.output.record(job)


@client_command(jobs, "health")
@click.argument("job_id")
async def jobs_health(session: Session, job_id: str) -> None:
    """Tell whether a job's web app answers.

    Exit status 3 when it does not.
    """
    healthy = await session.async_client().jobs.is_healthy(job_id)
    session.output.value(healthy, "healthy" if healthy else "not healthy")
    if not healthy:
        raise click.exceptions.Exit(ExitStatus.NEGATIVE)


@client_command(jobs, "result")
@click.argument("job_id")
@click.argument("out", type=OUT_FILE, required=False, callback=_checked_out_file)
async def jobs_result(session: Session, job_id: str, out: Path | None) -> None:
    """Save a job's result zip.

    Writes OUT, by default JOB_ID-result.zip.
    """
    target = out or Path(f"{job_id}-result.zip")
    with session.output.transfer(f"Downloading {target.name}") as transfer:
        result = await session.async_client(transfer).jobs.get_result(job_id, target)
    _saved(session.output, {"job_id": job_id}, len(result.zip_bytes), target)


@client_command(jobs, "terminate")
@click.argument("job_id")
async def jobs_terminate(session: Session, job_id: str) -> None:
    """Stop a job."""
    await session.async_client().jobs.terminate(job_id)
    session.output.value({"job_id": job_id, "terminated": True}, f"Job {job_id} terminated")


# --- web ---


async def _show_web_job(session: Session, client: AsyncClient, job: Job, wait: bool, timeout: float | None) -> None:
    if wait:
        job = await session.output.waiting(
            client.web.await_healthy(job.job_id, timeout=timeout), _describe_job(client, job.job_id)
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
    if path is not None:
        code_zip = CodeZip.from_path(path)
        with session.output.transfer(f"Uploading {path.name}") as transfer:
            client = session.async_client(transfer)
            job = await client.web.run(code_zip)
    else:
        client = session.async_client()
        job = await client.web.stored.run(code_id)
    await _show_web_job(session, client, job, wait, timeout)


@client_command(web, "url")
@click.argument("job_id")
def web_url(session: Session, job_id: str) -> None:
    """Print the URL of a web job's page."""
    session.output.value(session.async_client().web.get_url(job_id))


@client_command(web, "wait")
@click.argument("job_id")
@timeout_option
async def web_wait(session: Session, job_id: str, timeout: float | None) -> None:
    """Wait until a web job's page answers.

    Then shows the job and the URL of its page.
    """
    client = session.async_client()
    await _show_web_job(session, client, await client.jobs.get(job_id), True, timeout)


@client_command(web, "list")
@status_option
@stage_option
async def web_list(session: Session, status: JobStatus | None, stage: JobStage | None) -> None:
    """List web jobs, optionally filtered."""
    found = await session.async_client().web.jobs.list(job_status=status, job_stage=stage)
    session.output.listing(found, JOB_COLUMNS, "No web jobs.")


# --- Entry ----------------------------------------------------------------------------


def run(argv: Sequence[str] | None = None) -> int:
    """Run `vexa` with `argv` (default: `sys.argv[1:]`) and return the exit status."""
    return int(cli.main(args=None if argv is None else list(argv), standalone_mode=False))
