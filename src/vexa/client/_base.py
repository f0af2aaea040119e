"""What the synchronous and asynchronous parent clients share: `BaseClient`.

The sub-clients (compiled modules and `AsyncCodeClient`) reach all of it
through their parent client, as `vexa.client._parent` lists: `base_url`,
`api_key_header`, `_get_http_exception`, `_prepare_files`, the proxy URLs,
`_http_client` (the shared HTTP client if there is one) and `_ssl_context`
(the TLS context given to every HTTP client that a request opens).
"""

from __future__ import annotations

import ipaddress
import os
import ssl
from typing import Any, Generic, TypeVar
from urllib.parse import urlsplit

import httpx

from vexa._browser import web_job_address
from vexa.client._config import API_KEY_HEADER, check_api_key, resolve_api_key, resolve_base_url
from vexa.client._errors import get_http_exception
from vexa.client._files import UploadPart, prepare_files
from vexa.types import CodeZip, HTTPException, JsonData

HTTPClient = TypeVar("HTTPClient", httpx.Client, httpx.AsyncClient)


def create_ssl_context(verify: ssl.SSLContext | str | bool) -> ssl.SSLContext:
    """The TLS context that httpx would make for `verify=verify`.

    A CA path is loaded as httpx loads it (a directory as `capath`, anything
    else as `cafile`), without the warning newer httpx versions give for
    a path, since here the path is the documented form.
    """
    if isinstance(verify, str):
        if os.path.isdir(verify):
            return ssl.create_default_context(capath=verify)
        return ssl.create_default_context(cafile=verify)
    return httpx.create_ssl_context(verify=verify)


# The context of the clients whose requests are all plain HTTP: it verifies
# as the default does but trusts no authority, so that if one ever met a TLS
# server (a base URL changed to https:// while a pooled client is open), its
# certificate check would fail rather than pass.
PLAIN_HTTP_CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)


def default_verify(base_url: str) -> ssl.SSLContext | bool:
    """What the default `verify=True` stands for with `base_url`: for a plain
    `http://` URL, `PLAIN_HTTP_CONTEXT`, since no TLS is spoken and loading the
    system's certificate authorities (tens of milliseconds) would be for nothing."""
    return PLAIN_HTTP_CONTEXT if base_url.startswith("http://") else True


class BaseClient(Generic[HTTPClient]):
    """Configuration and helpers common to `Client` and `AsyncClient`.

    `_http_client` is the one place where sub-clients look for a shared HTTP
    client, at every request: None (the default) means that each request opens
    and closes its own. It holds either the client given as `http_client`,
    which its owner closes, or the pooled one that a `with` block opened, which
    the block closes.

    `_ssl_context` is the TLS context made from `verify` once, on first use,
    and given as `verify=` to every HTTP client opened here or by a request:
    making one is most of the cost of a new httpx client, so a request that
    opens its own costs little more than one on a shared client. With the
    default `verify` and a plain `http://` base URL it is `PLAIN_HTTP_CONTEXT`
    (see `default_verify`).
    """

    def __init__(
        self,
        base_url: str | None = None,
        api_key: str | None = None,
        *,
        http_client: HTTPClient | None = None,
        verify: ssl.SSLContext | str | bool = True,
    ) -> None:
        self.base_url = resolve_base_url(base_url)
        self.api_key = resolve_api_key(api_key)
        self._http_client: HTTPClient | None = http_client
        self._owns_http_client = False
        self._verify = verify
        self._made_ssl_context: ssl.SSLContext | None = None

    @property
    def _ssl_context(self) -> ssl.SSLContext:
        verify = self._verify
        if verify is True:
            # Read at every request: the base URL may have changed since the last.
            verify = default_verify(self.base_url)
            if isinstance(verify, ssl.SSLContext):
                return verify
        # Two threads may both make one at first; either serves, and the
        # later one is kept.
        context = self._made_ssl_context
        if context is None:
            context = self._made_ssl_context = create_ssl_context(verify)
        return context

    def _open_http_client(self, http_client_class: type[HTTPClient]) -> None:
        # A client given by the caller is used as it is; a second `with` on
        # the same parent keeps the pooled client already open.
        if self._http_client is None:
            self._http_client = http_client_class(verify=self._ssl_context)
            self._owns_http_client = True

    def _release_http_client(self) -> HTTPClient | None:
        """The pooled client to close, detached from the parent; None if not ours."""
        if not self._owns_http_client:
            return None
        http_client, self._http_client = self._http_client, None
        self._owns_http_client = False
        return http_client

    @property
    def api_key(self) -> str | None:
        """The key sent as the X-API-Key header, or None."""
        return self._api_key

    @api_key.setter
    def api_key(self, api_key: str | None) -> None:
        # Checked on every assignment, not only in __init__, so that a key set
        # later cannot reach the HTTP layer unchecked either.
        self._api_key = check_api_key(api_key)

    @property
    def api_key_header(self) -> dict[str, str]:
        """Headers that authenticate a request; empty without an API key."""
        if self.api_key is None:
            return {}
        return {API_KEY_HEADER: self.api_key}

    def __repr__(self) -> str:
        api_key = "<set>" if self.api_key else "None"
        return f"{type(self).__name__}(base_url={self.base_url!r}, api_key={api_key})"

    def _get_http_exception(self, httpx_error: httpx.HTTPStatusError) -> HTTPException:
        return get_http_exception(httpx_error, api_key=self.api_key)

    def _prepare_files(self, code_zip: CodeZip, metadata: JsonData | dict[str, Any] | None = None) -> list[UploadPart]:
        return prepare_files(code_zip=code_zip, metadata=metadata)

    def get_proxy_url(self, job_id: str) -> str:
        """The URL through which the service forwards requests to a job.

        The form is "{base_url}/{job_id}", except on an IP address or
        "localhost" (the local service): there each web job's page has an
        origin of its own, "{scheme}://{address}[:{port}]", the service's port
        at the loopback address of that job (`vexa._browser.web_job_address`),
        e.g. "http://127.83.2.41:8000".
        """
        origin = _local_page_origin(self.base_url, job_id)
        return origin if origin is not None else f"{self.base_url}/{job_id}"

    def get_subdomain_proxy_url(self, job_id: str) -> str:
        """The URL of a web-page job's page.

        On a named service host the page has its own subdomain:
        "{scheme}://{job_id}.{host}[:{port}]/", taken from `base_url` with any
        path, query and credentials left out; e.g. job "abc" on
        "https://vexa.example.com/api" gives "https://abc.vexa.example.com/".
        An IP address or "localhost" has no subdomains that resolve, so there
        (the local service) the page is at the job's own loopback address,
        `get_proxy_url` with a slash: "http://127.83.2.41:8000/".
        """
        parts = urlsplit(str(self.base_url))
        if not parts.scheme or not parts.hostname:
            raise ValueError(f"Base URL {self.base_url!r} has no scheme or host")
        if _has_no_subdomains(parts.hostname):
            return self.get_proxy_url(job_id) + "/"
        port = f":{parts.port}" if parts.port is not None else ""
        return f"{parts.scheme}://{job_id}.{parts.hostname}{port}/"


def _local_page_origin(base_url: str, job_id: str) -> str | None:
    """The origin of a web job's page on a service at an IP address or "localhost"; else None."""
    try:
        parts = urlsplit(str(base_url))
        port = parts.port
    except ValueError:
        return None
    if not parts.scheme or not parts.hostname or not _has_no_subdomains(parts.hostname):
        return None
    return f"{parts.scheme}://{web_job_address(job_id)}" + (f":{port}" if port is not None else "")


def _has_no_subdomains(hostname: str) -> bool:
    if hostname == "localhost":
        return True
    try:
        ipaddress.ip_address(hostname)
    except ValueError:
        return False
    return True
