"""The web-page clients `AsyncStoredWebClient`, `AsyncWebJobsClient` and `AsyncWebClient`,
and the synchronous ones derived from them.

How to read and change this file: docs/adding-a-method.md.
"""

# The module's imports, in the order it binds them (never sorted).
# isort: skip_file
from __future__ import annotations

from typing import TYPE_CHECKING, List

import httpx

from vexa.types import CodeInfo, CodeType, CodeZip, Job, JobStage, JobStatus, JobType, JsonData

if TYPE_CHECKING:
    from vexa.client._async import AsyncClient

from vexa.client._pure import _frame  # noqa: E402 - the twins' support, not an import of the module

from api import declare  # noqa: E402 - not an import of the module
from api.declare import MEMBER, Listing, http_client  # noqa: E402

declare.module("vexa.client._async._web", parent="AsyncParentClient", sync="vexa.client._sync._web")

# `list_queued` ... `list_post_running` of AsyncWebJobsClient: `self.list(<filter>=<member>)`.
# (Their "Returns:" entries spell the type "List" or "list", as the module always has.)
LISTINGS = [
    Listing("list_queued", 118, JobStatus.QUEUED, "Get all queued Web jobs.", "List[Job]: List of queued Web jobs."),
    Listing(
        "list_scheduled",
        126,
        JobStatus.SCHEDULED,
        "Get all scheduled Web jobs.",
        "List[Job]: List of scheduled Web jobs.",
    ),
    Listing(
        "list_started", 134, JobStatus.STARTED, "Get all started Web jobs.", "list[Job]: List of started Web jobs."
    ),
    Listing(
        "list_deferred", 142, JobStatus.DEFERRED, "Get all deferred Web jobs.", "List[Job]: List of deferred Web jobs."
    ),
    Listing(
        "list_canceled", 150, JobStatus.CANCELED, "Get all canceled Web jobs.", "List[Job]: List of canceled Web jobs."
    ),
    Listing(
        "list_stopped", 158, JobStatus.STOPPED, "Get all stopped Web jobs.", "List[Job]: List of stopped Web jobs."
    ),
    Listing("list_failed", 166, JobStatus.FAILED, "Get all failed Web jobs.", "list[Job]: List of failed Web jobs."),
    Listing(
        "list_finished", 174, JobStatus.FINISHED, "Get all finished Web jobs.", "list[Job]: List of finished Web jobs."
    ),
    Listing(
        "list_timed_out",
        182,
        JobStatus.TIMEOUT,
        "Get all timed out Web jobs.",
        "List[Job]: List of timed out Web jobs.",
    ),
    Listing(
        "list_pre_running",
        190,
        JobStage.PRE_RUNNING,
        "Get all pre-running Web jobs.",
        "List[Job]: List of pre-running Web jobs.",
    ),
    Listing("list_running", 198, JobStage.RUNNING, "Get all running Web jobs.", "List[Job]: List of running Web jobs."),
    Listing(
        "list_post_running",
        206,
        JobStage.POST_RUNNING,
        "Get all post-running Web jobs.",
        "List[Job]: List of post-running Web jobs.",
    ),
]


@declare.client(line=22)
class AsyncStoredWebClient:
    @declare.method(line=23, body="store_parent")
    def __init__(self, client: AsyncClient):
        self._client = client

    @declare.method(line=26, locals=["url", "client", "response", "e"], body="send_request", context="web::run_stored")
    async def run(self, code_id: str) -> Job:
        """Runs a stored Web page.

        Args:
            code_id (str): The code ID.

        Returns:
            Job: The created job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/code/{code_id}/run/web"
        async with http_client(parent) as client:
            try:
                response = await client.post(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                json = response.json()
                # A JSON object as it is; anything else as the compiled module takes it.
                return Job(**json) if type(json) is dict else _frame.expanded(Job, json)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=54, body="run_delegation", context="web::list_web_code")
    async def list_info(self) -> list[CodeInfo]:
        """List all stored Web code.

        Returns:
            list[CodeInfo]: List of Web code info.
        """
        return await self._client.code.list_info(code_type=CodeType.WEB)

    @declare.method(line=62, locals=["code_info"], body="delete_web_code")
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
        return await self._client.code.delete(code_id)


@declare.client(line=85)
class AsyncWebJobsClient:
    @declare.method(line=86, body="store_parent")
    def __init__(self, client):  # unannotated, as the module has it
        self._client = client

    @declare.method(line=89, body="run_delegation", context="web::list_web_jobs")
    async def list(self, job_status: JobStatus | None = None, job_stage: JobStage | None = None) -> List[Job]:
        """List Web jobs.

        Args:
            job_status (JobStatus | None): Filter by job status.
            job_stage (JobStage | None): Filter by job stage.

        Returns:
            list[Job]: List of Web jobs.
        """
        return await self._client.jobs.list(job_type=JobType.WEB, job_status=job_status, job_stage=job_stage)

    @declare.method(line=109, locals=["jobs"], body="latest_web_job")
    async def get_latest(self) -> Job | None:
        """Get the most recent Web job.

        Returns:
            Job | None: The most recent Web job, or None if no jobs exist.
        """
        jobs = await self.list()
        if jobs is None or not jobs:
            return None
        return jobs[0]

    @declare.listings(LISTINGS, body="run_shortcut")
    async def list_(self) -> List[Job]:
        """{summary}

        Returns:
            {returns}
        """
        return await self.list(FILTER=MEMBER)


@declare.client(line=215)
class AsyncWebClient:
    @declare.method(line=216, body="init_web_client")
    def __init__(self, client: AsyncClient):
        self._client = client
        self.stored = AsyncStoredWebClient(client)
        self.jobs = AsyncWebJobsClient(client)

    @declare.method(
        line=221, locals=["url", "files", "client", "response", "e"], body="send_request", context="web::run_zip"
    )
    async def run(self, code_zip: CodeZip) -> Job:
        """Runs a Web page from code zip.

        Args:
            code_zip (CodeZip): The code zip.

        Returns:
            Job: The created job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/code/run/web"
        files = parent._prepare_files(code_zip=code_zip)
        async with http_client(parent) as client:
            try:
                response = await client.post(url, headers=parent.api_key_header, follow_redirects=False, files=files)
                response.raise_for_status()
                json = response.json()
                # A JSON object as it is; anything else as the compiled module takes it.
                return Job(**json) if type(json) is dict else _frame.expanded(Job, json)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=252)
    def get_url(self, job_id: str) -> str:
        """Gets the URL for a Web page.

        Args:
            job_id (str): The job ID.

        Returns:
            str: The Web page URL.
        """
        return self._client.get_subdomain_proxy_url(job_id)

    @declare.method(line=263, body="run_delegation", context="web::upload_web_code")
    async def upload(self, code_zip: CodeZip, code_name: str, metadata: JsonData | dict | None = None) -> str:
        """Upload Web code.

        Args:
            code_zip (CodeZip): The code zip.
            code_name (str): The name of the code.
            metadata (JsonData | dict | None): The JSON metadata of the code.

        Returns:
            str: The code ID.
        """
        return await self._client.code.upload(
            code_zip=code_zip, code_name=code_name, code_type=CodeType.WEB, metadata=metadata
        )

    @declare.method(line=286, body="run_delegation", context="web::probe_web_page")
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

    @declare.method(line=300, body="run_delegation", context="web::await_web_page")
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

    @declare.method(line=317, body="run_delegation", context="web::ingest_web_code")
    async def ingest(
        self,
        code_zip: CodeZip,
        code_name: str,
        metadata: JsonData | dict | None = None,
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
