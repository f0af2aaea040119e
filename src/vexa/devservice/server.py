"""Running the service: in a background thread (tests, demos) or from the command line."""

from __future__ import annotations

import argparse
import asyncio
import getpass
import ipaddress
import os
import socket
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Mapping, NoReturn, Sequence, TypeVar, cast

import uvicorn
from starlette.applications import Starlette

from .app import create_app
from .archive import ArchiveLimits
from .codes import CodeStorage
from .constants import KIB, MIB
from .dashboard import dashboard_url
from .jobs import JobRunner
from .lock import DataDirInUse
from .process import JobLimits

Number = TypeVar("Number", int, float)

DEFAULT_PROG = "python -m vexa.devservice"
DEFAULT_HOST = "127.0.0.1"
API_KEY_VARIABLE = "VEXA_API_KEY"
EXIT_USAGE = 2
STARTUP_TIMEOUT_SECONDS = 15.0
# Bounded so open streams cannot stall shutdown forever.
GRACEFUL_SHUTDOWN_SECONDS = 3


def bind_socket(host: str, port: int) -> socket.socket:
    """Bind and listen before uvicorn starts, so the port is known and connections queue."""
    # Explicit IPPROTO_TCP: asyncio only sets TCP_NODELAY on accepted sockets whose proto says TCP,
    # and without it every keep-alive request pays a 40 ms delayed-ACK stall.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(128)
    sock.set_inheritable(True)
    return sock


def _uvicorn_server(app: Starlette, host: str, port: int, log_level: str) -> uvicorn.Server:
    config = uvicorn.Config(
        app,
        host=host,
        port=port,
        log_level=log_level,
        access_log=False,
        lifespan="on",
        ws="none",
        proxy_headers=False,  # no proxy sits in front: a client's X-Forwarded-For says nothing of its address
        timeout_graceful_shutdown=GRACEFUL_SHUTDOWN_SECONDS,
    )
    return uvicorn.Server(config)


@dataclass
class RunningService:
    """A service running in a background thread; `stop()` (or the context manager) ends it."""

    app: Starlette
    host: str
    port: int
    api_key: str | None
    data_dir: Path
    _server: uvicorn.Server
    _thread: threading.Thread

    @property
    def base_url(self) -> str:
        return f"http://{self.host}:{self.port}"

    @property
    def runner(self) -> JobRunner:
        return cast(JobRunner, self.app.state.runner)

    @property
    def storage(self) -> CodeStorage:
        return cast(CodeStorage, self.app.state.storage)

    @property
    def headers(self) -> dict[str, str]:
        return {"X-API-Key": self.api_key} if self.api_key else {}

    def stop(self, timeout: float = 10.0) -> None:
        if not self._thread.is_alive():
            return
        runner = self.runner
        if runner.loop is not None and runner.loop.is_running():
            # End job tasks and streams first so shutdown does not wait on them.
            future = asyncio.run_coroutine_threadsafe(runner.close(), runner.loop)
            future.result(timeout=timeout)
        self._server.should_exit = True
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise RuntimeError("dev service thread did not stop in time")

    def __enter__(self) -> "RunningService":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()


def start_in_thread(
    data_dir: str | os.PathLike[str],
    api_key: str | None = None,
    *,
    host: str = DEFAULT_HOST,
    port: int = 0,
    log_level: str = "warning",
    **app_options: Any,
) -> RunningService:
    """Start the service on `port` (0 = any free one) and return once it serves.

    `app_options` go to `create_app`: `simulate=True` for simulated jobs (with
    `queue_seconds`, `run_seconds`, `output_lines`), `job_limits`, `archive_limits`.
    """
    app = create_app(data_dir, api_key, **app_options)
    sock = bind_socket(host, port)
    actual_port = sock.getsockname()[1]
    server = _uvicorn_server(app, host, actual_port, log_level)
    failure: list[BaseException] = []

    def serve() -> None:
        try:
            server.run(sockets=[sock])
        except BaseException as exc:  # surfaced by the startup wait below
            failure.append(exc)
        finally:
            sock.close()

    thread = threading.Thread(target=serve, name=f"vexa-devservice-{actual_port}", daemon=True)
    thread.start()
    runner: JobRunner = app.state.runner
    if not runner.ready.wait(STARTUP_TIMEOUT_SECONDS) or failure:
        server.should_exit = True
        thread.join(5)
        raise RuntimeError(f"dev service failed to start: {failure[0] if failure else 'timeout'}")
    return RunningService(
        app=app,
        host=host,
        port=actual_port,
        api_key=api_key,
        data_dir=Path(data_dir),
        _server=server,
        _thread=thread,
    )


def non_negative(kind: Callable[[str], Number]) -> Callable[[str], Number]:
    """An argparse type: a number of `kind` that is 0 or more."""

    def parse(text: str) -> Number:
        value = kind(text)
        if value < 0:
            raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
        return value

    parse.__name__ = kind.__name__  # argparse names it in "invalid int value"
    return parse


def positive(kind: Callable[[str], Number]) -> Callable[[str], Number]:
    """An argparse type: a number of `kind` above 0."""

    def parse(text: str) -> Number:
        value = non_negative(kind)(text)
        if value == 0:
            raise argparse.ArgumentTypeError("must be above 0")
        return value

    parse.__name__ = kind.__name__
    return parse


class _OneLineErrors(argparse.ArgumentParser):
    """Reports a bad option in one line (with a pointer to --help), not the usage block."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser(prog: str = DEFAULT_PROG) -> argparse.ArgumentParser:
    parser = _OneLineErrors(
        prog=prog,
        description="Local vexa development service. It runs uploaded code as the current user: serve only code you trust.",
        epilog=f"The API key comes from ${API_KEY_VARIABLE} or --api-key-file; without one, every request is accepted.",
    )
    parser.add_argument("--host", default=DEFAULT_HOST, help="bind address (default 127.0.0.1)")
    parser.add_argument("--port", type=port_number, default=8000, help="port; 0 picks a free one (default 8000)")
    parser.add_argument(
        "--data-dir",
        required=True,
        help="directory for stored code, the database and job results (one service per directory)",
    )
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument(
        "--api-key-file",
        default=None,
        help=f"require the X-API-Key in this file (its first line) on every request; or set ${API_KEY_VARIABLE}",
    )
    keys.add_argument(
        "--api-key",
        default=None,
        help="require this X-API-Key (other local users can read it in the process list: prefer --api-key-file)",
    )
    parser.add_argument("--log-level", default="warning", help="uvicorn log level")
    parser.add_argument("--keepalive-seconds", type=float, default=1.0, help="idle time before a stream keep-alive")

    jobs = parser.add_argument_group("job limits (0 = no limit)")
    defaults = JobLimits()
    jobs.add_argument(
        "--time-limit",
        type=non_negative(float),
        default=defaults.time_limit_seconds,
        help="seconds a job may run before it is killed (default %(default)s)",
    )
    jobs.add_argument(
        "--cpu-seconds",
        type=non_negative(int),
        default=defaults.cpu_seconds,
        help="CPU seconds per job process (default %(default)s)",
    )
    jobs.add_argument(
        "--memory-mb",
        type=non_negative(int),
        default=defaults.memory_bytes // MIB,
        help="address space per job process, MiB (default %(default)s)",
    )
    jobs.add_argument(
        "--file-size-mb",
        type=non_negative(int),
        default=defaults.file_size_bytes // MIB,
        help="largest file a job may write, MiB (default %(default)s)",
    )
    jobs.add_argument(
        "--max-output-lines",
        type=non_negative(int),
        default=defaults.max_output_lines,
        help="output lines kept per job (default %(default)s)",
    )
    jobs.add_argument(
        "--max-output-mb",
        type=non_negative(int),
        default=defaults.max_output_bytes // MIB,
        help="output kept per job, MiB; the rest is cut with a notice (default %(default)s)",
    )

    uploads = parser.add_argument_group("upload caps")
    caps = ArchiveLimits()
    uploads.add_argument(
        "--max-archive-mb",
        type=positive(int),
        default=caps.max_archive_bytes // MIB,
        help="largest code zip, MiB (default %(default)s)",
    )
    uploads.add_argument(
        "--max-entries",
        type=positive(int),
        default=caps.max_entries,
        help="most entries in a code zip (default %(default)s)",
    )
    uploads.add_argument(
        "--max-unpacked-mb",
        type=positive(int),
        default=caps.max_unpacked_bytes // MIB,
        help="largest unpacked size of a code zip, MiB (default %(default)s)",
    )
    uploads.add_argument(
        "--max-metadata-kb",
        type=positive(int),
        default=caps.max_metadata_bytes // KIB,
        help="largest metadata document, KiB (default %(default)s)",
    )

    simulated = parser.add_argument_group("simulated jobs (--simulate: never run the uploaded code)")
    simulated.add_argument(
        "--simulate", action="store_true", help="play jobs by fixed timings instead of running their code"
    )
    simulated.add_argument("--queue-seconds", type=float, default=0.3, help="time a job stays queued")
    simulated.add_argument(
        "--run-seconds", type=float, default=1.0, help="time a job runs (web jobs run until terminated)"
    )
    simulated.add_argument("--output-lines", type=int, default=5, help="output lines a job emits while running")
    return parser


def app_options(args: argparse.Namespace) -> dict[str, Any]:
    """The create_app keywords that the command line options give."""
    return {
        "simulate": args.simulate,
        "queue_seconds": args.queue_seconds,
        "run_seconds": args.run_seconds,
        "output_lines": args.output_lines,
        "keepalive_seconds": args.keepalive_seconds,
        "job_limits": JobLimits(
            time_limit_seconds=args.time_limit,
            cpu_seconds=args.cpu_seconds,
            memory_bytes=args.memory_mb * MIB,
            file_size_bytes=args.file_size_mb * MIB,
            max_output_lines=args.max_output_lines,
            max_output_bytes=args.max_output_mb * MIB,
        ),
        "archive_limits": ArchiveLimits(
            max_archive_bytes=args.max_archive_mb * MIB,
            max_entries=args.max_entries,
            max_unpacked_bytes=args.max_unpacked_mb * MIB,
            max_metadata_bytes=args.max_metadata_kb * KIB,
        ),
    }


def port_number(text: str) -> int:
    """An argparse type: a TCP port (0 picks a free one)."""
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, got {text}")
    return value


port_number.__name__ = "port"


def api_key_from(args: argparse.Namespace, environ: Mapping[str, str]) -> tuple[str | None, str | None]:
    """The API key the options or the environment give, and a warning to print, if any."""
    if args.api_key_file:
        try:
            text = Path(args.api_key_file).read_text(encoding="utf-8")
        except OSError as exc:
            raise ServiceError(f"cannot read the API key file {args.api_key_file}: {exc.strerror}") from None
        key = text.splitlines()[0].strip() if text.strip() else ""
        if not key:
            raise ServiceError(f"the API key file {args.api_key_file} is empty")
        return key, None
    if args.api_key:
        warning = (
            "Warning: --api-key puts the key in the process list, where other local users can read it; "
            f"use --api-key-file or ${API_KEY_VARIABLE} instead."
        )
        return args.api_key, warning
    return environ.get(API_KEY_VARIABLE) or None, None


class ServiceError(Exception):
    """Why the service cannot start, in one line."""


def main(argv: Sequence[str] | None = None, *, prog: str = DEFAULT_PROG) -> int:
    """Run the service from the command line until interrupted; returns the exit status.

    Whatever keeps it from starting (a busy port, a data dir in use, a bad
    option) is one line on stderr, never a traceback.
    """
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        return _serve(args)
    except (ServiceError, DataDirInUse) as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr, flush=True)
        return 1


def _serve(args: argparse.Namespace) -> int:
    api_key, warning = api_key_from(args, os.environ)
    if warning:
        print(warning, file=sys.stderr, flush=True)
    os.umask(0o077)  # everything the service creates is its owner's only
    try:
        sock = bind_socket(args.host, args.port)
    except OSError as exc:
        raise ServiceError(f"cannot listen on {args.host}:{args.port}: {exc.strerror or exc}") from None
    try:
        app = create_app(args.data_dir, api_key, **app_options(args))
    except BaseException:
        sock.close()
        raise
    port = sock.getsockname()[1]
    # Printed once the socket listens: scripts read this line to find a port chosen with --port 0.
    print(f"vexa devservice listening on http://{args.host}:{port}", flush=True)
    if args.simulate:
        print("Jobs are simulated: uploaded code is stored but never run.", flush=True)
    else:
        print(
            f"It runs uploaded code as the current user ({getpass.getuser()}): serve only code you trust.", flush=True
        )
        if not ipaddress.ip_address(sock.getsockname()[0]).is_loopback:
            print(f"Warning: {args.host} is reachable from other machines, and so is running code here.", flush=True)
    print(f"Dashboard: {dashboard_url(args.host, port, api_key)}", flush=True)
    server = _uvicorn_server(app, args.host, port, args.log_level)
    try:
        server.run(sockets=[sock])
    finally:
        sock.close()
    return 0
