"""`AsyncJobsClient`, and the synchronous `JobsClient` derived from it: the jobs clients.

How to read and change this file: docs/adding-a-method.md.
"""

# The module's imports, in the order it binds them (never sorted).
# isort: skip_file
from __future__ import annotations

import asyncio
import time
from pathlib import Path
from typing import TYPE_CHECKING, AsyncGenerator, List

import httpx

from vexa.types import VexaError, VexaException, CodeType, Job, JobResult, JobStage, JobStatus, JobType, StreamOutput

if TYPE_CHECKING:
    from vexa.client._async import AsyncClient

from vexa.client._pure import _frame  # noqa: E402 - the twins' support, not an import of the module

from api import declare  # noqa: E402 - not an import of the module
from api.declare import MEMBER, Listing, http_client  # noqa: E402

declare.module("vexa.client._async._jobs", parent="AsyncParentClient", sync="vexa.client._sync._jobs")

# `list_queued` ... `list_post_running`: `self.list(job_type=..., <filter>=<member>)`.
LISTINGS = [
    Listing("list_queued", 370, JobStatus.QUEUED, "Get all queued jobs.", "List[Job]: List of queued jobs."),
    Listing(
        "list_scheduled", 382, JobStatus.SCHEDULED, "Get all scheduled jobs.", "List[Job]: List of scheduled jobs."
    ),
    Listing("list_started", 394, JobStatus.STARTED, "Get all started jobs.", "List[Job]: List of started jobs."),
    Listing("list_deferred", 406, JobStatus.DEFERRED, "Get all deferred jobs.", "List[Job]: List of deferred jobs."),
    Listing("list_canceled", 418, JobStatus.CANCELED, "Get all canceled jobs.", "List[Job]: List of canceled jobs."),
    Listing("list_stopped", 430, JobStatus.STOPPED, "Get all stopped jobs.", "List[Job]: List of stopped jobs."),
    Listing("list_failed", 442, JobStatus.FAILED, "Get all failed jobs.", "List[Job]: List of failed jobs."),
    Listing("list_finished", 454, JobStatus.FINISHED, "Get all finished jobs.", "List[Job]: List of finished jobs."),
    Listing("list_timed_out", 466, JobStatus.TIMEOUT, "Get all timed out jobs.", "List[Job]: List of timed out jobs."),
    Listing(
        "list_pre_running",
        478,
        JobStage.PRE_RUNNING,
        "Get all pre-running jobs.",
        "List[Job]: List of pre-running jobs.",
    ),
    Listing("list_running", 490, JobStage.RUNNING, "Get all running jobs.", "List[Job]: List of running jobs."),
    Listing(
        "list_post_running",
        502,
        JobStage.POST_RUNNING,
        "Get all post-running jobs.",
        "List[Job]: List of post-running jobs.",
    ),
]


@declare.client(line=26)
class AsyncJobsClient:
    @declare.method(line=27, body="store_parent")
    def __init__(self, client: AsyncClient):
        self._client = client

    @declare.method(line=30, locals=["url", "client", "response", "e"], body="send_request", context="jobs::get_job")
    async def get(self, job_id: str) -> Job:
        """Gets a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            Job: The job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}"
        async with http_client(parent) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                json = response.json()
                # A JSON object as it is; anything else as the compiled module takes it.
                return Job(**json) if type(json) is dict else _frame.expanded(Job, json)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(
        line=51,
        locals=["params", "url", "client", "response", "e", "item"],
        body="send_request",
        context="jobs::list_jobs",
    )
    async def list(
        self, job_type: JobType | None = None, job_status: JobStatus | None = None, job_stage: JobStage | None = None
    ) -> List[Job]:
        """Gets a list of jobs.

        Args:
            job_type (JobType | None): Filter by job type.
            job_status (JobStatus | None): Filter by job status.
            job_stage (JobStage | None): Filter by job stage.

        Returns:
            list[Job]: List of jobs.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs"
        # The filters that are given, in order, as their text form; no query string when none is.
        params = {}
        if job_type is not None:
            params["job_type"] = str(job_type)
        if job_status is not None:
            params["job_status"] = str(job_status)
        if job_stage is not None:
            params["job_stage"] = str(job_stage)
        async with http_client(parent) as client:
            try:
                response = await client.get(
                    url, headers=parent.api_key_header, follow_redirects=False, params=params or None
                )
                response.raise_for_status()
                return [Job(**item) if type(item) is dict else _frame.expanded(Job, item) for item in response.json()]
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=89)
    async def get_url(self, job_id: str) -> str:
        """Gets the URL for a job.

        Args:
            job_id (str): The job ID.

        Returns:
            str: The job URL.
        """
        return self._client.get_proxy_url(job_id)

    @declare.method(
        line=100, locals=["url", "client", "response", "e"], body="send_request", context="jobs::get_job_status"
    )
    async def get_status(self, job_id: str) -> JobStatus:
        """Gets the status of a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            JobStatus: The status of the job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/status"
        async with http_client(parent) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return JobStatus(response.json())
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(
        line=121, locals=["url", "client", "response", "e"], body="send_request", context="jobs::get_job_stage"
    )
    async def get_stage(self, job_id: str) -> JobStage:
        """Gets the stage of a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            JobStage: The stage of the job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/stage"
        async with http_client(parent) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return JobStage(response.json())
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(
        line=142, locals=["url", "client", "response", "e"], body="send_request", context="jobs::get_job_error"
    )
    async def get_error(self, job_id: str) -> str | None:
        """Gets the error message of a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            str | None: The error message of the job, or None if no error.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/error"
        async with http_client(parent) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return response.json()
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(
        line=163, locals=["url", "client", "response", "e"], body="send_request", context="jobs::get_job_code_id"
    )
    async def get_code_id(self, job_id: str) -> str | None:
        """Gets the code ID associated with a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            str | None: The code ID associated with the job, or None if no code ID.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/code_id"
        async with http_client(parent) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return response.json()
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=184, locals=["url", "client", "response", "zip_bytes", "e"])
    async def get_result(self, job_id: str, zip_path: Path | str | None = None) -> JobResult:
        """Gets the result of a job and optionally saves it to a file.

        Args:
            job_id (str): The ID of the job.
            zip_path (Path | str | None): The path to save the result zip file.

        Returns:
            JobResult: The job result.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/result"
        async with http_client(parent) as client:
            try:
                async with client.stream("GET", url, headers=parent.api_key_header, follow_redirects=False) as response:
                    zip_bytes = await parent._handle_stream_download_async(response, zip_path)
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)
        return JobResult(zip_bytes=zip_bytes)

    @declare.method(
        line=214, locals=["url", "client", "response", "e"], body="send_request", context="jobs::terminate_job"
    )
    async def terminate(self, job_id: str) -> None:
        """Terminates a job.

        Args:
            job_id (str): The ID of the job.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/terminate"
        async with http_client(parent) as client:
            try:
                response = await client.post(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    @declare.method(line=232, locals=["url", "timeout", "client", "response", "line", "e"])
    async def stream_output(self, job_id: str, read_timeout: float | None = 60.0) -> AsyncGenerator[StreamOutput, None]:
        """Asynchronously yields stream output of a job line by line.

        Args:
            job_id (str): The ID of the job.
            read_timeout (float | None): Read timeout for the stream request.

        Yields:
            StreamOutput: Stream output line by line.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/stream"
        timeout = httpx.Timeout(connect=5.0, read=read_timeout, write=5.0, pool=5.0)
        async with http_client(parent) as client:
            async with client.stream(
                "GET", url, timeout=timeout, headers=parent.api_key_header, follow_redirects=False
            ) as response:
                # An error status is reported as the parent's HTTP exception, never read as output lines.
                if not response.is_success:
                    await response.aread()
                    try:
                        response.raise_for_status()
                    except httpx.HTTPStatusError as e:
                        raise parent._get_http_exception(httpx_error=e)
                async for line in response.aiter_lines():
                    if not line.strip():
                        continue
                    yield StreamOutput.model_validate_json(line)

    @declare.method(line=258, locals=["start_time", "job", "current_stage", "elapsed_time"])
    async def await_stage(
        self, job_id: str, timeout: float | None = None, stage: JobStage = JobStage.POST_RUNNING
    ) -> Job:
        """Waits for a job to reach a specific stage.

        Args:
            job_id (str): The ID of the job to wait for.
            timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely.
            stage (JobStage): The stage to wait for. Defaults to POST_RUNNING.

        Returns:
            Job: The final job object when the desired stage is reached.

        Raises:
            HTTPException: If the request fails.
            APIException: If the job enters stage POST_RUNNING unexpectedly.
            TimeoutError: If the timeout is exceeded.
        """
        start_time = time.time()
        while True:
            job = await self.get(job_id)
            current_stage = job.job_stage
            if stage == JobStage.RUNNING and current_stage == JobStage.POST_RUNNING:
                raise VexaException(error=VexaError.JOB_POST_RUNNING, message=f"Job {job_id} is in stage POST_RUNNING")
            if current_stage == stage or current_stage == JobStage.POST_RUNNING or current_stage == JobStage.UNKNOWN:
                return job
            if timeout is not None:
                elapsed_time = time.time() - start_time
                if elapsed_time >= timeout:
                    raise TimeoutError(f"Job {job_id} did not reach stage {stage} within {timeout} seconds")
            await asyncio.sleep(1)

    @declare.method(line=302, locals=["url", "client", "response"])
    async def is_healthy(self, job_id: str) -> bool:
        """Checks whether a runner job is healthy.

        Args:
            job_id (str): The ID of the runner job.

        Returns:
            bool: True if runner job is healthy else False.

        Raises:
            HTTPException: If the request fails.
        """
        parent = self._client
        url = f"{parent.base_url}/{job_id}/ping"
        healthy = False
        async with http_client(parent) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                healthy = response.status_code == 200
            except Exception:  # any failure of the probe means "not healthy"; cancellation is no Exception
                pass
        return healthy

    @declare.method(line=323, locals=["start_time", "job", "elapsed_time"])
    async def await_healthy(self, job_id: str, timeout: float | None = None) -> Job:
        """Waits for a runner job to become healthy.

        Args:
            job_id (str): The ID of the runner job.
            timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely.

        Returns:
            Job: The job object of the runner job.

        Raises:
            HTTPException: If the request fails.
            APIException: If the job enters stage POST_RUNNING unexpectedly.
            TimeoutError: If the timeout is exceeded.
        """
        start_time = time.time()
        while not await self.is_healthy(job_id=job_id):
            job = await self._client.jobs.get(job_id)
            if job.job_stage == JobStage.POST_RUNNING:
                raise VexaException(
                    error=VexaError.JOB_POST_RUNNING, message=f"Job {job_id} unexpectedly entered stage POST_RUNNING"
                )
            if timeout is not None:
                elapsed_time = time.time() - start_time
                if elapsed_time >= timeout:
                    raise TimeoutError(f"Job {job_id} did not become healthy within {timeout} seconds")
            await asyncio.sleep(1)
        return await self._client.jobs.get(job_id)

    @declare.method(line=357, locals=["job_type", "jobs"])
    async def get_latest(self, code_type: CodeType | None = None) -> Job | None:
        """Get the most recent job.

        Args:
            code_type (CodeType | None): Filter by code type.

        Returns:
            Job | None: The most recent job, or None if no jobs exist.
        """
        job_type = JobType.from_code_type(code_type) if code_type else None
        jobs = await self.list(job_type=job_type)
        return jobs[0] if jobs else None

    @declare.listings(LISTINGS, body="run_listing", locals=["job_type"])
    async def list_(self, code_type: CodeType | None = None) -> List[Job]:
        """{summary}

        Args:
            code_type (CodeType | None): Filter by code type.

        Returns:
            {returns}
        """
        job_type = JobType.from_code_type(code_type) if code_type else None
        return await self.list(job_type=job_type, FILTER=MEMBER)
