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

from api import declare  # noqa: E402 - not an import of the module
from api.declare import Listing  # noqa: E402

declare.module("vexa.client._async._web", sync="vexa.client._sync._web")

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

    @declare.method(line=54, body="run_delegation", context="web::list_web_code")
    async def list_info(self) -> list[CodeInfo]:
        """List all stored Web code.

        Returns:
            list[CodeInfo]: List of Web code info.
        """

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

    @declare.method(line=109, locals=["jobs"], body="latest_web_job")
    async def get_latest(self) -> Job | None:
        """Get the most recent Web job.

        Returns:
            Job | None: The most recent Web job, or None if no jobs exist.
        """

    @declare.listings(LISTINGS, body="run_shortcut")
    async def list_(self) -> List[Job]:
        """{summary}

        Returns:
            {returns}
        """


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

    @declare.method(line=252)
    def get_url(self, job_id: str) -> str:
        """Gets the URL for a Web page.

        Args:
            job_id (str): The job ID.

        Returns:
            str: The Web page URL.
        """

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
