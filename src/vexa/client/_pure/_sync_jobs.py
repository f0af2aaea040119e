"""`JobsClient` in plain Python: the twin of the compiled `vexa.client._sync._jobs`."""

# The imports bind their names in the compiled module's order: never sorted.
# isort: skip_file

from __future__ import annotations

import time
from pathlib import Path
from typing import TYPE_CHECKING, Generator, List

import httpx

from vexa.types import (
    VexaError,
    VexaException,
    CodeType,
    Job,
    JobResult,
    JobStage,
    JobStatus,
    JobType,
    StreamOutput,
)

if TYPE_CHECKING:
    from typing import Any

    from vexa.client._sync import Client

from vexa.client._pure import _frame, _listings  # noqa: E402 - after the names the compiled module binds


def _listing(name: str) -> Any:
    """The listing shortcut `_listings.JOBS[name]`: `self.list(job_type=..., <filter>=<Enum>.<member>)`."""
    _, by_stage, member, summary, returns = _listings.JOBS[name]

    def listing(self: JobsClient, code_type: CodeType | None = None) -> List[Job]:
        job_type = JobType.from_code_type(code_type) if code_type else None
        if by_stage:
            jobs = self.list(job_type=job_type, job_stage=getattr(JobStage, member))
        else:
            jobs = self.list(job_type=job_type, job_status=getattr(JobStatus, member))
        return _frame.expect_list(jobs)  # type: ignore[no-any-return]

    del listing.__annotations__["self"]  # compiled methods annotate no `self`
    listing.__doc__ = (
        f"{summary}\n\nArgs:\n    code_type (CodeType | None): Filter by code type.\n\nReturns:\n    {returns}"
    )
    return _frame.method()(_frame.renamed(listing, name, f"JobsClient.{name}"))


class JobsClient:
    @_frame.method()
    def __init__(self, client: Client):  # no return annotation, as compiled
        self._client = client

    @_frame.method(job_id=_frame.STR)
    def get(self, job_id: str) -> Job:
        """Gets a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            Job: The job.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return _frame.expanded(Job, response.json())  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method()
    def list(
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
        url = f"{self._client.base_url}/jobs"
        # Filters that are given, in order, as their text form; None when none is.
        params: dict[str, str] | None = {}
        for key, value in (("job_type", job_type), ("job_status", job_status), ("job_stage", job_stage)):
            if value is not None:
                params[key] = str(value)  # type: ignore[index]
        try:
            response = _frame.http_function(self._client, httpx, "get")(
                url, headers=self._client.api_key_header, params=params or None
            )
            response.raise_for_status()
            return _frame.expect_list(_frame.expanded_each(Job, response.json()))  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR)
    def get_url(self, job_id: str) -> str:
        """Gets the URL for a job.

        Args:
            job_id (str): The job ID.

        Returns:
            str: The job URL.
        """
        return _frame.expect_str(self._client.get_proxy_url(job_id))  # type: ignore[no-any-return]

    @_frame.method(job_id=_frame.STR)
    def get_status(self, job_id: str) -> JobStatus:
        """Gets the status of a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            JobStatus: The status of the job.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/status"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return JobStatus(response.json())
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR)
    def get_stage(self, job_id: str) -> JobStage:
        """Gets the stage of a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            JobStage: The stage of the job.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/stage"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return JobStage(response.json())
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR)
    def get_error(self, job_id: str) -> str | None:
        """Gets the error message of a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            str | None: The error message of the job, or None if no error.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/error"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return _frame.expect_str(response.json())  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR)
    def get_code_id(self, job_id: str) -> str | None:
        """Gets the code ID associated with a job.

        Args:
            job_id (str): The ID of the job.

        Returns:
            str | None: The code ID associated with the job, or None if no code ID.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/code_id"
        try:
            response = _frame.http_function(self._client, httpx, "get")(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return _frame.expect_str(response.json())  # type: ignore[no-any-return]
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR)
    def get_result(self, job_id: str, zip_path: Path | str | None = None) -> JobResult:
        """Gets the result of a job and optionally saves it to a file.

        Args:
            job_id (str): The ID of the job.
            zip_path (Path | str | None): The path to save the result zip file.

        Returns:
            JobResult: The job result.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/result"
        try:
            stream = _frame.http_function(self._client, httpx, "stream")
            with stream("GET", url, headers=self._client.api_key_header) as response:
                zip_bytes = self._client._handle_stream_download(response, zip_path)
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)
        return JobResult(zip_bytes=zip_bytes)

    @_frame.method(job_id=_frame.STR)
    def terminate(self, job_id: str) -> None:
        """Terminates a job.

        Args:
            job_id (str): The ID of the job.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/terminate"
        try:
            response = _frame.http_function(self._client, httpx, "post")(url, headers=self._client.api_key_header)
            response.raise_for_status()
        except httpx.HTTPStatusError as e:
            raise self._client._get_http_exception(httpx_error=e)

    @_frame.method(job_id=_frame.STR, read_timeout=_frame.FLOAT)
    def stream_output(self, job_id: str, read_timeout: float | None = 60.0) -> Generator[StreamOutput, None, None]:
        """Yields stream output of a job line by line.

        Args:
            job_id (str): The ID of the job.
            read_timeout (float | None): Read timeout for the stream request.

        Yields:
            StreamOutput: Stream output line by line.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/jobs/{job_id}/stream"
        timeout = httpx.Timeout(connect=5.0, read=read_timeout, write=5.0, pool=5.0)
        stream = _frame.http_function(self._client, httpx, "stream")
        # Closing the generator at a yield (close(), or its collection) leaves this
        # block, which closes the response and the client httpx.stream opened for it.
        with stream("GET", url, timeout=timeout, headers=self._client.api_key_header) as response:
            # An error status is reported as the parent's HTTP exception, never read as output lines.
            if not response.is_success:
                response.read()
                try:
                    response.raise_for_status()
                except httpx.HTTPStatusError as e:
                    raise self._client._get_http_exception(httpx_error=e)
            for line in response.iter_lines():
                if not line.strip():
                    continue
                yield StreamOutput.model_validate_json(line)

    @_frame.method(job_id=_frame.STR, timeout=_frame.FLOAT)
    def await_stage(self, job_id: str, timeout: float | None = None, stage: JobStage = JobStage.POST_RUNNING) -> Job:
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
            job = self.get(job_id)
            current_stage = job.job_stage
            if stage == JobStage.RUNNING and current_stage == JobStage.POST_RUNNING:
                raise VexaException(error=VexaError.JOB_POST_RUNNING, message=f"Job {job_id} is in stage POST_RUNNING")
            if current_stage == stage or current_stage == JobStage.POST_RUNNING or current_stage == JobStage.UNKNOWN:
                return job
            if timeout is not None:
                elapsed_time = time.time() - start_time
                if elapsed_time >= timeout:
                    raise TimeoutError(f"Job {job_id} did not reach stage {stage} within {timeout} seconds")
            time.sleep(1)

    @_frame.method(job_id=_frame.STR)
    def is_healthy(self, job_id: str) -> bool:
        """Checks whether a runner job is healthy.

        Args:
            job_id (str): The ID of the runner job.

        Returns:
            bool: True if runner job is healthy else False.

        Raises:
            HTTPException: If the request fails.
        """
        url = f"{self._client.base_url}/{job_id}/ping"
        get = _frame.http_function(self._client, httpx, "get")
        try:
            response = get(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return response.status_code == 200  # type: ignore[no-any-return]
        except Exception:  # any failure of the probe means "not healthy"; KeyboardInterrupt is no Exception
            pass
        return False

    @_frame.method(job_id=_frame.STR, timeout=_frame.FLOAT)
    def await_healthy(self, job_id: str, timeout: float | None = None) -> Job:
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
        while not self.is_healthy(job_id=job_id):
            job = self._client.jobs.get(job_id)
            if job.job_stage == JobStage.POST_RUNNING:
                raise VexaException(
                    error=VexaError.JOB_POST_RUNNING, message=f"Job {job_id} unexpectedly entered stage POST_RUNNING"
                )
            if timeout is not None:
                elapsed_time = time.time() - start_time
                if elapsed_time >= timeout:
                    raise TimeoutError(f"Job {job_id} did not become healthy within {timeout} seconds")
            time.sleep(1)
        return self._client.jobs.get(job_id)

    @_frame.method()
    def get_latest(self, code_type: CodeType | None = None) -> Job | None:
        """Get the most recent job.

        Args:
            code_type (CodeType | None): Filter by code type.

        Returns:
            Job | None: The most recent job, or None if no jobs exist.
        """
        job_type = JobType.from_code_type(code_type) if code_type else None
        jobs = self.list(job_type=job_type)
        return jobs[0] if jobs else None

    list_queued = _listing("list_queued")
    list_scheduled = _listing("list_scheduled")
    list_started = _listing("list_started")
    list_deferred = _listing("list_deferred")
    list_canceled = _listing("list_canceled")
    list_stopped = _listing("list_stopped")
    list_failed = _listing("list_failed")
    list_finished = _listing("list_finished")
    list_timed_out = _listing("list_timed_out")
    list_pre_running = _listing("list_pre_running")
    list_running = _listing("list_running")
    list_post_running = _listing("list_post_running")


# The compiled module does not bind it.
globals().pop("annotations", None)
