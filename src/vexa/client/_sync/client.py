"""The synchronous parent client."""

from __future__ import annotations

import ssl
from pathlib import Path
from types import TracebackType

import httpx

from vexa.client._base import BaseClient
from vexa.client._files import handle_stream_download
from vexa.client._sync._code import CodeClient
from vexa.client._sync._jobs import JobsClient
from vexa.client._sync._web import WebClient


class Client(BaseClient[httpx.Client]):
    """Synchronous client for the Vexa service.

    Create one with `vexa.Client("http://127.0.0.1:8000", api_key="...")`, then
    call the methods of its sub-clients: `client.jobs.get(job_id)`. Each call
    blocks until its requests are done; no event loop is involved.

    Used as `with vexa.Client(...) as client:`, all requests of the block share
    one pooled `httpx.Client`, closed at the end of the block (or by `close()`).
    Otherwise each request opens and closes its own connection (with the
    one TLS context this client makes, so that this costs little).

    Args:
        base_url: The service URL, e.g. "http://127.0.0.1:8000". Defaults to
            the VEXA_BASE_URL environment variable; one of them is required.
        api_key: Sent as the X-API-Key header. Defaults to VEXA_API_KEY;
            without either, requests carry no key.
        http_client: An `httpx.Client` to send every request through. It is
            never closed here: its owner closes it.
        verify: TLS verification, as httpx's `verify`: True (the default CA
            bundle), False (none), the path of a CA bundle file or directory,
            or an `ssl.SSLContext`. The context is made once and serves
            every HTTP client this client opens.

    Attributes:
        jobs: Jobs: query, list, wait for, stream output, fetch results.
        code: Stored code: upload, list, inspect, download, delete, ingest.
        web: Web-page jobs: run, health, URL, listings, stored web code.
    """

    def __init__(
        self,
        base_url: str | None = None,
        api_key: str | None = None,
        *,
        http_client: httpx.Client | None = None,
        verify: ssl.SSLContext | str | bool = True,
    ) -> None:
        super().__init__(base_url=base_url, api_key=api_key, http_client=http_client, verify=verify)
        self.jobs = JobsClient(self)
        self.code = CodeClient(self)
        self.web = WebClient(self)

    def __enter__(self) -> Client:
        self._open_http_client(httpx.Client)
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def close(self) -> None:
        """Close the pooled HTTP client that `with` opened; a given one stays open."""
        http_client = self._release_http_client()
        if http_client is not None:
            http_client.close()

    def _handle_stream_download(self, response: httpx.Response, zip_path: Path | str | None) -> bytes:
        return handle_stream_download(response, zip_path)
