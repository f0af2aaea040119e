"""An httpx transport that counts the bytes of archives going up and down.

The command line gives it to `vexa.Client` and `vexa.AsyncClient` through
their public `http_client=` parameter: the requests stay the library's own,
and a progress bar sees every byte of an upload's body and of a zip download.
"""

from __future__ import annotations

from typing import AsyncIterator, Iterator, Protocol

import httpx

# Bodies that are counted: a multipart upload (code zip and metadata) and a zip download.
COUNTED_REQUEST_TYPE = "multipart/form-data"
COUNTED_RESPONSE_TYPE = "application/zip"


class ByteCounter(Protocol):
    """What is told of a counted body: `begin(total)` once (None: size unknown), then `advance(count)`."""

    def begin(self, total: int | None) -> None: ...

    def advance(self, count: int) -> None: ...


class Meter:
    """Where counted bodies are reported: to `counter` while one is set, else nowhere."""

    def __init__(self) -> None:
        self.counter: ByteCounter | None = None


class CountingStream(httpx.SyncByteStream, httpx.AsyncByteStream):
    """A body stream (sync or async) that reports each chunk as it passes."""

    def __init__(self, stream: httpx.SyncByteStream | httpx.AsyncByteStream, counter: ByteCounter) -> None:
        self._stream = stream
        self._counter = counter

    def __iter__(self) -> Iterator[bytes]:
        assert isinstance(self._stream, httpx.SyncByteStream)
        for chunk in self._stream:
            self._counter.advance(len(chunk))
            yield chunk

    async def __aiter__(self) -> AsyncIterator[bytes]:
        assert isinstance(self._stream, httpx.AsyncByteStream)
        async for chunk in self._stream:
            self._counter.advance(len(chunk))
            yield chunk

    def close(self) -> None:
        if isinstance(self._stream, httpx.SyncByteStream):
            self._stream.close()

    async def aclose(self) -> None:
        if isinstance(self._stream, httpx.AsyncByteStream):
            await self._stream.aclose()


def _length(headers: httpx.Headers) -> int | None:
    length = headers.get("content-length", "")
    return int(length) if length.isdigit() else None


def _count_request(meter: Meter, request: httpx.Request) -> None:
    counter = meter.counter
    if counter is not None and request.headers.get("content-type", "").startswith(COUNTED_REQUEST_TYPE):
        counter.begin(_length(request.headers))
        request.stream = CountingStream(request.stream, counter)


def _count_response(meter: Meter, response: httpx.Response) -> None:
    counter = meter.counter
    if (
        counter is not None
        and response.is_success
        and response.headers.get("content-type", "").startswith(COUNTED_RESPONSE_TYPE)
    ):
        counter.begin(_length(response.headers))
        response.stream = CountingStream(response.stream, counter)


class CountingTransport(httpx.BaseTransport):
    """httpx's own transport, with counted bodies reported to `meter`."""

    def __init__(self, meter: Meter, transport: httpx.BaseTransport | None = None) -> None:
        self.meter = meter
        self._transport = transport or httpx.HTTPTransport()

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        _count_request(self.meter, request)
        response = self._transport.handle_request(request)
        _count_response(self.meter, response)
        return response

    def close(self) -> None:
        self._transport.close()


class AsyncCountingTransport(httpx.AsyncBaseTransport):
    """The asynchronous `CountingTransport`."""

    def __init__(self, meter: Meter, transport: httpx.AsyncBaseTransport | None = None) -> None:
        self.meter = meter
        self._transport = transport or httpx.AsyncHTTPTransport()

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        _count_request(self.meter, request)
        response = await self._transport.handle_async_request(request)
        _count_response(self.meter, response)
        return response

    async def aclose(self) -> None:
        await self._transport.aclose()


__all__ = ["AsyncCountingTransport", "ByteCounter", "CountingTransport", "Meter"]
