"""What the synchronous and asynchronous parent clients share.

The sub-clients (compiled modules and `AsyncCodeClient`) reach everything here
through their parent client: `base_url`, `api_key_header`,
`_get_http_exception`, `_prepare_files`, the stream download helpers and
`_http_client`, the shared HTTP client if there is one, and `_ssl_context`,
the TLS context given to every HTTP client that a request opens.
"""

from __future__ import annotations

import io
import ipaddress
import json
import os
import ssl
import stat
import tempfile
import unicodedata
from pathlib import Path
from types import TracebackType
from typing import Any, BinaryIO, Generic, TypeVar
from urllib.parse import urlsplit

import httpx

from vexa._browser import web_job_address
from vexa.types import CodeZip, HTTPException, JsonData, http_exception_class

BASE_URL_ENV = "VEXA_BASE_URL"
API_KEY_ENV = "VEXA_API_KEY"
# The file name of an uploaded archive that has no name of its own.
UPLOAD_NAME = "code"
API_KEY_HEADER = "X-API-Key"

# Longest service error text kept in an exception; error pages can be large.
MAX_DETAIL_LENGTH = 500
REDACTED = "[REDACTED]"

# A multipart file part: (field, (file name, content, content type)).
UploadPart = tuple[str, tuple[str, "bytes | BinaryIO", str]]


def resolve_base_url(base_url: str | None) -> str:
    """The given base URL, else `VEXA_BASE_URL`; raise if neither is set."""
    resolved = base_url or os.environ.get(BASE_URL_ENV)
    if not resolved:
        raise ValueError(
            f"No base URL for the Vexa service: pass base_url=... or set the {BASE_URL_ENV} environment variable."
        )
    return resolved


def resolve_api_key(api_key: str | None) -> str | None:
    """The given API key, else `VEXA_API_KEY`, else None."""
    return api_key or os.environ.get(API_KEY_ENV) or None


def check_api_key(api_key: str | None) -> str | None:
    """The key unchanged if an HTTP header can carry it; else a `ValueError`.

    A key read from a file or a mounted secret often ends with a newline. Sent
    as it is, the HTTP library refuses it with an error that quotes the header
    value, so the key would end up in tracebacks and logs. The message here
    names the problem and never the key.
    """
    if api_key is None:
        return None
    if not isinstance(api_key, str):
        raise TypeError(f"The API key must be a str, not {type(api_key).__name__}")
    for position, character in enumerate(api_key):
        if unicodedata.category(character) == "Cc":
            raise ValueError(
                f"The API key contains a control character (U+{ord(character):04X} at "
                f"position {position}); remove line breaks and other control "
                f"characters, e.g. a trailing newline from a key file."
            )
        if not character.isascii():
            raise ValueError(
                f"The API key contains a non-ASCII character (at position {position}); "
                f"an HTTP header can carry only ASCII."
            )
    if api_key != api_key.strip(" "):
        raise ValueError("The API key starts or ends with a space; an HTTP header value cannot.")
    return api_key


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
    opens its own costs little more than one on a shared client.
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
        # Two threads may both make one at first; either serves, and the
        # later one is kept.
        context = self._made_ssl_context
        if context is None:
            context = self._made_ssl_context = create_ssl_context(self._verify)
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


# --- Errors -------------------------------------------------------------------


def get_http_exception(httpx_error: httpx.HTTPStatusError, api_key: str | None = None) -> HTTPException:
    """The `HTTPException` subclass instance that stands for an error response.

    The API key, whether given or found in the request's headers, is
    replaced in the URL and the detail; headers themselves are never kept.
    The new exception is raised while `httpx_error` is handled, so it becomes
    its context: `httpx_error` is redacted too (`redact_http_error`).
    """
    request = httpx_error.request
    response = httpx_error.response
    secrets = [api_key, request.headers.get(API_KEY_HEADER)]
    redact_http_error(httpx_error, secrets)
    exception_class = http_exception_class(response.status_code)
    return exception_class(
        status_code=response.status_code,
        method=request.method,
        url=_redact(str(request.url), secrets),
        detail=_redact(detail_from_body(_response_text(response)), secrets)[:MAX_DETAIL_LENGTH],
    )


def redact_http_error(httpx_error: httpx.HTTPStatusError, secrets: list[str | None]) -> None:
    """Replace each secret in the texts that `httpx_error` carries, in place.

    The error stays in the chain of the exception that replaces it (callers
    may look at its response), but a service can echo the key back, in a
    redirect's Location (which httpx quotes in the message) or in a body,
    and the request carries it in its headers. Redacted: the message
    (`args`), the request's URL and headers, the response's headers and,
    once read, its body.
    """
    if not any(secrets):
        return
    request = httpx_error.request
    response = httpx_error.response
    httpx_error.args = tuple(_redact(arg, secrets) if isinstance(arg, str) else arg for arg in httpx_error.args)
    request.url = httpx.URL(_redact(str(request.url), secrets))
    for headers in (request.headers, response.headers):
        _redact_headers(headers, secrets)
    try:
        content = response.content
    except httpx.ResponseNotRead:  # a streamed body never read holds no text
        return
    redacted = content
    for secret in secrets:
        if secret:
            redacted = redacted.replace(secret.encode("utf-8"), REDACTED.encode("ascii"))
    if redacted != content:
        # httpx keeps a read body as `_content` (and its decoded `_text`): the
        # response offers no public way to change them.
        response._content = redacted
        response.__dict__.pop("_text", None)


def _redact_headers(headers: httpx.Headers, secrets: list[str | None]) -> None:
    for name in set(headers.keys()):
        values = headers.get_list(name)
        redacted = [_redact(value, secrets) for value in values]
        if redacted != values:
            headers[name] = ", ".join(redacted)  # one header in place of repeated ones


def detail_from_body(text: str) -> str:
    """The `detail` member of a JSON object body, or else the body text."""
    try:
        document = json.loads(text)
    except ValueError:
        return text.strip()
    if not isinstance(document, dict) or "detail" not in document:
        return text.strip()
    detail = document["detail"]
    return detail if isinstance(detail, str) else json.dumps(detail)


def _response_text(response: httpx.Response) -> str:
    # A streamed response whose body was never read has no text to offer.
    try:
        return response.text
    except httpx.ResponseNotRead:
        return ""


def _redact(text: str, secrets: list[str | None]) -> str:
    for secret in secrets:
        if secret:
            text = text.replace(secret, REDACTED)
    return text


# --- Uploads ------------------------------------------------------------------


def prepare_files(code_zip: CodeZip, metadata: JsonData | dict[str, Any] | None = None) -> list[UploadPart]:
    """Multipart file parts for an upload: `code_zip` (as a file named after the
    archive's `name`, else "code.zip"), then `metadata` if given.

    The archive goes in as a reader over its bytes (which does not copy them):
    httpx then sends it in small pieces, while a `bytes` part would be handed
    to the socket whole, and the socket layer copies what remains after each
    partial send, which doubles the memory of a large upload.
    """
    file_name = f"{code_zip.name or UPLOAD_NAME}.zip"
    files: list[UploadPart] = [("code_zip", (file_name, io.BytesIO(code_zip.zip_bytes), "application/zip"))]
    if metadata is not None:
        if not isinstance(metadata, JsonData):
            metadata = JsonData(metadata)
        metadata_bytes = metadata.model_dump_json().encode("utf-8")
        files.append(("metadata", ("metadata.json", metadata_bytes, "application/json")))
    return files


# --- Downloads ----------------------------------------------------------------


class AtomicFileWriter:
    """Writes a file through a temporary sibling that replaces it when complete.

    If the block raises, the temporary file is removed and the target is left
    as it was: readers never see a partial file.
    """

    def __init__(self, path: Path | str) -> None:
        self.path = Path(path)
        self.temp_path: Path | None = None
        self._file: BinaryIO | None = None

    def __enter__(self) -> AtomicFileWriter:
        # Same directory as the target, so that os.replace is a rename.
        fd, temp_name = tempfile.mkstemp(dir=self.path.parent, prefix=f".{self.path.name}.", suffix=".part")
        self.temp_path = Path(temp_name)
        self._file = os.fdopen(fd, "w+b")
        return self

    def write(self, data: bytes) -> None:
        assert self._file is not None, "write() outside the with block"
        self._file.write(data)

    def read_back(self) -> bytes:
        """Everything written so far, read in one piece from the file."""
        assert self._file is not None, "read_back() outside the with block"
        self._file.flush()
        self._file.seek(0)
        return self._file.read()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        assert self._file is not None and self.temp_path is not None
        try:
            if exc_type is None:
                self._file.flush()
                os.fsync(self._file.fileno())
            self._file.close()
            if exc_type is None:
                # mkstemp creates the file private; give it the usual mode.
                os.chmod(self.temp_path, _target_mode(self.path))
                os.replace(self.temp_path, self.path)
                return
        except BaseException:
            self.temp_path.unlink(missing_ok=True)
            raise
        self.temp_path.unlink(missing_ok=True)


def _target_mode(path: Path) -> int:
    try:
        return stat.S_IMODE(path.stat().st_mode)
    except FileNotFoundError:
        return 0o644


def handle_stream_download(response: httpx.Response, zip_path: Path | str | None) -> bytes:
    """Read a streamed download, saving it atomically to `zip_path` if given.

    With a path, the chunks go straight to the file, which is read back once at
    the end: the archive is held in memory once, not once as chunks and once
    joined.

    Raises:
        httpx.HTTPStatusError: For an error status (the body is read first so
            that the error detail is available).
    """
    if not response.is_success:
        response.read()
        response.raise_for_status()
    if zip_path is None:
        return response.read()
    with AtomicFileWriter(zip_path) as writer:
        for chunk in response.iter_bytes():
            writer.write(chunk)
        return writer.read_back()


async def handle_stream_download_async(response: httpx.Response, zip_path: Path | str | None) -> bytes:
    """The asynchronous `handle_stream_download` (file writes block briefly)."""
    if not response.is_success:
        await response.aread()
        response.raise_for_status()
    if zip_path is None:
        return await response.aread()
    with AtomicFileWriter(zip_path) as writer:
        async for chunk in response.aiter_bytes():
            writer.write(chunk)
        return writer.read_back()
