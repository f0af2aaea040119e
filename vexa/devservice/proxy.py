"""Forwards a request to a web job's app on 127.0.0.1, streaming both bodies."""

from __future__ import annotations

from typing import AsyncIterator

import httpx
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse

# Headers about one connection, not the message; never forwarded (RFC 9110, 7.6.1).
HOP_BY_HOP = frozenset(
    {"connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer", "transfer-encoding", "upgrade"}
)
# The app must not learn the service's API key; Host names the service, not the app.
NOT_FORWARDED = HOP_BY_HOP | {"host", "x-api-key", "content-length"} | {
    "x-forwarded-prefix", "x-forwarded-host", "x-forwarded-proto", "x-forwarded-for"
}


async def forward_to_app(request: Request, http: httpx.AsyncClient, port: int, prefix: str, path: str) -> Response:
    """Send the request to the app on `port` as `/path`; the app learns the rest from
    X-Forwarded-Prefix (`prefix`, where its pages are seen), -Host, -Proto and -For."""
    headers = [(name, value) for name, value in request.headers.items() if name not in NOT_FORWARDED]
    headers += [
        ("x-forwarded-prefix", prefix),
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
    response.raw_headers = [
        (name.encode("latin-1"), value.encode("latin-1"))
        for name, value in answer.headers.multi_items()
        if name.lower() not in HOP_BY_HOP
    ]
    return response
