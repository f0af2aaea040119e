"""The synchronous parent client."""

from __future__ import annotations

from pathlib import Path

import httpx

from vexa.client._common import BaseClient, handle_stream_download
from vexa.client._sync._code import CodeClient


class Client(BaseClient):
    """Synchronous client for the Vexa service.

    Create one with `vexa.Client("http://127.0.0.1:8000", api_key="...")`, then
    use its `code` attribute: `client.code.list_info()`.

    Args:
        base_url: The service URL, e.g. "http://127.0.0.1:8000". Defaults to
            the VEXA_BASE_URL environment variable; one of them is required.
        api_key: Sent as the X-API-Key header. Defaults to VEXA_API_KEY;
            without either, requests carry no key.

    Attributes:
        code: Stored code: upload, list, inspect, download, delete, ingest.
    """

    def __init__(self, base_url: str | None = None, api_key: str | None = None) -> None:
        super().__init__(base_url=base_url, api_key=api_key)
        self.code = CodeClient(self)

    def _handle_stream_download(
        self, response: httpx.Response, zip_path: Path | str | None
    ) -> bytes:
        return handle_stream_download(response, zip_path)
