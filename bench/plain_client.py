"""The compiled clients' measured methods written as a plain Python client (`def`/`async def`).

The baseline of bench/overhead.py: the same steps as the C++ bodies, written
as a Python developer would write them. The argument checks of the native
binding are included, so that both refuse the same calls with the same
messages; so are the result checks of values that come from a method a
subclass could replace. Every request refuses redirects, as the compiled
modules' requests do. Each request uses the parent's shared HTTP client when
it has one (`_http_client`), and otherwise opens its own, given the parent's
TLS context (`_ssl_context`) when it has one. Names are looked up
through the module's globals (`httpx`, the models), so that a stubbed network
and stubbed models stand in for both alike.

bench/overhead.py also compiles this very file with Cython 3 for the
compiled-Python baseline: keep it plain Python that Cython accepts unchanged.
tests/test_bench_baseline.py holds it to the compiled modules over HTTP.
"""

from __future__ import annotations

import asyncio
import time
from typing import Any, AsyncIterator

import httpx

from vexa.types import CodeInfo, Job, JobStage, JobStatus, JobType, StreamOutput, VexaError, VexaException


def _wrong_type(name: str, expected: str, value: Any) -> TypeError:
    # The native binding's message, which names the parameter.
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _to_float(name: str, value: Any) -> Any:
    # The native binding converts a number (anything with __float__ or
    # __index__) and refuses the rest, text included.
    if hasattr(type(value), "__float__") or hasattr(type(value), "__index__"):
        return float(value)
    raise _wrong_type(name, "float", value)


def _not_a_list(value: Any) -> TypeError:
    return TypeError(f"Expected list, got {type(value).__name__}")


def _not_a_str(value: Any) -> TypeError:
    return TypeError(f"Expected str, got {type(value).__name__}")


class CodeClient:
    def __init__(self, client: Any) -> None:
        self._client = client

    def get_info(self, code_id: str) -> Any:
        if type(code_id) is not str:
            raise _wrong_type("code_id", "str", code_id)
        parent = self._client
        url = f"{parent.base_url}/code/{code_id}/info"
        try:
            shared = getattr(parent, "_http_client", None)
            if shared is not None:
                response = shared.get(url, headers=parent.api_key_header, follow_redirects=False)
            else:
                context = getattr(parent, "_ssl_context", None)
                if context is None:
                    response = httpx.get(url, headers=parent.api_key_header, follow_redirects=False)
                else:
                    response = httpx.get(url, headers=parent.api_key_header, follow_redirects=False, verify=context)
            response.raise_for_status()
            return CodeInfo(**response.json())
        except httpx.HTTPStatusError as e:
            raise parent._get_http_exception(httpx_error=e)


# The asynchronous requests are written out twice: with the parent's shared
# client, which stays open, and with a client of their own in `async with`.
# (A helper function per request, there or in CodeClient, would add the cost
# of a Python call that the native bodies do not have.)
class AsyncJobsClient:
    def __init__(self, client: Any) -> None:
        self._client = client

    async def get(self, job_id: str) -> Any:
        if type(job_id) is not str:
            raise _wrong_type("job_id", "str", job_id)
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}"
        client = getattr(parent, "_http_client", None)
        if client is not None:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return Job(**response.json())
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)
        context = getattr(parent, "_ssl_context", None)
        async with httpx.AsyncClient() if context is None else httpx.AsyncClient(verify=context) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False)
                response.raise_for_status()
                return Job(**response.json())
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    async def list(self, job_type: Any = None, job_status: Any = None, job_stage: Any = None) -> Any:
        parent = self._client
        url = f"{parent.base_url}/jobs"
        # The filters given, as their text; no query string when none is.
        params: Any = {}
        if job_type is not None:
            params["job_type"] = str(job_type)
        if job_status is not None:
            params["job_status"] = str(job_status)
        if job_stage is not None:
            params["job_stage"] = str(job_stage)
        if not params:
            params = None
        client = getattr(parent, "_http_client", None)
        if client is not None:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False, params=params)
                response.raise_for_status()
                return [Job(**item) for item in response.json()]
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)
        context = getattr(parent, "_ssl_context", None)
        async with httpx.AsyncClient() if context is None else httpx.AsyncClient(verify=context) as client:
            try:
                response = await client.get(url, headers=parent.api_key_header, follow_redirects=False, params=params)
                response.raise_for_status()
                return [Job(**item) for item in response.json()]
            except httpx.HTTPStatusError as e:
                raise parent._get_http_exception(httpx_error=e)

    async def get_url(self, job_id: str) -> Any:
        if type(job_id) is not str:
            raise _wrong_type("job_id", "str", job_id)
        url = self._client.get_proxy_url(job_id)
        if url is not None and type(url) is not str:
            raise _not_a_str(url)
        return url

    async def list_running(self, code_type: Any = None) -> Any:
        job_type = JobType.from_code_type(code_type) if code_type else None
        jobs = await self.list(job_type=job_type, job_stage=JobStage.RUNNING)
        if jobs is not None and type(jobs) is not list:
            raise _not_a_list(jobs)
        return jobs

    # The methods with a timeout annotate their parameters `Any`: Cython takes an
    # annotation for a type test made at the call, which would refuse the ints
    # that the native binding converts (`float | None`) and test `job_id` before
    # the timeout's conversion (`str`), where the native binding does the reverse.
    async def await_stage(self, job_id: Any, timeout: Any = None, stage: Any = JobStage.POST_RUNNING) -> Any:
        if timeout is not None and type(timeout) is not float:
            timeout = _to_float("timeout", timeout)
        if type(job_id) is not str:
            raise _wrong_type("job_id", "str", job_id)
        start_time = time.time()
        while True:
            job = await self.get(job_id)
            current_stage = job.job_stage
            if stage == JobStage.RUNNING and current_stage == JobStage.POST_RUNNING:
                raise VexaException(error=VexaError.JOB_POST_RUNNING, message=f"Job {job_id} is in stage POST_RUNNING")
            if current_stage == stage or current_stage == JobStage.POST_RUNNING or current_stage == JobStage.UNKNOWN:
                return job
            if timeout is not None and time.time() - start_time >= timeout:
                raise TimeoutError(f"Job {job_id} did not reach stage {stage} within {timeout} seconds")
            await asyncio.sleep(1)

    async def stream_output(self, job_id: Any, read_timeout: Any = 60.0) -> AsyncIterator[Any]:
        if read_timeout is not None and type(read_timeout) is not float:
            read_timeout = _to_float("read_timeout", read_timeout)
        if type(job_id) is not str:
            raise _wrong_type("job_id", "str", job_id)
        parent = self._client
        url = f"{parent.base_url}/jobs/{job_id}/stream"
        timeout = httpx.Timeout(connect=5.0, read=read_timeout, write=5.0, pool=5.0)
        client = getattr(parent, "_http_client", None)
        if client is not None:
            async with client.stream(
                "GET", url, timeout=timeout, headers=parent.api_key_header, follow_redirects=False
            ) as response:
                # An error status is the parent's HTTP exception, never read as output lines.
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
            return
        context = getattr(parent, "_ssl_context", None)
        async with httpx.AsyncClient() if context is None else httpx.AsyncClient(verify=context) as client:
            async with client.stream(
                "GET", url, timeout=timeout, headers=parent.api_key_header, follow_redirects=False
            ) as response:
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


class AsyncWebJobsClient:
    def __init__(self, client: Any) -> None:
        self._client = client

    async def list(self, job_status: Any = None, job_stage: Any = None) -> Any:
        jobs = await self._client.jobs.list(job_type=JobType.WEB, job_status=job_status, job_stage=job_stage)
        if jobs is not None and type(jobs) is not list:
            raise _not_a_list(jobs)
        return jobs

    async def list_failed(self) -> Any:
        jobs = await self.list(job_status=JobStatus.FAILED)
        if jobs is not None and type(jobs) is not list:
            raise _not_a_list(jobs)
        return jobs
