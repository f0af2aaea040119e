"""Running the service: in a background thread (tests, demos) or from the command line."""

from __future__ import annotations

import asyncio
import ctypes
import getpass
import ipaddress
import logging
import os
import re
import socket
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping, cast

import click
import uvicorn
from starlette.applications import Starlette

from vexa._browser import browser_token, is_web_job_address

from .app import create_app
from .archive import ArchiveLimits
from .codes import CodeStorage
from .command import API_KEY_VARIABLE, DEFAULT_HOST, EXIT_FAILED, ServiceOptions
from .constants import KIB, MIB
from .dashboard import dashboard_url
from .jobs import JobRunner
from .lock import DataDirInUse
from .process import ContainmentError, JobLimits, ProcessRuns
from .storage import WRITE_ERRORS, is_disk_full

STARTUP_TIMEOUT_SECONDS = 15.0
# Bounded so open streams cannot stall shutdown forever.
GRACEFUL_SHUTDOWN_SECONDS = 3
# Where the service's loggers might show a token: uvicorn's ASGI trace prints each request's query.
LOGGERS = ("uvicorn", "uvicorn.error", "uvicorn.asgi", "uvicorn.access", "vexa.devservice")
TOKEN_IN_TEXT = re.compile(r"(token=)[^&\s'\"\\]+")
PR_SET_DUMPABLE = 4


class SecretFilter(logging.Filter):
    """Blanks the keys, their browser tokens and any `token=` value in a log record's text."""

    def __init__(self) -> None:
        super().__init__()
        self.secrets: set[str] = set()

    def filter(self, record: logging.LogRecord) -> bool:
        text = record.getMessage()
        cleaned = TOKEN_IN_TEXT.sub(r"\1[REDACTED]", text)
        for secret in self.secrets:
            cleaned = cleaned.replace(secret, "[REDACTED]")
        if cleaned != text:
            record.msg, record.args = cleaned, None
        return True


SECRET_FILTER = SecretFilter()  # one for every service of the process


def keep_secrets_out_of_logs(api_key: str | None) -> None:
    """No log record of the service shows the key or a token, at any level."""
    if api_key:
        SECRET_FILTER.secrets.update((api_key, browser_token(api_key)))
    for name in LOGGERS:
        logging.getLogger(name).addFilter(SECRET_FILTER)  # once: a logger keeps one of each filter


def make_undumpable() -> bool:
    """Linux: other processes of this user (the jobs) can no longer read this
    one's memory or /proc/PID/environ, where the key may be. Whether it took."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        return bool(ctypes.CDLL(None, use_errno=True).prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0)
    except (OSError, AttributeError):
        return False


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
    startup_timeout: float = STARTUP_TIMEOUT_SECONDS,
    **app_options: Any,
) -> RunningService:
    """Start the service on `port` (0 = any free one) and return once it serves.

    `app_options` go to `create_app`: `simulate=True` for simulated jobs (with
    `queue_seconds`, `run_seconds`, `output_lines`), `job_limits`, `archive_limits`.
    `startup_timeout`: how long to wait for it to serve before giving up.
    """
    app = create_app(data_dir, api_key, **app_options)
    sock = bind_socket(host, port)
    actual_port = sock.getsockname()[1]
    app.state.pages.serve_on(actual_port)
    keep_secrets_out_of_logs(api_key)
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
    if not runner.ready.wait(startup_timeout) or failure:
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


def app_options(options: ServiceOptions) -> dict[str, Any]:
    """The create_app keywords that the command line options give."""
    return {
        "allowed_hosts": options.allowed_host,
        "simulate": options.simulate,
        "queue_seconds": options.queue_seconds,
        "run_seconds": options.run_seconds,
        "output_lines": options.output_lines,
        "keepalive_seconds": options.keepalive_seconds,
        "containment": options.containment,
        "job_limits": JobLimits(
            time_limit_seconds=options.time_limit,
            cpu_seconds=options.cpu_seconds,
            memory_bytes=options.memory_mb * MIB,
            file_size_bytes=options.file_size_mb * MIB,
            max_output_lines=options.max_output_lines,
            max_output_bytes=options.max_output_mb * MIB,
        ),
        "archive_limits": ArchiveLimits(
            max_archive_bytes=options.max_archive_mb * MIB,
            max_entries=options.max_entries,
            max_unpacked_bytes=options.max_unpacked_mb * MIB,
            max_metadata_bytes=options.max_metadata_kb * KIB,
        ),
    }


def api_key_from(options: ServiceOptions, environ: Mapping[str, str]) -> tuple[str | None, str | None]:
    """The API key the options or the environment give, and a warning to print, if any."""
    if options.api_key_file:
        try:
            reading_stdin = str(options.api_key_file) == "-"
            text = sys.stdin.read() if reading_stdin else Path(options.api_key_file).read_text(encoding="utf-8")
        except OSError as exc:
            raise ServiceError(f"cannot read the API key file {options.api_key_file}: {exc.strerror}") from None
        key = text.splitlines()[0].strip() if text.strip() else ""
        if not key:
            raise ServiceError(f"the API key file {options.api_key_file} is empty")
        return key, None
    if options.api_key:
        warning = (
            "Warning: --api-key puts the key in the process list, where other local users can read it; "
            f"use --api-key-file or ${API_KEY_VARIABLE} instead."
        )
        return options.api_key, warning
    return environ.get(API_KEY_VARIABLE) or None, None


class ServiceError(click.ClickException):
    """Why the service cannot start, in one line."""

    exit_code = EXIT_FAILED


def serve(options: ServiceOptions, environ: Mapping[str, str]) -> int:
    """Run the service until interrupted; returns the exit status. What keeps it
    from starting is a `ServiceError`."""
    api_key, warning = api_key_from(options, environ)
    if warning:
        print(warning, file=sys.stderr, flush=True)
    if is_web_job_address(options.host):
        raise ServiceError(f"{options.host} lies in 127.1.0.0-127.254.255.255, which is kept for web jobs' pages")
    os.umask(0o077)  # everything the service creates is its owner's only
    make_undumpable()  # before any job starts
    try:
        sock = bind_socket(options.host, options.port)
    except OSError as exc:
        raise ServiceError(f"cannot listen on {options.host}:{options.port}: {exc.strerror or exc}") from None
    try:
        app = create_app(options.data_path, api_key, **app_options(options))
    except (DataDirInUse, ContainmentError) as exc:
        sock.close()
        raise ServiceError(str(exc)) from None
    except WRITE_ERRORS as exc:
        sock.close()
        if not is_disk_full(exc):
            raise
        raise ServiceError(f"the disk of the data dir {options.data_path} is full ({exc})") from None
    except BaseException:
        sock.close()
        raise
    port = sock.getsockname()[1]
    app.state.pages.serve_on(port)
    # Printed once the socket listens: scripts read this line to find a port chosen with --port 0.
    print(f"vexa devservice listening on http://{options.host}:{port}", flush=True)
    if options.simulate:
        print("Jobs are simulated: uploaded code is stored but never run.", flush=True)
    else:
        print(
            f"It runs uploaded code as the current user ({getpass.getuser()}): serve only code you trust.", flush=True
        )
        if not ipaddress.ip_address(sock.getsockname()[0]).is_loopback:
            print(f"Warning: {options.host} is reachable from other machines, and so is running code here.", flush=True)
        if ipaddress.ip_address(sock.getsockname()[0]).is_unspecified:
            print(
                "Web jobs' pages cannot be served while the service listens on every address: each needs an "
                "address of 127.0.0.0/8 of its own (use --host 127.0.0.1).",
                flush=True,
            )
        print(cast(ProcessRuns, cast(JobRunner, app.state.runner).way).containment_note, flush=True)
    print(f"Data: {options.data_path.absolute()}", flush=True)
    print(f"Dashboard: {dashboard_url(options.host, port, api_key)}", flush=True)
    server = _uvicorn_server(app, options.host, port, options.log_level)
    keep_secrets_out_of_logs(api_key)  # once uvicorn has set its loggers up
    try:
        server.run(sockets=[sock])
    finally:
        sock.close()
    return 0
