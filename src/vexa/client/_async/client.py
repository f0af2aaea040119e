"""The asynchronous parent client."""

from __future__ import annotations

import ssl
from pathlib import Path
from types import TracebackType

import httpx

from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._async._web import AsyncWebClient
from vexa.client._async.code import AsyncCodeClient
from vexa.client._base import BaseClient
from vexa.client._files import handle_stream_download_async


class AsyncClient(BaseClient[httpx.AsyncClient]):
    """Asynchronous client for the Vexa service.

    Create one with `vexa.AsyncClient("http://127.0.0.1:8000", api_key="...")`,
    then await the methods of its sub-clients: `await client.jobs.get(job_id)`.

    Used as `async with vexa.AsyncClient(...) as client:`, all requests of the
    block share one pooled `httpx.AsyncClient`, closed at the end of the block
    (or by `aclose()`). Otherwise each request opens and closes its own, all
    with the one TLS context this client makes, so that this costs little.

    Args:
        base_url: The service URL, e.g. "http://127.0.0.1:8000". Defaults to
            the VEXA_BASE_URL environment variable; one of them is required.
        api_key: Sent as the X-API-Key header. Defaults to VEXA_API_KEY;
            without either, requests carry no key.
        http_client: An `httpx.AsyncClient` to send every request through. It
            is never closed here: its owner closes it.
        verify: TLS verification, as httpx's `verify`: True (the default CA
            bundle), False (none), the path of a CA bundle file or directory,
            or an `ssl.SSLContext`. The context is made once and serves
            every HTTP client this client opens.

    Attributes:
        jobs: Jobs: query, list, wait for, stream output, fetch results.
        code: Stored code, as `Client.code` but awaitable.
        web: Web-page jobs: run, health, URL, listings, stored web code.
    """

    def __init__(
        self,
        base_url: str | None = None,
        api_key: str | None = None,
        *,
        http_client: httpx.AsyncClient | None = None,
        verify: ssl.SSLContext | str | bool = True,
    ) -> None:
        super().__init__(base_url=base_url, api_key=api_key, http_client=http_client, verify=verify)
        self.jobs = AsyncJobsClient(self)
        self.code = AsyncCodeClient(self)
        self.web = AsyncWebClient(self)

    async def __aenter__(self) -> AsyncClient:
        self._open_http_client(httpx.AsyncClient)
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Close the pooled HTTP client that `async with` opened; a given one stays open."""
        http_client = self._release_http_client()
        if http_client is not None:
            await http_client.aclose()

    async def _handle_stream_download_async(self, response: httpx.Response, zip_path: Path | str | None) -> bytes:
        return await handle_stream_download_async(response, zip_path)
