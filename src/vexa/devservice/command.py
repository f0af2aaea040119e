"""The service's command line: `python -m vexa.devservice` and `vexa service`
are this one Click command, so both show the same options in the same style
as the rest of the `vexa` command.

It needs Click (which uvicorn brings too) and platformdirs, not the rest of
the service: `--help` works, and a missing part of the extra is one line,
before anything is created.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Sequence, TypeVar

import click
import platformdirs

from .archive import ArchiveLimits
from .constants import KIB, MIB
from .process import CONTAINMENTS, JobLimits

F = TypeVar("F", bound=Callable[..., Any])

DEFAULT_PROG = "python -m vexa.devservice"
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
API_KEY_VARIABLE = "VEXA_API_KEY"
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
LOG_LEVELS = ("critical", "error", "warning", "info", "debug", "trace")
COLUMN_MAX = 30  # as Click's own lists of options
CONTEXT_SETTINGS: dict[str, Any] = {"help_option_names": ["-h", "--help"], "max_content_width": 100}


def default_data_dir() -> Path:
    """Where a service keeps its data unless told otherwise: the user's data
    folder (on Linux ~/.local/share/vexa/service, or under $XDG_DATA_HOME), never
    the folder it is started from."""
    return platformdirs.user_data_path("vexa", appauthor=False) / "service"


def _shown(path: Path) -> str:
    """`path` with the home folder as ~, as help texts show it."""
    home = Path.home()
    return f"~/{path.relative_to(home)}" if path.is_relative_to(home) else str(path)


@dataclass(frozen=True)
class ServiceOptions:
    """What the command line asks of the service."""

    host: str = DEFAULT_HOST
    allowed_host: tuple[str, ...] = ()
    port: int = DEFAULT_PORT
    data_dir: Path | None = None  # None: default_data_dir()
    api_key_file: Path | None = None
    api_key: str | None = None
    log_level: str = "warning"
    keepalive_seconds: float = 1.0
    containment: str = "auto"
    time_limit: float = JobLimits.time_limit_seconds
    cpu_seconds: int = JobLimits.cpu_seconds
    memory_mb: int = JobLimits.memory_bytes // MIB
    file_size_mb: int = JobLimits.file_size_bytes // MIB
    max_output_lines: int = JobLimits.max_output_lines
    max_output_mb: int = JobLimits.max_output_bytes // MIB
    max_archive_mb: int = ArchiveLimits.max_archive_bytes // MIB
    max_entries: int = ArchiveLimits.max_entries
    max_unpacked_mb: int = ArchiveLimits.max_unpacked_bytes // MIB
    max_metadata_kb: int = ArchiveLimits.max_metadata_bytes // KIB
    simulate: bool = False
    queue_seconds: float = 0.3
    run_seconds: float = 1.0
    output_lines: int = 5

    @property
    def data_path(self) -> Path:
        return self.data_dir if self.data_dir is not None else default_data_dir()


class SectionOption(click.Option):
    """An option listed in the help under a heading of its own (`section`)."""

    def __init__(self, *args: Any, section: str = "Options", **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.section = section


class SectionedCommand(click.Command):
    """A command whose help lists its options by section, in the order they first appear."""

    def format_options(self, ctx: click.Context, formatter: click.HelpFormatter) -> None:
        sections: dict[str, list[tuple[str, str]]] = {}
        for param in self.get_params(ctx):
            record = param.get_help_record(ctx)
            if record is not None and isinstance(param, click.Option):
                sections.setdefault(getattr(param, "section", "Options"), []).append(record)
        # One column for all sections: each section's widest term, padded to the widest of all.
        column = min(max(len(term) for records in sections.values() for term, _ in records), COLUMN_MAX)
        for title, records in sections.items():
            with formatter.section(title):
                formatter.write_dl(
                    [(term.ljust(column) if index == 0 else term, text) for index, (term, text) in enumerate(records)],
                    col_max=COLUMN_MAX,
                )


def _option(*names: str, section: str = "Options", **kwargs: Any) -> Callable[[F], F]:
    kwargs.setdefault("show_default", True)
    return click.option(*names, cls=SectionOption, section=section, **kwargs)


class Number(click.ParamType):  # type: ignore[type-arg]  # generic only in newer Click
    """A number of `kind` from `minimum` to `maximum`, shown in the help as `name`."""

    def __init__(self, kind: type[int] | type[float], name: str, minimum: float = 0, maximum: float | None = None):
        self.kind = kind
        self.name = name
        self.minimum = minimum
        self.maximum = maximum

    def get_metavar(self, *args: Any, **kwargs: Any) -> str:  # the signature differs between Click versions
        return self.name

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        try:
            number = self.kind(value)
        except (TypeError, ValueError):
            what = "a whole number" if self.kind is int else "a number"
            self.fail(f"not {what}: {value!r}", param, ctx)
        if self.maximum is not None and not self.minimum <= number <= self.maximum:
            self.fail(f"must be from {self.minimum} to {self.maximum}, got {value}", param, ctx)
        if number < self.minimum:
            self.fail(f"must be {self.minimum} or more, got {value}", param, ctx)
        return number


LIMITS = "Job limits (0: no limit)"
CAPS = "Upload caps"
SIMULATED = "Simulated jobs"
SECONDS = Number(float, "SECONDS")
COUNT = Number(int, "N")
MIB_COUNT = Number(int, "MIB")
AT_LEAST_1 = {"N": Number(int, "N", 1), "MIB": Number(int, "MIB", 1), "KIB": Number(int, "KIB", 1)}


class MissingExtra(click.ClickException):
    """A part of the service extra is not installed."""

    exit_code = EXIT_FAILED

    def __init__(self, module: str) -> None:
        super().__init__(f"the service needs {module}: pip install 'vexa[service]'")


@click.command("service", cls=SectionedCommand, context_settings=CONTEXT_SETTINGS)
@_option("--host", default=DEFAULT_HOST, help="Address to listen on.")
@_option(
    "--allowed-host",
    multiple=True,
    metavar="NAME",
    show_default=False,
    help="A host name to answer at too (it always does at an IP address and localhost); repeatable.",
)
@_option("--port", type=Number(int, "PORT", 0, 65535), default=DEFAULT_PORT, help="Port; 0 picks a free one.")
@_option(
    "--data-dir",
    type=click.Path(file_okay=False, path_type=Path),
    default=None,
    show_default=False,
    help="Folder of the stored code, the database and the job results (one service per folder). "
    f"Default: {_shown(default_data_dir())}",
)
@_option(
    "--api-key-file",
    type=click.Path(dir_okay=False, allow_dash=True, path_type=Path),
    help=f"Require the X-API-Key in this file (its first line; '-': read from stdin, so that no path shows "
    f"in the process list), or set {API_KEY_VARIABLE}.",
)
@_option(
    "--api-key",
    metavar="KEY",
    help="Require this X-API-Key (other local users can read it in the process list: prefer the file).",
)
@_option(
    "--log-level",
    type=click.Choice(LOG_LEVELS),
    metavar="LEVEL",
    default="warning",
    help=f"Server log level: {', '.join(LOG_LEVELS)}.",
)
@_option("--keepalive-seconds", type=SECONDS, default=1.0, help="Idle time before a stream sends a keep-alive.")
@_option(
    "--containment",
    type=click.Choice(("auto", *CONTAINMENTS)),
    default="auto",
    help="How a job's processes are held: a PID namespace of their own, or their own reaper and the kill "
    "by marker; auto: a namespace where the system allows one (the service says which at start).",
)
@_option("--time-limit", type=SECONDS, default=ServiceOptions.time_limit, section=LIMITS, help="Seconds a job may run.")
@_option(
    "--cpu-seconds",
    type=COUNT,
    default=ServiceOptions.cpu_seconds,
    section=LIMITS,
    help="CPU seconds per process of a job.",
)
@_option(
    "--memory-mb", type=MIB_COUNT, default=ServiceOptions.memory_mb, section=LIMITS, help="Memory per process, MiB."
)
@_option(
    "--file-size-mb",
    type=MIB_COUNT,
    default=ServiceOptions.file_size_mb,
    section=LIMITS,
    help="Largest file a job may write, MiB.",
)
@_option(
    "--max-output-lines",
    type=COUNT,
    default=ServiceOptions.max_output_lines,
    section=LIMITS,
    help="Output lines kept per job.",
)
@_option(
    "--max-output-mb",
    type=MIB_COUNT,
    default=ServiceOptions.max_output_mb,
    section=LIMITS,
    help="Output kept per job, MiB; the rest is cut with a notice.",
)
@_option(
    "--max-archive-mb",
    type=AT_LEAST_1["MIB"],
    default=ServiceOptions.max_archive_mb,
    section=CAPS,
    help="Largest zip, MiB.",
)
@_option(
    "--max-entries",
    type=AT_LEAST_1["N"],
    default=ServiceOptions.max_entries,
    section=CAPS,
    help="Most entries in a zip.",
)
@_option(
    "--max-unpacked-mb",
    type=AT_LEAST_1["MIB"],
    default=ServiceOptions.max_unpacked_mb,
    section=CAPS,
    help="Largest unpacked size of a zip, MiB.",
)
@_option(
    "--max-metadata-kb",
    type=AT_LEAST_1["KIB"],
    default=ServiceOptions.max_metadata_kb,
    section=CAPS,
    help="Largest metadata document, KiB.",
)
@_option(
    "--simulate",
    is_flag=True,
    section=SIMULATED,
    show_default=False,
    help="Play jobs by the timings below; never run the uploaded code.",
)
@_option("--queue-seconds", type=SECONDS, default=0.3, section=SIMULATED, help="Time a job stays queued.")
@_option(
    "--run-seconds", type=SECONDS, default=1.0, section=SIMULATED, help="Time a job runs (web jobs: until stopped)."
)
@_option("--output-lines", type=COUNT, default=5, section=SIMULATED, help="Lines a job prints.")
def service(**params: Any) -> int:
    """Run the local development service (alias: serve).

    It stores code and runs it as jobs, as the current user: serve only code
    you trust. Without an API key (VEXA_API_KEY, --api-key-file), every
    request is accepted.
    """
    options = ServiceOptions(**params)
    if options.api_key is not None and options.api_key_file is not None:
        raise click.UsageError("give --api-key or --api-key-file, not both")
    try:
        from .server import serve
    except ModuleNotFoundError as missing:  # starlette, uvicorn or python-multipart
        raise MissingExtra((missing.name or "its extra").split(".")[0]) from None
    return serve(options, os.environ)


def parse_options(argv: Sequence[str]) -> ServiceOptions:
    """The options that `argv` gives (for tests and embedding); raises click's usage errors."""
    with service.make_context("service", list(argv)) as ctx:
        return ServiceOptions(**ctx.params)


def main(argv: Sequence[str] | None = None, *, prog: str = DEFAULT_PROG) -> int:
    """Run the service from the command line until interrupted; returns the exit status.

    Whatever keeps it from starting (a busy port, a data dir in use, a bad
    option, a missing extra) is one line on stderr, never a traceback.
    """
    try:
        result = service.main(args=argv, prog_name=prog, standalone_mode=False)
    except click.UsageError as error:
        click.echo(f"{prog}: error: {error.format_message().rstrip('.')} (see '{prog} --help')", err=True)
        return error.exit_code
    except click.ClickException as error:
        click.echo(f"{prog}: error: {error.format_message()}", err=True)
        return error.exit_code
    except (click.Abort, KeyboardInterrupt):
        return EXIT_INTERRUPTED
    return result if isinstance(result, int) else 0
