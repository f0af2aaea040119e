"""Browser access to the service: with an API key, and without one.

The service answers only at its own names: an IP address, `localhost` (and
names under it, which browsers keep on this machine) and the names given with
`--allowed-host`, never at an address kept for web jobs' pages. Any other
`Host` is a name some site may point at this machine for a moment (DNS
rebinding), and is refused whatever the request, with a key or without.

Pages of other origins (other sites, other ports, web jobs' pages) may only
open the service's pages as the top-level document (a link followed, a URL
opened): every other request of theirs, reading or changing, is refused.
Programs, which send neither `Origin` nor `Sec-Fetch-Site`, are not affected.

A browser cannot send the X-API-Key header. The service prints a dashboard URL
carrying `?token=` (derived from the key, see `vexa._browser`); opening any URL
of the service with a valid token sets a session cookie and redirects to the
same URL without the token, so it leaves the address bar and the history. The
cookie (HttpOnly, SameSite=Strict, of the host the dashboard was opened at)
opens the service's own pages; web jobs' pages live at other addresses, which
the browser never sends it to (see `vexa.devservice.origins`).

A request with the cookie goes on as if it carried the key: the header is
added here, so the key check itself stays in one place. API clients keep
sending the header and never meet any of this.
"""

from __future__ import annotations

import hmac
import ipaddress
from typing import Collection, Iterator
from urllib.parse import parse_qsl, quote, urlencode

from starlette.datastructures import Headers
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.types import ASGIApp, Receive, Scope, Send

from vexa._browser import browser_token, is_web_job_address

TOKEN_PARAMETER = "token"
COOKIE_PREFIX = "vexa_session"
API_KEY_HEADER = b"x-api-key"
NAVIGATION_METHODS = frozenset({"GET", "HEAD"})
FORM_TOKEN_MESSAGE = b"vexa dashboard form"

LOCKED_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>vexa dev service: key needed</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>body{{font:16px/1.5 system-ui,sans-serif;max-width:40rem;margin:4rem auto;padding:0 1rem;color:#222}}
code{{background:#f2f2f2;padding:0 .25rem;border-radius:3px}}</style></head>
<body><h1>This service needs its key</h1>
<p>{reason}</p>
<p>{advice}</p>
<p>Programs send the key in the <code>X-API-Key</code> header instead.</p>
</body></html>
"""
DASHBOARD_ADVICE = (
    "Open the dashboard link the service printed when it started: it carries the key's browser token "
    "(<code>http://HOST:PORT/?token=…</code>) and lets this browser in until it closes."
)
NO_SESSION = "This browser has no session for it yet, or the service now has another key."
CROSS_ORIGIN_REFUSED = "Refused: this request comes from a page of another origin."
HOST_NAME_REFUSED = (
    "Refused: this service answers only at an IP address, localhost or a name given with --allowed-host "
    "(http://127.0.0.1:PORT/), not at {host}."
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
    site: a page served on another port of 127.0.0.1 (a web job's app seen at
    its own port, any other local server) is stopped only here. A request
    that names no origin at all comes from a program, not from a page.
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


def host_name(host: str) -> str:
    """The name in a Host header, without its port or brackets, lower case."""
    if host.startswith("[") and "]" in host:  # [IPv6]:port
        name = host[1 : host.index("]")]
    else:
        name = host.rsplit(":", 1)[0] if host.count(":") == 1 else host
    return name.rstrip(".").lower()


def is_own_host(host: str, allowed: Collection[str] = ()) -> bool:
    """Whether a Host header names the service in a way no DNS answer can change:
    an IP address (not one kept for web pages), `localhost` or a name under it
    (browsers keep those local), or a name the service was given."""
    name = host_name(host)
    if not name:
        return False
    if name in allowed or name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return not is_web_job_address(name)


def refusal(scope: Scope, allowed_hosts: Collection[str] = ()) -> str | None:
    """Why the service refuses this request whoever sends it, if it does: a Host
    that is not one of its names, or a page of another origin that asks for
    more than to open a page of the service."""
    headers = Headers(scope=scope)
    host = headers.get("host", "")
    if not is_own_host(host, allowed_hosts):
        return HOST_NAME_REFUSED.format(host=repr(host_name(host)) if host else "no name")
    if is_cross_origin(scope) and not _is_top_level_navigation(scope["method"], headers):
        return CROSS_ORIGIN_REFUSED
    return None


def _is_top_level_navigation(method: str, headers: Headers) -> bool:
    # A frame is refused too: a page of another origin would show the dashboard inside its own.
    return (
        method in NAVIGATION_METHODS
        and headers.get("sec-fetch-mode") == "navigate"
        and headers.get("sec-fetch-dest", "document") == "document"
    )


def locked_page(reason: str, advice: str = DASHBOARD_ADVICE) -> Response:
    return HTMLResponse(
        LOCKED_PAGE.format(reason=reason, advice=advice),
        status_code=401,
        headers={"cache-control": "no-store", "referrer-policy": "no-referrer"},
    )


def is_navigation(headers: Headers) -> bool:
    """A browser opening a page (rather than a program calling the API)."""
    return headers.get("sec-fetch-mode") == "navigate" or "text/html" in headers.get("accept", "")


def without_token(scope: Scope) -> str:
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


def _cookie_pairs(value: bytes) -> Iterator[tuple[str, str, str]]:
    """(name, value, the pair as sent) of each cookie in a Cookie header."""
    for pair in value.decode("latin-1").split(";"):
        name, _, cookie_value = pair.strip().partition("=")
        if name:
            yield name, cookie_value, pair.strip()


def cookie_values(headers: list[tuple[bytes, bytes]], name: str) -> list[str]:
    """Every value sent for cookie `name`: a page of the same host may have added
    one of that name on another path, which must not hide the real one."""
    return [
        value
        for header, cookies in headers
        if header == b"cookie"
        for cookie, value, _ in _cookie_pairs(cookies)
        if cookie == name
    ]


def without_cookies(headers: list[tuple[bytes, bytes]], prefix: str) -> list[tuple[bytes, bytes]]:
    """The headers with every cookie whose name starts with `prefix` taken out."""
    kept: list[tuple[bytes, bytes]] = []
    for header, value in headers:
        if header != b"cookie":
            kept.append((header, value))
            continue
        others = [pair for name, _, pair in _cookie_pairs(value) if not name.startswith(prefix)]
        if others:
            kept.append((b"cookie", "; ".join(others).encode("latin-1")))
    return kept


class BrowserAccessMiddleware:
    """Keeps out what the service refuses from anyone (`refusal`); with a key,
    lets browsers in with the token and then the cookie, and wraps the key check."""

    def __init__(self, app: ASGIApp, api_key: str | None, allowed_hosts: Collection[str] = ()) -> None:
        self.app = app
        self.api_key = api_key.encode("latin-1") if api_key else None
        self.token = browser_token(api_key).encode("ascii") if api_key else None
        self.allowed_hosts = frozenset(host_name(host) for host in allowed_hosts)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        refused = refusal(scope, self.allowed_hosts)
        if refused is not None:
            await Response(refused, 403)(scope, receive, send)
            return
        if self.api_key is None or self.token is None:  # no key asked: nothing to let in
            await self.app(scope, receive, send)
            return
        server = scope.get("server")
        name = cookie_name(server[1] if server else None)
        cookies = cookie_values(scope["headers"], name)
        headers = without_cookies(scope["headers"], COOKIE_PREFIX)
        scope = {**scope, "headers": headers}
        token = dict(parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)).get(TOKEN_PARAMETER)
        if token is not None and scope["method"] in NAVIGATION_METHODS and self._valid(token):
            await self._enter(scope, name)(scope, receive, send)
            return
        if any(header == API_KEY_HEADER for header, _ in headers):
            await self.app(scope, receive, send)  # the key check decides
            return
        if any(self._valid(cookie) for cookie in cookies):
            # Another `token` parameter goes on untouched.
            scope["headers"] = [*headers, (API_KEY_HEADER, self.api_key)]
        elif is_navigation(Headers(scope=scope)):
            await locked_page(NO_SESSION if token is None else BAD_TOKEN)(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _valid(self, token: str) -> bool:
        assert self.token is not None
        return hmac.compare_digest(token.encode("utf-8", "surrogateescape"), self.token)

    def _enter(self, scope: Scope, name: str) -> Response:
        """The answer to a URL carrying the token: a session, and the same URL without it."""
        assert self.token is not None
        response = RedirectResponse(without_token(scope), status_code=303)
        response.headers["cache-control"] = "no-store"
        response.headers["referrer-policy"] = "no-referrer"
        response.set_cookie(name, self.token.decode("ascii"), httponly=True, samesite="strict", path="/")
        return response


__all__ = [
    "API_KEY_HEADER",
    "COOKIE_PREFIX",
    "CROSS_ORIGIN_REFUSED",
    "NAVIGATION_METHODS",
    "TOKEN_PARAMETER",
    "BrowserAccessMiddleware",
    "cookie_name",
    "cookie_values",
    "dashboard_url",
    "form_token",
    "host_name",
    "is_cross_origin",
    "is_navigation",
    "locked_page",
    "without_cookies",
    "without_token",
]
