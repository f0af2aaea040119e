"""The library's clients, with uploads and downloads reported to a progress bar.

Every upload and download of `vexa.Client` and `vexa.AsyncClient` passes through
the parent-client helpers `_prepare_files` and `_handle_stream_download(_async)`;
overriding those lets a `Transfer` count the bytes without touching the requests.
"""

from __future__ import annotations

import io
from pathlib import Path
from typing import Any, AsyncIterator, BinaryIO, Callable, Iterator

import httpx

from vexa.cli.output import Transfer
from vexa.client import AsyncClient, Client
from vexa.types import CodeZip


class _CountingReader(io.BytesIO):
    """The bytes of an upload, reporting each chunk that httpx reads to send."""

    def __init__(self, data: bytes | BinaryIO, advance: Callable[[int], None]) -> None:
        super().__init__(data if isinstance(data, bytes) else data.read())
        self._advance = advance

    def read(self, size: int | None = -1) -> bytes:
        chunk = super().read(size)
        self._advance(len(chunk))
        return chunk


class _CountingStream(httpx.SyncByteStream, httpx.AsyncByteStream):
    """A response body stream, reporting each chunk as it is received."""

    def __init__(self, stream: Any, advance: Callable[[int], None]) -> None:
        self._stream = stream
        self._advance = advance

    def __iter__(self) -> Iterator[bytes]:
        for chunk in self._stream:
            self._advance(len(chunk))
            yield chunk

    async def __aiter__(self) -> AsyncIterator[bytes]:
        async for chunk in self._stream:
            self._advance(len(chunk))
            yield chunk

    def close(self) -> None:
        self._stream.close()

    async def aclose(self) -> None:
        await self._stream.aclose()


class _TransferHooks:
    """Overrides of the parent-client helpers through which every upload and
    download passes, so that a `Transfer` sees the bytes go by."""

    transfer: Transfer | None = None

    def _prepare_files(self, code_zip: CodeZip, metadata: Any = None) -> list[tuple[str, tuple[str, Any, str]]]:
        files: list[tuple[str, tuple[str, Any, str]]] = super()._prepare_files(  # type: ignore[misc]
            code_zip=code_zip, metadata=metadata
        )
        if self.transfer is None:
            return files
        self.transfer.begin(len(code_zip.zip_bytes))
        advance = self.transfer.advance
        return [
            (field, (name, _CountingReader(content, advance) if field == "code_zip" else content, content_type))
            for field, (name, content, content_type) in files
        ]

    def _count_download(self, response: httpx.Response) -> None:
        if self.transfer is None or not response.is_success:
            return
        length = response.headers.get("content-length", "")
        self.transfer.begin(int(length) if length.isdigit() else None)
        response.stream = _CountingStream(response.stream, self.transfer.advance)

    def _handle_stream_download(self, response: httpx.Response, zip_path: Path | str | None) -> bytes:
        self._count_download(response)
        return super()._handle_stream_download(response, zip_path)  # type: ignore[misc,no-any-return]

    async def _handle_stream_download_async(self, response: httpx.Response, zip_path: Path | str | None) -> bytes:
        self._count_download(response)
        return await super()._handle_stream_download_async(response, zip_path)  # type: ignore[misc,no-any-return]


class ProgressClient(_TransferHooks, Client):
    """`vexa.Client` whose uploads and downloads report to `transfer`."""

    def __init__(self, base_url: str, api_key: str | None, transfer: Transfer | None = None) -> None:
        super().__init__(base_url=base_url, api_key=api_key)
        self.transfer = transfer


class AsyncProgressClient(_TransferHooks, AsyncClient):
    """`vexa.AsyncClient` whose uploads and downloads report to `transfer`."""

    def __init__(self, base_url: str, api_key: str | None, transfer: Transfer | None = None) -> None:
        super().__init__(base_url=base_url, api_key=api_key)
        self.transfer = transfer
