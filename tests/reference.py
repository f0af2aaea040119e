"""The native methods written as `async def`: the references of the differential tests and benchmarks."""

from __future__ import annotations

from typing import Any, AsyncIterator

import httpx

from vexa.types import StreamOutput

STREAM_OUTPUT_QUALNAME = "AsyncJobsClient.stream_output"


async def stream_output(self: Any, job_id: str, read_timeout: float | None = 60.0) -> AsyncIterator[StreamOutput]:
    url = f"{self._client.base_url}/jobs/{job_id}/stream"
    timeout = httpx.Timeout(connect=5.0, read=read_timeout, write=5.0, pool=5.0)
    async with httpx.AsyncClient() as client:
        async with client.stream("GET", url, timeout=timeout, headers=self._client.api_key_header) as response:
            if not response.is_success:
                await response.aread()
                try:
                    response.raise_for_status()
                except httpx.HTTPStatusError as e:
                    raise self._client._get_http_exception(httpx_error=e)
            async for line in response.aiter_lines():
                if not line.strip():
                    continue
                yield StreamOutput.model_validate_json(line)


stream_output.__qualname__ = STREAM_OUTPUT_QUALNAME
