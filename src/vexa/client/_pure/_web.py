"""The web-page clients in plain Python: the twin of the compiled `vexa.client._async._web`."""

# The imports bind their names in the compiled module's order: never sorted.
# isort: skip_file

from __future__ import annotations

from typing import TYPE_CHECKING, List

import httpx

from vexa.types import CodeInfo, CodeType, CodeZip, Job, JobStage, JobStatus, JobType, JsonData

if TYPE_CHECKING:
    from typing import Any

    from vexa.client._async import AsyncClient

from vexa.client._pure import _frame, _listings  # noqa: E402 - after the names the compiled module binds


class AsyncStoredWebClient:
    @_frame.method()
    def __init__(self, client: AsyncClient):  # no return annotation, as compiled
        self._client = client

    @_frame.method(code_id=_frame.STR)
    async def run(self, code_id: str) -> Job:
        """Runs a stored Web page.

        Args:
            code_id (str): The code ID.

        Returns:
            Job: The created job.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/code/{code_id}/run/web"
        async with _frame.http_client(self._client, httpx) as client:
            try:
                response = await client.post(url, headers=self._client.api_key_header)
                response.raise_for_status()
                return _frame.expanded(Job, response.json())  # type: ignore[no-any-return]
            except httpx.HTTPStatusError as e:
                raise self._client._get_http_exception(httpx_error=e)

    @_frame.method()
    async def list_info(self) -> list[CodeInfo]:
        """List all stored Web code.

        Returns:
            list[CodeInfo]: List of Web code info.
        """
        return _frame.expect_list(await self._client.code.list_info(code_type=CodeType.WEB))  # type: ignore[no-any-return]

    @_frame.method(code_id=_frame.STR)
    async def delete(self, code_id: str) -> str:
        """Delete stored Web code.

        Args:
            code_id (str): The code ID to delete.

        Returns:
            str: Deletion confirmation message.

        Raises:
            ValueError: If the code_id is not Web code.
        """
        code_info = await self._client.code.get_info(code_id)
        if code_info.code_type != CodeType.WEB:
            raise ValueError(
                f"Code '{code_id}' is {code_info.code_type}, not Web code. Cannot delete non-Web code from Web client."
            )
        return _frame.expect_str(await self._client.code.delete(code_id))  # type: ignore[no-any-return]


def _shortcut(name: str) -> Any:
    """The listing shortcut `_listings.WEB[name]`: `self.list(<filter>=<Enum>.<member>)`."""
    _, by_stage, member, summary, returns = _listings.WEB[name]

    async def shortcut(self: AsyncWebJobsClient) -> List[Job]:
        if by_stage:
            jobs = await self.list(job_stage=getattr(JobStage, member))
        else:
            jobs = await self.list(job_status=getattr(JobStatus, member))
        return _frame.expect_list(jobs)  # type: ignore[no-any-return]

    del shortcut.__annotations__["self"]  # compiled methods annotate no `self`
    shortcut.__doc__ = f"{summary}\n\nReturns:\n    {returns}"
    return _frame.method()(_frame.renamed(shortcut, name, f"AsyncWebJobsClient.{name}"))


class AsyncWebJobsClient:
    @_frame.method()
    def __init__(self, client):  # type: (Any) -> None  # unannotated at run time, as compiled
        self._client = client

    @_frame.method()
    async def list(self, job_status: JobStatus | None = None, job_stage: JobStage | None = None) -> List[Job]:
        """List Web jobs.

        Args:
            job_status (JobStatus | None): Filter by job status.
            job_stage (JobStage | None): Filter by job stage.

        Returns:
            list[Job]: List of Web jobs.
        """
        jobs = await self._client.jobs.list(job_type=JobType.WEB, job_status=job_status, job_stage=job_stage)
        return _frame.expect_list(jobs)  # type: ignore[no-any-return]

    @_frame.method()
    async def get_latest(self) -> Job | None:
        """Get the most recent Web job.

        Returns:
            Job | None: The most recent Web job, or None if no jobs exist.
        """
        jobs = await self.list()
        if jobs is None or not jobs:
            return None
        return jobs[0]

    list_queued = _shortcut("list_queued")
    list_scheduled = _shortcut("list_scheduled")
    list_started = _shortcut("list_started")
    list_deferred = _shortcut("list_deferred")
    list_canceled = _shortcut("list_canceled")
    list_stopped = _shortcut("list_stopped")
    list_failed = _shortcut("list_failed")
    list_finished = _shortcut("list_finished")
    list_timed_out = _shortcut("list_timed_out")
    list_pre_running = _shortcut("list_pre_running")
    list_running = _shortcut("list_running")
    list_post_running = _shortcut("list_post_running")


class AsyncWebClient:
    @_frame.method()
    def __init__(self, client: AsyncClient):  # no return annotation, as compiled
        self._client = client
        self.stored = AsyncStoredWebClient(client)
        self.jobs = AsyncWebJobsClient(client)

    @_frame.method()
    async def run(self, code_zip: CodeZip) -> Job:
        """Runs a Web page from code zip.

        Args:
            code_zip (CodeZip): The code zip.

        Returns:
            Job: The created job.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/code/run/web"
        files = self._client._prepare_files(code_zip=code_zip)
        async with _frame.http_client(self._client, httpx) as client:
            try:
                response = await client.post(url, headers=self._client.api_key_header, files=files)
                response.raise_for_status()
                return _frame.expanded(Job, response.json())  # type: ignore[no-any-return]
            except httpx.HTTPStatusError as e:
                raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR)
    def get_url(self, job_id: str) -> str:
        """Gets the URL for a Web page.

        Args:
            job_id (str): The job ID.

        Returns:
            str: The Web page URL.
        """
        return _frame.expect_str(self._client.get_subdomain_proxy_url(job_id))  # type: ignore[no-any-return]

    @_frame.method(code_name=_frame.STR)
    async def upload(self, code_zip: CodeZip, code_name: str, metadata: JsonData | dict | None = None) -> str:  # type: ignore[type-arg]
        """Upload Web code.

        Args:
            code_zip (CodeZip): The code zip.
            code_name (str): The name of the code.
            metadata (JsonData | dict | None): The JSON metadata of the code.

        Returns:
            str: The code ID.
        """
        code_id = await self._client.code.upload(
            code_zip=code_zip, code_name=code_name, code_type=CodeType.WEB, metadata=metadata
        )
        return _frame.expect_str(code_id)  # type: ignore[no-any-return]

    @_frame.method(job_id=_frame.STR)
    async def is_healthy(self, job_id: str) -> bool:
        """Checks whether launched Web page is healthy.

        Args:
            job_id (str): The ID of the Web page launch job.

        Returns:
            bool: True if Web page is healthy else False.

        Raises:
            HTTPException: If the request fails.
        """
        return await self._client.jobs.is_healthy(job_id=job_id)

    @_frame.method(job_id=_frame.STR, timeout=_frame.FLOAT)
    async def await_healthy(self, job_id: str, timeout: float | None = None) -> Job:
        """Waits for a Web page to become healthy.

        Args:
            job_id (str): The ID of the Web page run job.
            timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely.

        Returns:
            Job: The job object of the Web page run job.

        Raises:
            HTTPException: If the request fails.
            APIException: If the job enters stage POST_RUNNING unexpectedly.
            TimeoutError: If the timeout is exceeded.
        """
        return await self._client.jobs.await_healthy(job_id=job_id, timeout=timeout)

    @_frame.method(code_name=_frame.STR, build_pexenv=_frame.BOOL, pexenv_python=_frame.OPTIONAL_STR)
    async def ingest(
        self,
        code_zip: CodeZip,
        code_name: str,
        metadata: JsonData | dict | None = None,  # type: ignore[type-arg]
        build_pexenv: bool = False,
        pexenv_python: str | None = None,
    ) -> Job:
        """Ingest Web code.

        Args:
            code_zip (CodeZip): The code zip.
            code_name (str): The name of the code.
            metadata (JsonData | dict | None): The JSON metadata of the code.
            build_pexenv (bool): Whether to build the pex venv.
            pexenv_python: (str | None): Python interpreter for the pex venv.

        Returns:
            Job: The code ingestion job.
        """
        return await self._client.code.ingest(
            code_zip=code_zip,
            code_name=code_name,
            code_type=CodeType.WEB,
            metadata=metadata,
            build_pexenv=build_pexenv,
            pexenv_python=pexenv_python,
        )


# The compiled module does not bind it.
globals().pop("annotations", None)
