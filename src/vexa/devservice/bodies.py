"""Every request body, whatever the route: within its size and in time, or the request ends.

A body must keep coming: no pause longer than `BODY_IDLE_SECONDS`, and, past
its first `BODY_IDLE_SECONDS`, at `BODY_MIN_RATE` bytes a second on average, so a
client that trickles a byte now and then cannot hold a request (and its spooled
upload) open for ever. An answer sent before the body has all arrived says
`Connection: close`: the rest of the body must not be read as the next request.
"""

from __future__ import annotations

import asyncio

from starlette.exceptions import HTTPException
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .constants import KIB

BODY_IDLE_SECONDS = 30.0
BODY_MIN_RATE = 64 * KIB
CLOSE = (b"connection", b"close")


def _has_body(scope: Scope) -> bool:
    for name, value in scope["headers"]:
        if name == b"transfer-encoding" or (name == b"content-length" and value.strip() not in (b"", b"0")):
            return True
    return False


def _declared_length(scope: Scope) -> int | None:
    value = next((value for name, value in scope["headers"] if name == b"content-length"), None)
    return int(value) if value is not None and value.isdigit() else None


class BodyLimits:
    """Caps every request body at `max_bytes` (413) and times it out as above (408)."""

    def __init__(self, app: ASGIApp, max_bytes: int) -> None:
        self.app = app
        self.max_bytes = max_bytes

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not _has_body(scope):
            await self.app(scope, receive, send)
            return
        loop = asyncio.get_running_loop()
        started = loop.time()
        received = 0
        complete = False
        too_large = f"request body is over the limit of {self.max_bytes} bytes"
        declared = _declared_length(scope)

        async def receive_limited() -> Message:
            nonlocal received, complete
            if complete:  # after the body only a disconnect can come: waiting for it is not timed
                return await receive()
            if declared is not None and declared > self.max_bytes:
                raise HTTPException(413, too_large)
            now = loop.time()
            idle_end = now + BODY_IDLE_SECONDS
            rate_end = started + BODY_IDLE_SECONDS + received / BODY_MIN_RATE
            try:
                message = await asyncio.wait_for(receive(), max(0.0, min(idle_end, rate_end) - now))
            except asyncio.TimeoutError:
                if idle_end <= rate_end:
                    detail = f"the request body did not arrive within {BODY_IDLE_SECONDS:g} seconds"
                else:
                    detail = f"the request body arrives too slowly (under {BODY_MIN_RATE} bytes a second)"
                raise HTTPException(408, detail) from None
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.max_bytes:
                    raise HTTPException(413, too_large)
                complete = not message.get("more_body", False)
            else:
                complete = True  # the client went away
            return message

        async def send_closing(message: Message) -> None:
            if message["type"] == "http.response.start" and not complete:
                message = {**message, "headers": [*message.get("headers", []), CLOSE]}
            await send(message)

        await self.app(scope, receive_limited, send_closing)
