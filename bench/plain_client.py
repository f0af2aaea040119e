"""The native clients' measured methods written as plain Python (`def`/`async def`).

The baseline of bench/overhead.py: the same steps as the C++ bodies (argument
checks of the native binding included, so that both refuse the same calls),
looked up through the same module globals (`httpx`, the models), so that a
stubbed network and stubbed models stand in for both alike. bench/overhead.py
also compiles this very file with Cython 3 for the compiled-Python baseline:
keep it plain Python that Cython accepts unchanged.
"""

from __future__ import annotations

import asyncio
import time
from typing import Any, AsyncIterator

import httpx

from vexa.types import CodeInfo, Job, JobStage, JobStatus, JobType, StreamOutput, VexaError, VexaException


def _check_str(name: str, value: Any) -> None:
    # The native binding accepts exactly `str` and names the parameter.
    if type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


def _check_list(value: Any) -> Any:
    # The native listings refuse a result that is not a list.
    if not isinstance(value, list):
        raise TypeError(f"Expected list, got {type(value).__name__}")
    return value


def _translated(parent: Any, error: httpx.HTTPStatusError) -> Exception:
    return parent._get_http_exception(httpx_error=error)


class CodeClient:
    def __init__(self, client: Any) -> None:
        self._client = client

    def get_info(self, code_id: str) -> Any:
        _check_str("code_id", code_id)
        url = f"{self._client.base_url}/code/{code_id}/info"
        try:
            response = httpx.get(url, headers=self._client.api_key_header)
            response.raise_for_status()
            return CodeInfo(**response.json())
        except httpx.HTTPStatusError as e:
            raise _translated(self._client, e)


class AsyncJobsClient:
    def __init__(self, client: Any) -> None:
        self._client = client

    async def get(self, job_id: str) -> Any:
        _check_str("job_id", job_id)
        url = f"{self._client.base_url}/jobs/{job_id}"
        async with httpx.AsyncClient() as client:
            try:
                response = await client.get(url, headers=self._client.api_key_header)
                response.raise_for_status()
                return Job(**response.json())
            except httpx.HTTPStatusError as e:
                raise _translated(self._client, e)

    async def list(self, job_type: Any = None, job_status: Any = None, job_stage: Any = None) -> Any:
        url = f"{self._client.base_url}/jobs"
        params: dict[str, str] | None = {}
        if job_type is not None:
            params["job_type"] = str(job_type)
        if job_status is not None:
            params["job_status"] = str(job_status)
        if job_stage is not None:
            params["job_stage"] = str(job_stage)
        if not params:
            params = None
        async with httpx.AsyncClient() as client:
            try:
                response = await client.get(url, headers=self._client.api_key_header, params=params)
                response.raise_for_status()
                return _check_list([Job(**item) for item in response.json()])
            except httpx.HTTPStatusError as e:
                raise _translated(self._client, e)

    async def list_running(self, code_type: Any = None) -> Any:
        job_type = JobType.from_code_type(code_type) if code_type else None
        return _check_list(await self.list(job_type=job_type, job_stage=JobStage.RUNNING))

    async def await_stage(self, job_id: str, timeout: float | None = None, stage: Any = JobStage.POST_RUNNING) -> Any:
        _check_str("job_id", job_id)
        if timeout is not None:
            timeout = float(timeout)
        start_time = time.time()
        while True:
            job = await self.get(job_id)
            current_stage = job.job_stage
            if stage == JobStage.RUNNING and current_stage == JobStage.POST_RUNNING:
                raise VexaException(error=VexaError.JOB_POST_RUNNING, message=f"Job {job_id} is in stage POST_RUNNING")
            if current_stage == stage or current_stage == JobStage.POST_RUNNING or current_stage == JobStage.UNKNOWN:
                return job
            if timeout is not None and time.time() - start_time >= timeout:
                raise TimeoutError(f"Job {job_id} did not reach stage {str(stage)} within {str(timeout)} seconds")
            await asyncio.sleep(1)

    async def stream_output(self, job_id: str, read_timeout: float | None = 60.0) -> AsyncIterator[Any]:
        _check_str("job_id", job_id)
        url = f"{self._client.base_url}/jobs/{job_id}/stream"
        timeout = httpx.Timeout(connect=5.0, read=read_timeout, write=5.0, pool=5.0)
        async with httpx.AsyncClient() as client:
            async with client.stream("GET", url, timeout=timeout, headers=self._client.api_key_header) as response:
                if not response.is_success:
                    await response.aread()
                    try:
                        response.raise_for_status()
                    except httpx.HTTPStatusError as e:
                        raise _translated(self._client, e)
                async for line in response.aiter_lines():
                    if not line.strip():
                        continue
                    yield StreamOutput.model_validate_json(line)


class AsyncWebJobsClient:
    def __init__(self, client: Any) -> None:
        self._client = client

    async def list(self, job_status: Any = None, job_stage: Any = None) -> Any:
        return _check_list(await self._client.jobs.list(job_type=JobType.WEB, job_status=job_status, job_stage=job_stage))

    async def list_failed(self) -> Any:
        return _check_list(await self.list(job_status=JobStatus.FAILED))
