"""Stored code, asynchronously: the awaitable counterpart of `CodeClient`."""

from __future__ import annotations

from contextlib import asynccontextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, AsyncIterator, Callable, TypeVar

import httpx

from vexa.types import CodeInfo, CodeType, CodeZip, Job, JsonData

if TYPE_CHECKING:
    from vexa.client._async.client import AsyncClient

T = TypeVar("T")


def expand_into(model: Callable[..., T], value: Any) -> T:
    """`model(**value)` for a decoded JSON value, built as `CodeClient` builds it.

    JSON null is refused; any other value that is not an object goes through
    `dict()` first, so a list of pairs gives a model and other shapes fail
    with the `TypeError` or `ValueError` of that conversion.
    """
    if value is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    if not isinstance(value, dict):
        value = dict(value)
    return model(**value)


class AsyncCodeClient:
    """Upload, ingest, download, inspect and delete code stored on the service.

    The asynchronous counterpart of `vexa.Client(...).code`: get one from
    `vexa.AsyncClient(...).code` and await its methods.

    Every call sends through the parent's shared `httpx.AsyncClient` if it has
    one, and otherwise opens its own and closes it before it returns. An error status raises what the parent's `_get_http_exception`
    returns (an `HTTPException`); other errors pass through unchanged.
    """

    def __init__(self, client: AsyncClient) -> None:
        self._client = client

    def _url(self, path: str) -> str:
        # Read afresh at every call: a change to the parent is seen by the next request.
        return f"{self._client.base_url}{path}"

    @asynccontextmanager
    async def _http(self) -> AsyncIterator[httpx.AsyncClient]:
        """The parent's shared HTTP client, left open; else a fresh one, closed after.

        A fresh one gets the parent's TLS context as `verify=`, if it has one.
        """
        shared = getattr(self._client, "_http_client", None)
        if shared is not None:
            yield shared
            return
        context = getattr(self._client, "_ssl_context", None)
        async with httpx.AsyncClient() if context is None else httpx.AsyncClient(verify=context) as client:
            yield client

    async def _request(self, method: str, url: str, build: Callable[[httpx.Response], T], **kwargs: Any) -> T:
        """One request on the parent's HTTP client or a fresh one: send, check the status, build the result.

        An error status becomes the parent's HTTP exception, raised while the
        `httpx.HTTPStatusError` is handled (so that it is the context).
        """
        async with self._http() as client:
            try:
                response = await client.request(
                    method, url, headers=self._client.api_key_header, follow_redirects=False, **kwargs
                )
                response.raise_for_status()
                return build(response)
            except httpx.HTTPStatusError as e:
                raise self._client._get_http_exception(httpx_error=e)

    async def upload(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict[str, Any] | None = None,
    ) -> str:
        """Upload code.

        Args:
            code_zip (CodeZip): The code zip.
            code_name (str): The name of the code.
            code_type (CodeType): The type of the code.
            metadata (JsonData | dict | None): The JSON metadata of the code.

        Returns:
            str: The code ID.

        Raises:
            HTTPException: If the request fails.
        """
        url = self._url("/code/upload")
        files = self._client._prepare_files(code_zip=code_zip, metadata=metadata)
        data = {"code_name": code_name, "code_type": code_type}
        code_id = await self._request("POST", url, httpx.Response.json, files=files, data=data)
        if not isinstance(code_id, str):
            code_id = str(code_id)
        return code_id.strip()

    async def ingest(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict[str, Any] | None = None,
        build_pexenv: bool = False,
        pexenv_python: str | None = None,
    ) -> Job:
        """Starts a code ingestion job.

        Args:
            code_zip (CodeZip): The code zip.
            code_name (str): The name of the code.
            code_type (CodeType): The type of the code.
            metadata (JsonData | dict | None): The JSON metadata of the code.
            build_pexenv (bool): Whether to build the pex venv.
            pexenv_python (str | None): Python interpreter for the pex venv.

        Returns:
            Job: The code ingestion job.

        Raises:
            HTTPException: If the request fails.
        """
        url = self._url("/jobs/code/ingest")
        files = self._client._prepare_files(code_zip=code_zip, metadata=metadata)
        data = {
            "code_name": code_name,
            "code_type": code_type,
            "build_pexenv": bool(build_pexenv),
            "pexenv_python": pexenv_python,
        }
        return await self._request("POST", url, lambda r: expand_into(Job, r.json()), files=files, data=data)

    async def download(self, code_id: str, zip_path: Path | str | None = None) -> CodeZip:
        """Download code and optionally saves it to a file.

        Args:
            code_id (str): The code ID.
            zip_path (Path | str | None): The path to save the code zip file to.

        Returns:
            CodeZip: The downloaded code zip.

        Raises:
            HTTPException: If the request fails.
        """
        url = self._url(f"/code/{code_id}/download")
        async with self._http() as client:
            try:
                async with client.stream(
                    "GET", url, headers=self._client.api_key_header, follow_redirects=False
                ) as response:
                    zip_bytes = await self._client._handle_stream_download_async(response, zip_path)
            except httpx.HTTPStatusError as e:
                raise self._client._get_http_exception(httpx_error=e)
        return CodeZip(zip_bytes=zip_bytes)

    async def delete(self, code_id: str) -> str:
        """Deletes code by code_id.

        Args:
            code_id (str): The code ID.

        Returns:
            str: Confirmation message.

        Raises:
            HTTPException: If the request fails.
        """
        await self._request("DELETE", self._url(f"/code/{code_id}"), lambda r: None)
        return f"Code with id={code_id} deleted"

    async def get_info(self, code_id: str) -> CodeInfo:
        """Gets the code info.

        Args:
            code_id (str): The code ID.

        Returns:
            CodeInfo: The code info.

        Raises:
            HTTPException: If the request fails.
        """
        return await self._request("GET", self._url(f"/code/{code_id}/info"), lambda r: expand_into(CodeInfo, r.json()))

    async def list_info(self, code_type: CodeType | None = None) -> list[CodeInfo]:
        """Gets list of code infos.

        Args:
            code_type (CodeType | None): The type of code to list.

        Returns:
            list[CodeInfo]: The list of code infos.

        Raises:
            HTTPException: If the request fails.
        """
        # No query string at all, rather than an empty code_type, lists every type.
        params = {"code_type": code_type} if code_type else None
        return await self._request(
            "GET",
            self._url("/code/info"),
            lambda r: [expand_into(CodeInfo, item) for item in r.json()],
            params=params,
        )

    async def get_metadata(self, code_id: str) -> JsonData:
        """Gets code metadata.

        Args:
            code_id (str): The ID of the code.

        Returns:
            JsonData: The metadata.

        Raises:
            HTTPException: If the request fails.
        """
        return await self._request("GET", self._url(f"/code/{code_id}/metadata"), lambda r: JsonData(r.json()))
