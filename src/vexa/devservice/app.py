"""Application factory: wires storage, job runner, routes, auth and JSON errors."""

from __future__ import annotations

import contextlib
import hmac
import os
import sqlite3
from pathlib import Path
from typing import AsyncIterator, Sequence

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.types import ASGIApp, Receive, Scope, Send

from .archive import ArchiveLimits
from .bodies import BodyLimits
from .codes import CodeStorage, private_dir
from .dashboard import install_dashboard
from .dashboard.access import is_navigation
from .dashboard.pages import error_page
from .jobs import EndNotSaved, JobRunner, JobTimings, RunStrategy
from .lock import DataDirLock
from .origins import WebPages
from .process import JobLimits, ProcessRuns
from .routes import build_routes, max_body_bytes
from .simulated import SimulatedRuns
from .storage import DATABASE_FILE, Database, is_disk_full

API_KEY_HEADER = b"x-api-key"  # ASGI lower-cases header names
UNAUTHORIZED_DETAIL = "Invalid or missing API key"
DISK_FULL_DETAIL = "The service's disk is full: the request was not carried out (free some space and try again)"


class ApiKeyMiddleware:
    """Rejects every HTTP request lacking the configured X-API-Key."""

    def __init__(self, app: ASGIApp, api_key: str) -> None:
        self.app = app
        self.expected = api_key.encode("latin-1")

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            provided = next((value for name, value in scope["headers"] if name == API_KEY_HEADER), None)
            if provided is None or not hmac.compare_digest(provided, self.expected):
                response = JSONResponse({"detail": UNAUTHORIZED_DETAIL}, status_code=401)
                await response(scope, receive, send)
                return
        await self.app(scope, receive, send)


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    if is_navigation(request.headers):  # a browser that opened an API URL: a page, not JSON
        return error_page(request, exc.status_code, str(exc.detail))
    return JSONResponse({"detail": exc.detail}, status_code=exc.status_code, headers=exc.headers)


async def _write_failed(request: Request, exc: Exception) -> Response:
    """507 for a write that failed for lack of space; anything else is the service's fault (500)."""
    cause = exc.cause if isinstance(exc, EndNotSaved) else exc
    if not is_disk_full(cause):
        raise exc
    detail = str(exc) if isinstance(exc, EndNotSaved) else DISK_FULL_DETAIL
    return JSONResponse({"detail": detail}, status_code=507)


async def _server_error(request: Request, exc: Exception) -> Response:
    # The server drops the connection after this answer (the request failed midway): say so.
    return JSONResponse(
        {"detail": f"Internal server error: {type(exc).__name__}"}, status_code=500, headers={"Connection": "close"}
    )


def create_app(
    data_dir: str | os.PathLike[str],
    api_key: str | None = None,
    *,
    simulate: bool = False,
    queue_seconds: float = 0.3,
    run_seconds: float = 1.0,
    output_lines: int = 5,
    keepalive_seconds: float = 1.0,
    job_limits: JobLimits | None = None,
    archive_limits: ArchiveLimits | None = None,
    containment: str = "auto",
    allowed_hosts: Sequence[str] = (),
) -> Starlette:
    """Build the service. `app.state.storage` and `app.state.runner` expose its parts.

    Jobs run their code for real unless `simulate` is true: then they only play
    out by the timings (`queue_seconds`, `run_seconds`, `output_lines`). How a
    real job's processes are held (`containment`): "namespace", "reaper", or
    "auto" for a namespace where the system allows one (see `jobinit.py`).

    The data dir (made absolute, created for its owner only) belongs to this
    app until its lifespan ends: another one on it raises `DataDirInUse`.

    It answers only at an IP address, `localhost` and the `allowed_hosts`.
    Web jobs' pages are served at addresses of their own once the server
    says where it listens (`app.state.pages.serve_on`).
    """
    # An existing folder keeps its mode: it may be one the user shares on purpose.
    data_path = private_dir(Path(data_dir).absolute(), tighten=False)
    lock = DataDirLock(data_path)
    try:
        database = Database(data_path / DATABASE_FILE)
        storage = CodeStorage(data_path, database, archive_limits)
    except BaseException:
        lock.release()
        raise
    timings = JobTimings(
        queue_seconds=queue_seconds,
        run_seconds=run_seconds,
        output_lines=output_lines,
        keepalive_seconds=keepalive_seconds,
    )
    try:
        way: RunStrategy = SimulatedRuns() if simulate else ProcessRuns(storage, job_limits, containment=containment)
        runner = JobRunner(data_path / "results", timings, database=database, storage=storage, way=way)
    except BaseException:
        database.close()
        lock.release()
        raise

    pages = WebPages(runner, api_key)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        await runner.start()
        try:
            yield
        finally:
            await pages.close()
            await runner.close()
            runner.store.close()
            database.close()
            lock.release()

    app = Starlette(
        routes=build_routes(),
        exception_handlers={
            HTTPException: _http_error,
            OSError: _write_failed,
            sqlite3.Error: _write_failed,
            EndNotSaved: _write_failed,
            Exception: _server_error,
        },
        lifespan=lifespan,
    )
    if api_key:
        app.add_middleware(ApiKeyMiddleware, api_key=api_key)
    install_dashboard(app, api_key, allowed_hosts)
    app.add_middleware(BodyLimits, max_bytes=max_body_bytes(storage.limits))  # outermost: every body
    app.state.pages = pages
    app.state.storage = storage
    app.state.runner = runner
    app.state.api_key = api_key
    return app
