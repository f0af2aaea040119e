"""Web jobs' pages, each on an origin of its own.

The page of web job J is `http://{web_job_address(J)}:{port}/`: the
service's port at an address of the loopback block that only J has (see
`vexa._browser`). That is another host than the dashboard's, so another
site: the browser sends none of the dashboard's cookies with the page's
requests, the page can neither read nor set them, and whatever it keeps in
the browser (storage, caches, workers) stays with that address, which no
later job gets.

While J has not ended, the service listens at its address (a listener of its
own, which a service listening on every address, `--host 0.0.0.0`, cannot
have: there a web job fails, saying so); the listener answers for J's page
only, never for the service's routes, and closes when J ends. What it does
with a request:

- its `Host` must be J's address: a name some site points at this machine
  (DNS rebinding) is refused;
- a page of another origin (the dashboard's, another job's, any site) may
  only open it (a link followed, a frame): its other requests, reading or
  changing, are refused before the app sees them;
- with an API key, the page needs J's token (`web_job_token`) once, in
  `?token=`, traded for a cookie of J's address, or the key itself in
  X-API-Key; the token opens J's page and nothing else;
- a request for a service worker's script is refused, so no worker outlives
  the job; every session cookie of the service, the key and `X-Forwarded-*`
  are taken out before the app sees the request; a `Set-Cookie` of the
  service's cookie names and `Service-Worker-Allowed` are taken out of the
  app's answer.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
from typing import TYPE_CHECKING, Any, Iterator
from urllib.parse import parse_qsl, urlencode

import uvicorn
from starlette.datastructures import Headers
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import PlainTextResponse, RedirectResponse, Response, StreamingResponse
from starlette.types import Receive, Scope, Send

from vexa._browser import web_job_address, web_job_token
from vexa.types import JobStage, JobType

from .dashboard.access import (
    API_KEY_HEADER,
    COOKIE_PREFIX,
    CROSS_ORIGIN_REFUSED,
    NAVIGATION_METHODS,
    TOKEN_PARAMETER,
    cookie_name,
    cookie_values,
    host_name,
    is_cross_origin,
    is_navigation,
    locked_page,
    without_cookies,
    without_token,
)
from .proxy import forward_to_app

if TYPE_CHECKING:
    from .jobs import JobRunner

# A listener closing with its job lets requests in flight finish for this long.
CLOSE_SECONDS = 1
NO_PAGE_SESSION = "This browser has no session for this web job's page."
PAGE_ADVICE = (
    "Open it from the dashboard, or with <code>vexa web open JOB_ID</code>: both give the browser "
    "this page's own token."
)
WORKER_REFUSED = "Refused: a web job's page cannot register a service worker."


def _is_worker_script(headers: Headers) -> bool:
    # What browsers send for a service worker's script (and its updates).
    return headers.get("service-worker") == "script" or headers.get("sec-fetch-dest") == "serviceworker"


class WebPages:
    """Serves each web job's page at its own address; `app` is the ASGI app of every such address."""

    def __init__(self, runner: JobRunner, api_key: str | None) -> None:
        self.runner = runner
        self.api_key = api_key
        self.port: int | None = None
        self._listeners: dict[str, asyncio.Task[None]] = {}

    # ----- where pages are -----

    def serve_on(self, port: int) -> None:
        """Called once the service listens on `port`: pages are served from then on."""
        self.port = port

    def page_url(self, job_id: str, path: str = "", query: str = "") -> str:
        """The URL of the job's page (with its token where the service has a key)."""
        assert self.port is not None
        pairs = parse_qsl(query, keep_blank_values=True)
        if self.api_key:
            pairs = [(name, value) for name, value in pairs if name != TOKEN_PARAMETER]
            pairs.append((TOKEN_PARAMETER, web_job_token(self.api_key, job_id)))
        url = f"http://{web_job_address(job_id)}:{self.port}/{path.lstrip('/')}"
        return url + (f"?{urlencode(pairs)}" if pairs else "")

    # ----- listeners -----

    def open(self, job_id: str) -> None:
        """Listen at the address of a new web job's page until the job ends.

        Raises OSError when the address cannot be had (taken by another
        program, or a system whose loopback is 127.0.0.1 alone).
        """
        if self.port is None:
            return
        from .server import bind_socket  # the service's own way to bind

        sock = bind_socket(web_job_address(job_id), self.port)
        config = uvicorn.Config(
            self.app,
            log_config=None,  # the service's logging stays as it is
            lifespan="off",
            interface="asgi3",  # a bound method, which uvicorn would take for an ASGI 2 app
            ws="none",
            access_log=False,
            proxy_headers=False,
            timeout_graceful_shutdown=CLOSE_SECONDS,
        )
        server = _PageServer(config)
        self._listeners[job_id] = asyncio.get_running_loop().create_task(self._listen(job_id, server, sock))

    async def _listen(self, job_id: str, server: uvicorn.Server, sock: Any) -> None:
        serving = asyncio.ensure_future(server.serve(sockets=[sock]))
        try:
            job = self.runner.get(job_id)
            while job is not None and not job.ended and not self.runner.closing and not serving.done():
                changed = asyncio.ensure_future(job.changed.wait())
                await asyncio.wait({changed, serving}, return_when=asyncio.FIRST_COMPLETED)
                changed.cancel()
        finally:
            server.should_exit = True
            with contextlib.suppress(Exception):
                await asyncio.shield(serving)
            sock.close()
            self._listeners.pop(job_id, None)

    async def close(self) -> None:
        """Close every page's listener (the service is stopping)."""
        listeners = list(self._listeners.values())
        for listener in listeners:
            listener.cancel()
        await asyncio.gather(*listeners, return_exceptions=True)

    # ----- the pages' ASGI app -----

    async def app(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return
        response = await self._answer(scope, receive)
        await response(scope, receive, send)

    async def _answer(self, scope: Scope, receive: Receive) -> Response:
        response = await self._page_or_refusal(scope, receive)
        if not isinstance(response, StreamingResponse):  # the service's own answer, not the app's
            # Kept by no cache: a refusal or "ended" must not stand in for the page later, nor the reverse.
            response.headers["cache-control"] = "no-store"
        return response

    async def _page_or_refusal(self, scope: Scope, receive: Receive) -> Response:
        server = scope.get("server")
        address = server[0] if server else ""
        headers = Headers(scope=scope)
        if host_name(headers.get("host", "")) != address:
            return PlainTextResponse("Refused: this address answers only to its own name.", 403)
        job = self.runner.get(self.runner.pages.get(address, ""))
        if job is None or job.job_type != JobType.WEB:
            return PlainTextResponse("No web page at this address.", 404)
        if job.ended:
            return PlainTextResponse(f"The web job {job.job_id} has ended.", 410)
        if is_cross_origin(scope) and not (
            scope["method"] in NAVIGATION_METHODS and headers.get("sec-fetch-mode") == "navigate"
        ):
            return PlainTextResponse(CROSS_ORIGIN_REFUSED, 403)
        if _is_worker_script(headers):
            return PlainTextResponse(WORKER_REFUSED, 403)
        name = cookie_name(self.port)
        if self.api_key:
            token = web_job_token(self.api_key, job.job_id)
            given = dict(parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)).get(
                TOKEN_PARAMETER
            )
            if given is not None and scope["method"] in ("GET", "HEAD") and _same(given, token):
                return _enter(scope, name, token)
            key = self.api_key.encode("latin-1")
            if not (
                any(header == API_KEY_HEADER and hmac.compare_digest(value, key) for header, value in scope["headers"])
                or any(_same(value, token) for value in cookie_values(scope["headers"], name))
            ):
                if is_navigation(headers):
                    return locked_page(NO_PAGE_SESSION, PAGE_ADVICE)
                return PlainTextResponse("Invalid or missing API key", 401)
        way = self.runner.way
        http = getattr(way, "http", None)
        if job.port is None or job.job_stage != JobStage.RUNNING or http is None:
            return PlainTextResponse(f"The web app of job {job.job_id} is not serving yet.", 503)
        scope = {**scope, "headers": without_cookies(scope["headers"], COOKIE_PREFIX)}
        try:
            answer = await forward_to_app(Request(scope, receive), http, job.port, scope["path"].lstrip("/"))
        except HTTPException as failure:  # the app did not answer
            return PlainTextResponse(failure.detail, failure.status_code)
        answer.raw_headers = [(header, value) for header, value in answer.raw_headers if _kept(header, value)]
        return answer


def _kept(header: bytes, value: bytes) -> bool:
    """Whether a header of the app's answer may reach the browser."""
    name = header.lower()
    if name == b"service-worker-allowed":
        return False
    return not (name == b"set-cookie" and value.lstrip().startswith(COOKIE_PREFIX.encode()))


def _same(given: str, expected: str) -> bool:
    return hmac.compare_digest(given.encode("utf-8", "surrogateescape"), expected.encode("utf-8"))


def _enter(scope: Scope, name: str, token: str) -> Response:
    """The answer to the page's URL with its token: a session for this page, and the URL without it."""
    response = RedirectResponse(without_token(scope), status_code=303)  # kept by no cache: see _answer
    response.headers["referrer-policy"] = "no-referrer"
    # Lax, not Strict: the page is opened from the dashboard or a terminal, another site.
    response.set_cookie(name, token, httponly=True, samesite="lax", path="/")
    return response


class _PageServer(uvicorn.Server):
    """A page's listener: the service's own server handles the signals."""

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        yield
