"""Browser access to the service: with an API key, and without one.

A browser cannot send the X-API-Key header. The service prints a dashboard URL
carrying `?token=` (derived from the key, see `vexa._browser`); opening any URL
of the service with a valid token sets a session cookie and redirects to the
same URL without the token, so it leaves the address bar and the history. The
cookie then opens every page, the dashboard's and the web jobs' alike.

A request with the cookie goes on as if it carried the key: the header is
added here, so the key check itself stays in one place. The cookie is taken
out of the request on the way, so a web job's app never sees it. API clients
keep sending the header and never meet any of this.

Without a key, every program on the machine may use the service, but web
pages may not: a page of another origin cannot ask for changes (it could
otherwise upload code and run it), and a browser must reach the service by
an address or `localhost`, not a name that some site could point at this
machine for a moment (DNS rebinding). Programs, which send neither `Origin`
nor `Sec-Fetch-Site`, are not affected.
"""

from __future__ import annotations

import hmac
import ipaddress
from urllib.parse import parse_qsl, quote, urlencode

from starlette.datastructures import Headers
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.types import ASGIApp, Receive, Scope, Send

from vexa._browser import browser_token

TOKEN_PARAMETER = "token"
COOKIE_PREFIX = "vexa_session"
API_KEY_HEADER = b"x-api-key"
SAFE_METHODS = frozenset({"GET", "HEAD", "OPTIONS"})
FORM_TOKEN_MESSAGE = b"vexa dashboard form"

LOCKED_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>vexa dev service: key needed</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>body{{font:16px/1.5 system-ui,sans-serif;max-width:40rem;margin:4rem auto;padding:0 1rem;color:#222}}
code{{background:#f2f2f2;padding:0 .25rem;border-radius:3px}}</style></head>
<body><h1>This service needs its key</h1>
<p>{reason}</p>
<p>Open the dashboard link the service printed when it started: it carries the key's
browser token (<code>http://HOST:PORT/?token=…</code>) and lets this browser in until it closes.</p>
<p>Programs send the key in the <code>X-API-Key</code> header instead.</p>
</body></html>
"""
NO_SESSION = "This browser has no session for it yet, or the service now has another key."
CROSS_ORIGIN_REFUSED = "Refused: this request comes from a page of another origin."
HOST_NAME_REFUSED = (
    "Refused: without an API key this service takes browsers only at an IP address or localhost "
    "(http://127.0.0.1:PORT/), not at another host name."
)
BAD_TOKEN = "The token in this link is not the one of this service's key (was it restarted with another key?)."


def cookie_name(port: int | None) -> str:
    """Cookies do not tell ports apart: each service on a host keeps its own name."""
    return COOKIE_PREFIX if port is None else f"{COOKIE_PREFIX}_{port}"


def dashboard_url(host: str, port: int, api_key: str | None) -> str:
    """The URL that opens the dashboard of a service bound to `host`:`port` in a
    browser on this machine."""
    if host in ("", "0.0.0.0"):
        host = "127.0.0.1"
    elif host == "::":
        host = "[::1]"
    elif ":" in host:
        host = f"[{host}]"
    base_url = f"http://{host}:{port}"
    if not api_key:
        return f"{base_url}/"
    return f"{base_url}/?{urlencode({TOKEN_PARAMETER: browser_token(api_key)})}"


def form_token(api_key: str | None, secret: bytes) -> str:
    """The token the dashboard's forms carry: from the key if there is one (so it
    outlives a restart), else from `secret`, a random value of this run."""
    key = api_key.encode("utf-8") if api_key else secret
    return hmac.new(key, FORM_TOKEN_MESSAGE, "sha256").hexdigest()


def is_cross_origin(scope: Scope) -> bool:
    """Whether a browser says this request comes from a page of another origin.

    SameSite keeps cross-site pages out, but every port of a host is the same
    site: a page served on another port of 127.0.0.1 (a web job's app seen
    directly, any other local server) is stopped only here. A request that
    names no origin at all comes from a program, not from a page.
    """
    headers = Headers(scope=scope)
    fetch_site = headers.get("sec-fetch-site")
    if fetch_site is not None and fetch_site not in ("same-origin", "none"):
        return True
    origin = headers.get("origin")
    if origin is not None:
        own = f"{scope.get('scheme', 'http')}://{headers.get('host', '')}"
        return origin != own
    return False


def is_local_host(host: str) -> bool:
    """Whether a Host header names this machine in a way no DNS answer can change:
    an IP address, `localhost` or a name under it (browsers keep those local)."""
    if host.startswith("[") and "]" in host:  # [IPv6]:port
        name = host[1 : host.index("]")]
    else:
        name = host.rsplit(":", 1)[0] if host.count(":") == 1 else host
    name = name.rstrip(".").lower()
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


def keyless_refusal(scope: Scope) -> str | None:
    """Why a service without a key refuses this request, if it does: only
    requests a browser made are looked at (they name an origin or a fetch site)."""
    headers = Headers(scope=scope)
    if "sec-fetch-site" not in headers and "origin" not in headers:
        return None
    if not is_local_host(headers.get("host", "")):
        return HOST_NAME_REFUSED
    if scope["method"] not in SAFE_METHODS and is_cross_origin(scope):
        return CROSS_ORIGIN_REFUSED
    return None


def locked_page(reason: str) -> Response:
    return HTMLResponse(
        LOCKED_PAGE.format(reason=reason),
        status_code=401,
        headers={"cache-control": "no-store", "referrer-policy": "no-referrer"},
    )


def is_navigation(headers: Headers) -> bool:
    """A browser opening a page (rather than a program calling the API)."""
    return headers.get("sec-fetch-mode") == "navigate" or "text/html" in headers.get("accept", "")


def _without_token(scope: Scope) -> str:
    """The request's path and query without the token, as a same-origin relative URL."""
    raw_path = scope.get("raw_path")
    path = raw_path.decode("latin-1") if raw_path else quote(scope["path"])
    # "//host/..." would be read as another host: keep a path a path.
    path = "/" + path.lstrip("/")
    query = [
        (name, value)
        for name, value in parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)
        if name != TOKEN_PARAMETER
    ]
    return path + (f"?{urlencode(query)}" if query else "")


def _split_cookies(headers: list[tuple[bytes, bytes]], name: str) -> tuple[str | None, list[tuple[bytes, bytes]]]:
    """The value of cookie `name`, and the headers with that cookie taken out."""
    found: str | None = None
    kept: list[tuple[bytes, bytes]] = []
    for header, value in headers:
        if header != b"cookie":
            kept.append((header, value))
            continue
        others = []
        for pair in value.decode("latin-1").split(";"):
            key, _, cookie_value = pair.strip().partition("=")
            if key == name:
                found = cookie_value
            elif key:
                others.append(pair.strip())
        if others:
            kept.append((b"cookie", "; ".join(others).encode("latin-1")))
    return found, kept


class BrowserAccessMiddleware:
    """Lets browsers in with the token and then the cookie; wraps the API key check."""

    def __init__(self, app: ASGIApp, api_key: str | None) -> None:
        self.app = app
        self.api_key = api_key.encode("latin-1") if api_key else None
        self.token = browser_token(api_key).encode("ascii") if api_key else None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        if self.api_key is None or self.token is None:  # no key asked: nothing to let in, pages kept out
            refusal = keyless_refusal(scope)
            if refusal is not None:
                await Response(refusal, 403)(scope, receive, send)
                return
            await self.app(scope, receive, send)
            return
        server = scope.get("server")
        name = cookie_name(server[1] if server else None)
        cookie, headers = _split_cookies(list(scope["headers"]), name)
        scope = {**scope, "headers": headers}
        token = dict(parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)).get(TOKEN_PARAMETER)
        if token is not None and scope["method"] in ("GET", "HEAD") and self._valid(token):
            await self._enter(scope, name)(scope, receive, send)
            return
        if any(header == API_KEY_HEADER for header, _ in headers):
            await self.app(scope, receive, send)  # the key check decides
            return
        if cookie is not None and self._valid(cookie):
            if scope["method"] not in SAFE_METHODS and is_cross_origin(scope):
                await Response(CROSS_ORIGIN_REFUSED, 403)(scope, receive, send)
                return
            # Another `token` parameter (a web app's own) goes on untouched.
            scope["headers"] = [*headers, (API_KEY_HEADER, self.api_key)]
        elif is_navigation(Headers(scope=scope)):
            await locked_page(NO_SESSION if token is None else BAD_TOKEN)(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _valid(self, token: str) -> bool:
        assert self.token is not None
        return hmac.compare_digest(token.encode("utf-8"), self.token)

    def _enter(self, scope: Scope, name: str) -> Response:
        """The answer to a URL carrying the token: a session, and the same URL without it."""
        assert self.token is not None
        response = RedirectResponse(_without_token(scope), status_code=303)
        response.headers["cache-control"] = "no-store"
        response.headers["referrer-policy"] = "no-referrer"
        response.set_cookie(name, self.token.decode("ascii"), httponly=True, samesite="strict", path="/")
        return response


__all__ = [
    "BrowserAccessMiddleware",
    "cookie_name",
    "dashboard_url",
    "form_token",
    "is_cross_origin",
    "is_navigation",
]
