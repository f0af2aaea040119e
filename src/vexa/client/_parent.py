"""The parent-client contract: what the client modules read from the parent
client a sub-client is built with.

Every sub-client of the client modules (`CodeClient`, `JobsClient`,
`AsyncJobsClient`, the web clients; compiled or pure Python) takes its parent
client as its one argument, keeps it as `_client`, and reads these members
from it again at every use: nothing is copied. `Client` implements
`ParentClient` and `AsyncClient` implements `AsyncParentClient`; any other
object with these members serves as well. The stubs type a sub-client's
parent with them, and the C++ names their members in one place,
`common/client/parent_members.h`, generated from this file.

`_http_client` and `_ssl_context` may be missing: the modules read them as
`getattr(parent, name, None)` does, and then a request opens an HTTP client of
its own with httpx's default TLS settings.
"""

from __future__ import annotations

import ssl
from pathlib import Path
from typing import TYPE_CHECKING, Any, Generic, Mapping, Protocol, TypeVar, runtime_checkable

import httpx

from vexa.types import CodeZip, JsonData

# Named in quotes below (the modules import this one): for the type checkers only.
if TYPE_CHECKING:
    from vexa.client._async._jobs import AsyncJobsClient  # noqa: F401
    from vexa.client._async.code import AsyncCodeClient  # noqa: F401
    from vexa.client._sync._code import CodeClient  # noqa: F401
    from vexa.client._sync._jobs import JobsClient  # noqa: F401

HTTPClientT = TypeVar("HTTPClientT", covariant=True)
JobsT = TypeVar("JobsT", covariant=True)
CodeT = TypeVar("CodeT", covariant=True)


class _Parent(Protocol, Generic[HTTPClientT, JobsT, CodeT]):
    """The members both kinds of parent have; what differs is a type parameter."""

    base_url: str  # the text every URL starts with; nothing is added or removed at the joint

    @property
    def api_key_header(self) -> Mapping[str, str]:
        """Sent unchanged as `headers=` with every request."""

    @property
    def _http_client(self) -> HTTPClientT | None:
        """The HTTP client every request goes through, if the parent shares one (may be missing)."""

    @property
    def _ssl_context(self) -> ssl.SSLContext | None:
        """Given as `verify=` to every HTTP client a request opens (may be missing)."""

    @property
    def jobs(self) -> JobsT:
        """The jobs client that the web clients and `await_healthy` call."""

    @property
    def code(self) -> CodeT:
        """The code client that the web clients call."""

    def _get_http_exception(self, httpx_error: httpx.HTTPStatusError) -> Exception:
        """What to raise in place of an error status (raised while `httpx_error` is handled)."""

    def _prepare_files(self, code_zip: CodeZip, metadata: JsonData | dict[str, Any] | None = None) -> Any:
        """The `files=` of an upload, an ingestion or a web run."""

    def get_proxy_url(self, job_id: str) -> str | None:
        """The URL through which the service forwards requests to a job."""

    def get_subdomain_proxy_url(self, job_id: str) -> str | None:
        """The URL of a web-page job's page."""


@runtime_checkable
class ParentClient(_Parent[httpx.Client, "JobsClient", "CodeClient"], Protocol):
    """What the synchronous modules read from their parent (`Client`)."""

    def _handle_stream_download(self, response: httpx.Response, zip_path: Path | str | None) -> bytes:
        """Checks the status of a streamed download, reads it, saves it to `zip_path` if given."""


@runtime_checkable
class AsyncParentClient(_Parent[httpx.AsyncClient, "AsyncJobsClient", "AsyncCodeClient"], Protocol):
    """What the asynchronous modules read from their parent (`AsyncClient`)."""

    async def _handle_stream_download_async(self, response: httpx.Response, zip_path: Path | str | None) -> bytes:
        """`ParentClient._handle_stream_download`, awaited."""
