"""The `vexa` group and what every command shares: the connection options,
`--json`, the session a command works in, and one-line failures.

The command groups live in modules of their own (`vexa.cli.code`, `.jobs`,
`.web`, `.service`); the group imports each one when it is first asked for.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import importlib
import importlib.metadata
import inspect
import io
import os
import sys
from dataclasses import dataclass, field
from typing import Any, AsyncIterator, Awaitable, Callable, Iterator, Sequence
from urllib.parse import urlsplit

import click
import httpx

from vexa.cli.errors import describe, redact
from vexa.cli.output import Output
from vexa.cli.status import ExitStatus
from vexa.cli.transport import AsyncCountingTransport, CountingTransport, Meter
from vexa.client import API_KEY_ENV, BASE_URL_ENV, AsyncClient, Client
from vexa.client._base import default_verify

CONTEXT_SETTINGS: dict[str, Any] = {"help_option_names": ["-h", "--help"], "max_content_width": 100}
# A group run without a command: Click 8.2 raises this usage error; 8.1 shows the help and exits 0.
NO_ARGS_IS_HELP: Any = getattr(click.exceptions, "NoArgsIsHelpError", ())


# --- What every command that talks to the service shares -----------------------------


@dataclass
class Session:
    """The connection and output settings of one command.

    Its clients send every request through one pooled HTTP client whose
    transport counts the bytes of uploads and downloads: inside a
    `transfer(...)` block, a progress bar shows them.
    """

    base_url: str
    api_key: str | None
    output: Output
    meter: Meter = field(default_factory=Meter)

    @contextlib.contextmanager
    def http_client(self) -> Iterator[httpx.Client]:
        """The pooled HTTP client under the clients, for requests they do not make."""
        transport = httpx.HTTPTransport(verify=default_verify(self.base_url))
        with httpx.Client(transport=CountingTransport(self.meter, transport)) as http_client:
            yield http_client

    @contextlib.contextmanager
    def client(self) -> Iterator[Client]:
        with self.http_client() as http_client:
            yield Client(self.base_url, self.api_key, http_client=http_client)

    @contextlib.asynccontextmanager
    async def async_client(self) -> AsyncIterator[AsyncClient]:
        transport = httpx.AsyncHTTPTransport(verify=default_verify(self.base_url))
        async with httpx.AsyncClient(transport=AsyncCountingTransport(self.meter, transport)) as http_client:
            yield AsyncClient(self.base_url, self.api_key, http_client=http_client)

    def url_client(self) -> Client:
        """A client that only builds URLs, for commands that send no request."""
        return Client(self.base_url, self.api_key)

    @contextlib.contextmanager
    def transfer(self, description: str) -> Iterator[None]:
        """Show the bytes of the uploads and downloads of the block as a progress bar."""
        with self.output.transfer(description) as transfer:
            self.meter.counter = transfer
            try:
                yield
            finally:
                self.meter.counter = None


def _checked_base_url(ctx: click.Context, param: click.Parameter, value: str | None) -> str:
    """The service URL from --base-url or the environment; errors name where it came from."""
    if value is None and ctx.resilient_parsing:  # shell completion: nothing runs
        return ""
    if value is None:
        raise click.UsageError(f"no service URL: pass --base-url or set {BASE_URL_ENV}", ctx)
    parts = urlsplit(value)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        if ctx.get_parameter_source("base_url") == click.core.ParameterSource.ENVIRONMENT:
            raise click.UsageError(f"{BASE_URL_ENV} is not an http:// or https:// URL with a host: {value!r}", ctx)
        raise click.BadParameter("not an http:// or https:// URL with a host")
    return value.rstrip("/")  # the client joins paths to it as they are


def _connection_options() -> list[click.Option]:
    return [
        click.Option(
            ["--base-url"],
            envvar=BASE_URL_ENV,
            callback=_checked_base_url,
            metavar="URL",
            help=f"Service URL, e.g. http://127.0.0.1:8000 [env: {BASE_URL_ENV}]",
        ),
        # No default shown and no show_envvar: the key must never be printed.
        click.Option(["--api-key"], envvar=API_KEY_ENV, metavar="KEY", help=f"API key [env: {API_KEY_ENV}]"),
        click.Option(["--json", "as_json"], is_flag=True, help="Print the result as JSON, for scripts."),
    ]


def _quiet_option() -> click.Option:
    return click.Option(["-q", "--quiet"], is_flag=True, help="Print only the ID (one per line for lists).")


def client_command(
    group: click.Group, name: str, *, quiet: bool = False
) -> Callable[[Callable[..., Any]], click.Command]:
    """Register `function(session, **arguments)` (plain or async) as a command of `group`
    with the connection options, `--json` and, if `quiet`, `-q/--quiet`, and with
    failures turned into one line on stderr and an exit status."""

    def decorate(function: Callable[..., Any]) -> click.Command:
        @functools.wraps(function)
        def callback(base_url: str, api_key: str | None, as_json: bool, quiet: bool = False, **arguments: Any) -> None:
            if as_json and quiet:
                raise click.UsageError("give --json or --quiet, not both")
            session = Session(base_url, api_key or None, Output(as_json, quiet))
            _run_reporting_errors(session, lambda: function(session, **arguments))

        command = group.command(name)(callback)
        command.params.extend(_connection_options())
        if quiet:
            command.params.append(_quiet_option())
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
        message, status = describe(error, session.base_url, has_api_key=session.api_key is not None)
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


# --- The group ---------------------------------------------------------------------


class VexaGroup(click.Group):
    """The top-level group: finds its commands in their modules, knows `serve` as
    another name of `service`, and reports usage errors and Ctrl-C in its own way
    (one line, exit statuses of `ExitStatus`)."""

    # Command name -> the module that defines it, as a variable of the same name.
    modules = {"code": "vexa.cli.code", "jobs": "vexa.cli.jobs", "service": "vexa.cli.service", "web": "vexa.cli.web"}
    aliases = {"serve": "service"}

    def list_commands(self, ctx: click.Context) -> list[str]:
        return sorted({*super().list_commands(ctx), *self.modules})

    def get_command(self, ctx: click.Context, cmd_name: str) -> click.Command | None:
        name = self.aliases.get(cmd_name, cmd_name)
        if name in self.modules:
            command = getattr(importlib.import_module(self.modules[name]), name)
            assert isinstance(command, click.Command), name
            return command
        return super().get_command(ctx, name)

    def resolve_command(
        self, ctx: click.Context, args: list[str]
    ) -> tuple[str | None, click.Command | None, list[str]]:
        # Under its own name, whichever was typed: `vexa serve --help` shows `vexa service`.
        _, command, rest = super().resolve_command(ctx, args)
        return (command.name if command is not None else None), command, rest

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


def run(argv: Sequence[str] | None = None) -> int:
    """Run `vexa` with `argv` (default: `sys.argv[1:]`) and return the exit status."""
    return int(cli.main(args=None if argv is None else list(argv), standalone_mode=False))
