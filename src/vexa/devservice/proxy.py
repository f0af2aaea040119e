"""Forwards a request to a web job's app on 127.0.0.1, streaming both bodies."""

from __future__ import annotations

from typing import AsyncIterator

import httpx
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse

# Headers about one connection, not the message; never forwarded (RFC 9110, 7.6.1).
HOP_BY_HOP = frozenset(
    {
        "connection",
        "keep-alive",
        "proxy-authenticate",
        "proxy-authorization",
        "te",
        "trailer",
        "transfer-encoding",
        "upgrade",
    }
)
# The app must not learn the service's API key; Host names the page's address, not the app.
# What a client says in Forwarded / X-Forwarded-* is not to be trusted: the service sets them.
NOT_FORWARDED = HOP_BY_HOP | {"host", "x-api-key", "content-length", "forwarded"}
FORWARDED_PREFIX = "x-forwarded-"
# uvicorn adds its own to every answer; the app's would make two.
SET_BY_SERVER = frozenset({"server", "date"})


def connection_named(headers: list[tuple[str, str]]) -> set[str]:
    """The header names that Connection headers list: hop-by-hop for this one connection (RFC 9110, 7.6.1)."""
    return {
        token.strip().lower()
        for name, value in headers
        if name.lower() == "connection"
        for token in value.split(",")
        if token.strip()
    }


async def forward_to_app(request: Request, http: httpx.AsyncClient, port: int, path: str) -> Response:
    """Send the request to the app on `port` as `/path`; the app learns the rest from
    X-Forwarded-Host, -Proto and -For."""
    incoming = request.headers.items()
    dropped = NOT_FORWARDED | connection_named(incoming)
    headers = [
        (name, value) for name, value in incoming if name not in dropped and not name.startswith(FORWARDED_PREFIX)
    ]
    headers += [
        ("x-forwarded-host", request.headers.get("host", "")),
        ("x-forwarded-proto", request.url.scheme),
        ("x-forwarded-for", request.client.host if request.client else ""),
    ]
    has_body = "content-length" in request.headers or "transfer-encoding" in request.headers
    if "content-length" in request.headers:
        headers.append(("content-length", request.headers["content-length"]))
    outgoing = http.build_request(
        request.method,
        httpx.URL(f"http://127.0.0.1:{port}/{path}", query=request.url.query.encode("latin-1") or None),
        headers=headers,
        content=request.stream() if has_body else None,
    )
    try:
        answer = await http.send(outgoing, stream=True)
    except httpx.HTTPError as exc:
        raise HTTPException(502, f"The web app did not answer: {type(exc).__name__}") from None

    async def body() -> AsyncIterator[bytes]:
        try:
            async for chunk in answer.aiter_raw():
                yield chunk
        finally:  # also when the caller hangs up midway
            await answer.aclose()

    response = StreamingResponse(body(), status_code=answer.status_code)
    # Raw pairs keep repeated headers such as Set-Cookie apart.
    answered = answer.headers.multi_items()
    dropped = HOP_BY_HOP | SET_BY_SERVER | connection_named(answered)
    response.raw_headers = [
        (name.encode("latin-1"), value.encode("latin-1")) for name, value in answered if name.lower() not in dropped
    ]
    return response
