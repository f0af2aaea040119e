"""`CodeClient`: the synchronous client for stored code.

How to read and change this file: docs/adding-a-method.md.
"""

# The module's imports, in the order it binds them (never sorted).
# isort: skip_file
from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import httpx

from vexa.types import CodeInfo, CodeType, CodeZip, Job, JsonData

if TYPE_CHECKING:
    from vexa.client._sync import Client

from vexa.client._pure import _frame  # noqa: E402 - the twins' support, not an import of the module

from api import declare  # noqa: E402 - not an import of the module
from api.declare import http_client  # noqa: E402

declare.module("vexa.client._sync._code", parent="ParentClient")


@declare.client(line=14)
class CodeClient:
    @declare.method(line=15, body="store_parent")
    def __init__(self, client: Client):
        self._client = client

    @declare.method(line=18, locals=["url", "files", "data", "response", "e"])
    def upload(
        self, code_zip: CodeZip, code_name: str, code_type: CodeType, metadata: JsonData | dict | None = None
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
        parent = self._client
        url = f"{parent.base_url}/code/upload"
        files = parent._prepare_files(code_zip=code_zip, metadata=metadata)
        data = {"code_name": code_name, "code_type": code_type}
        with http_client(parent) as client:
            try:
                response = client.post(
                    url, headers=parent.api_key_header, follow_redirects=False, files=files, data=data
                )
                response.raise_for_status()
                code_id = response.json()
                return (code_id if isinstance(code_id, str) else str(code_id)).strip()
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=53, locals=["url", "response", "zip_bytes", "e"])
    def download(self, code_id: str, zip_path: Path | str | None = None) -> CodeZip:
        """Download code and optionally saves it to a file.

        Args:
            code_id (str): The code ID.
            zip_path (Path | str | None): The path to save the code zip file to.

        Returns:
            CodeZip: The downloaded code zip.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/code/{code_id}/download"
        with http_client(parent) as client:
            try:
                with client.stream("GET", url, headers=parent.api_key_header, follow_redirects=False) as response:
                    zip_bytes = parent._handle_stream_download(response, zip_path)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)
        return CodeZip(zip_bytes=zip_bytes)

    @declare.method(line=78, locals=["url", "response", "e"], body="delete_")
    def delete(self, code_id: str) -> str:
        """Deletes code by code_id.

        Args:
            code_id (str): The code ID.

        Returns:
            str: Confirmation message.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/code/{code_id}"
        with http_client(parent) as client:
            try:
                response = client.delete(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return f"Code with id={code_id} deleted"
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=98, locals=["url", "response", "e"])
    def get_info(self, code_id: str) -> CodeInfo:
        """Gets the code info.

        Args:
            code_id (str): The code ID.

        Returns:
            CodeInfo: The code info.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/code/{code_id}/info"
        with http_client(parent) as client:
            try:
                response = client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                json = response.json()
                # A JSON object as it is; anything else as the compiled module takes it.
                return CodeInfo(**json) if type(json) is dict else _frame.expanded(CodeInfo, json)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=118, locals=["url", "params", "response", "e", "item"])
    def list_info(self, code_type: CodeType | None = None) -> list[CodeInfo]:
        """Gets list of code infos.

        Args:
            code_type (CodeType | None): The type of code to list.

        Returns:
            list[CodeInfo]: The list of code infos.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/code/info"
        # Only a code type that is true filters; otherwise no query string at all.
        params = {"code_type": code_type} if code_type else None
        with http_client(parent) as client:
            try:
                response = client.get(url, headers=parent.api_key_header, follow_redirects=False, params=params)
                response.raise_for_status()
                return [
                    CodeInfo(**item) if type(item) is dict else _frame.expanded(CodeInfo, item)
                    for item in response.json()
                ]
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=141, locals=["url", "response", "e"])
    def get_metadata(self, code_id: str) -> JsonData:
        """Gets code metadata.

        Args:
            code_id (str): The ID of the code.

        Returns:
            JsonData: The metadata.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/code/{code_id}/metadata"
        with http_client(parent) as client:
            try:
                response = client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return JsonData(response.json())
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=161, locals=["url", "files", "data", "response", "e"])
    def ingest(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict | None = None,
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
            pexenv_python: (str | None): Python interpreter for the pex venv.

        Returns:
            Job: The code ingestion job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/code/ingest"
        files = parent._prepare_files(code_zip=code_zip, metadata=metadata)
        data = {
            "code_name": code_name,
            "code_type": code_type,
            "build_pexenv": build_pexenv,
            "pexenv_python": pexenv_python,
        }
        with http_client(parent) as client:
            try:
                response = client.post(
                    url, headers=parent.api_key_header, follow_redirects=False, files=files, data=data
                )
                response.raise_for_status()
                json = response.json()
                # A JSON object as it is; anything else as the compiled module takes it.
                return Job(**json) if type(json) is dict else _frame.expanded(Job, json)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)
