"""`CodeClient` in plain Python: the twin of the compiled `vexa.client._sync._code`."""

# The imports bind their names in the compiled module's order: never sorted.
# isort: skip_file

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import httpx

from vexa.types import CodeInfo, CodeType, CodeZip, Job, JsonData

if TYPE_CHECKING:
    from vexa.client._sync import Client

from vexa.client._pure import _frame  # noqa: E402 - after the names the compiled module binds


class CodeClient:
    @_frame.method()
    def __init__(self, client: Client):  # no return annotation, as compiled
        self._client = client

    @_frame.method(code_name=_frame.STR)
    def upload(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict | None = None,  # type: ignore[type-arg]
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
        url = f"{self._client.base_url}/code/upload"
        files = self._client._prepare_files(code_zip=code_zip, metadata=metadata)
        data = {"code_name": code_name, "code_type": code_type}
        try:
            response = _frame.http_function(self._client, httpx, "post")(
                url, headers=self._client.api_key_header, files=files, data=data
            )
            response.raise_for_status()
            code_id = response.json()
            return _frame.expect_str((code_id if isinstance(code_id, str) else str(code_id)).strip())  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(code_id=_frame.STR)
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
        url = f"{self._client.base_url}/code/{code_id}/download"
        try:
            stream = _frame.http_function(self._client, httpx, "stream")
            with stream("GET", url, headers=self._client.api_key_header) as response:
                zip_bytes = self._client._handle_stream_download(response, zip_path)
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)
        return CodeZip(zip_bytes=zip_bytes)

    @_frame.method(code_id=_frame.STR)
    def delete(self, code_id: str) -> str:
        """Deletes code by code_id.

        Args:
            code_id (str): The code ID.

        Returns:
            str: Confirmation message.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/code/{code_id}"
        try:
            response = _frame.http_function(self._client, httpx, "delete")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return _frame.expect_str(f"Code with id={code_id} deleted")  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(code_id=_frame.STR)
    def get_info(self, code_id: str) -> CodeInfo:
        """Gets the code info.

        Args:
            code_id (str): The code ID.

        Returns:
            CodeInfo: The code info.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/code/{code_id}/info"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return _frame.expanded(CodeInfo, response.json())  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method()
    def list_info(self, code_type: CodeType | None = None) -> list[CodeInfo]:
        """Gets list of code infos.

        Args:
            code_type (CodeType | None): The type of code to list.

        Returns:
            list[CodeInfo]: The list of code infos.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/code/info"
        try:
            # Only a code type that is true filters; otherwise no query string at all.
            params = {"code_type": code_type} if code_type else None
            response = _frame.http_function(self._client, httpx, "get")(
                url, headers=self._client.api_key_header, params=params
            )
            response.raise_for_status()
            return _frame.expect_list(_frame.expanded_each(CodeInfo, response.json()))  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(code_id=_frame.STR)
    def get_metadata(self, code_id: str) -> JsonData:
        """Gets code metadata.

        Args:
            code_id (str): The ID of the code.

        Returns:
            JsonData: The metadata.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/code/{code_id}/metadata"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return JsonData(response.json())
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(code_name=_frame.STR, build_pexenv=_frame.BOOL, pexenv_python=_frame.OPTIONAL_STR)
    def ingest(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict | None = None,  # type: ignore[type-arg]
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
        url = f"{self._client.base_url}/jobs/code/ingest"
        files = self._client._prepare_files(code_zip=code_zip, metadata=metadata)
        data = {
            "code_name": code_name,
            "code_type": code_type,
            "build_pexenv": build_pexenv,
            "pexenv_python": pexenv_python,
        }
        try:
            response = _frame.http_function(self._client, httpx, "post")(
                url, headers=self._client.api_key_header, files=files, data=data
            )
            response.raise_for_status()
            return _frame.expanded(Job, response.json())  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)


# The compiled module does not bind it.
globals().pop("annotations", None)
