"""AsyncJobsClient end to end against the local service."""

from __future__ import annotations

import asyncio
import json
import uuid
import zipfile
from collections.abc import Iterator
from io import BytesIO
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest

from vexa._browser import web_job_address
from vexa.client._async import AsyncClient
from vexa.types import (
    CodeType,
    CodeZip,
    ConflictError,
    Job,
    JobResult,
    JobStage,
    JobStatus,
    JobType,
    NotFoundError,
    StreamOutput,
    UnauthorizedError,
    VexaError,
    VexaException,
)

READ_TIMEOUT = 10.0


@pytest.fixture
def client(service: Any) -> Iterator[AsyncClient]:
    """An AsyncClient on the session service; jobs this test left running are stopped afterwards."""
    before = {job.job_id for job in service.runner.list()}
    yield AsyncClient(base_url=service.base_url, api_key=service.api_key)
    for job in service.runner.list():
        if job.job_id not in before and not job.ended:
            service.runner.terminate_threadsafe(job.job_id)


@pytest.fixture
def code_zip(make_zip: Callable[..., bytes]) -> CodeZip:
    return CodeZip(zip_bytes=make_zip({"main.py": "print('hi')\n"}))


def unique(prefix: str) -> str:
    return f"{prefix}-{uuid.uuid4().hex[:8]}"


async def start_run_job(service: Any, client: AsyncClient, code_zip: CodeZip, name: str) -> str:
    """Uploads code and starts a "run" job for it (the clients have no call for that)."""
    code_id = await client.code.upload(code_zip, name, CodeType.PYTHON)
    async with httpx.AsyncClient(base_url=service.base_url, headers=service.headers) as http:
        response = await http.post(f"/jobs/code/{code_id}/run")
    assert response.status_code == 200, response.text
    return response.json()["job_id"]


async def start_web_job(service: Any, page: bytes) -> str:
    async with httpx.AsyncClient(base_url=service.base_url, headers=service.headers) as http:
        response = await http.post("/jobs/code/run/web", files={"code_zip": ("page.zip", page, "application/zip")})
    assert response.status_code == 200, response.text
    return response.json()["job_id"]


async def test_ingest_job_from_start_to_result(
    service: Any, client: AsyncClient, code_zip: CodeZip, tmp_path: Path
) -> None:
    name = unique("rt")
    started = await client.code.ingest(code_zip, name, CodeType.PYTHON)
    job_id = started.job_id
    jobs = client.jobs

    job = await jobs.get(job_id)
    assert type(job) is Job
    assert (job.job_id, job.job_type) == (job_id, JobType.INGEST)
    assert await jobs.get_code_id(job_id) == job.code_id == started.code_id
    assert service.storage.get(job.code_id).code_name == name
    assert await jobs.get_error(job_id) is None
    assert await jobs.get_status(job_id) in set(JobStatus)
    assert await jobs.get_stage(job_id) in set(JobStage)
    assert (await jobs.get_latest()).job_id == job_id
    assert job_id in [j.job_id for j in await jobs.list()]
    assert job_id in [j.job_id for j in await jobs.list(job_type=JobType.INGEST)]
    assert job_id not in [j.job_id for j in await jobs.list(job_type=JobType.WEB)]

    items = [item async for item in jobs.stream_output(job_id, read_timeout=READ_TIMEOUT)]
    assert all(type(item) is StreamOutput and item.job_id == job_id for item in items)
    assert [(item.stream, item.text) for item in items] == [
        ("stdout", f"[ingest] {name}: started"),
        ("stdout", f"[ingest] {name}: step 1/5"),
        ("stderr", f"[ingest] {name}: step 2/5"),
        ("stdout", f"[ingest] {name}: step 3/5"),
        ("stderr", f"[ingest] {name}: step 4/5"),
        ("stdout", f"[ingest] {name}: step 5/5"),
        ("stdout", f"[ingest] {name}: done"),
    ]

    # The stream ended with the job, so one fetch finds it finished.
    finished = await jobs.await_stage(job_id, timeout=0)
    assert (finished.job_status, finished.job_stage) == (JobStatus.FINISHED, JobStage.POST_RUNNING)
    assert await jobs.get_status(job_id) is JobStatus.FINISHED
    assert await jobs.get_stage(job_id) is JobStage.POST_RUNNING

    target = tmp_path / "result.zip"
    result = await jobs.get_result(job_id, target)
    assert type(result) is JobResult
    assert target.read_bytes() == result.zip_bytes
    with zipfile.ZipFile(BytesIO(result.zip_bytes)) as archive:
        assert archive.read("output.txt").decode() == "".join(item.text + "\n" for item in items)
        assert json.loads(archive.read("job.json"))["job_status"] == "finished"
    again = await jobs.get_result(job_id, str(tmp_path / "again.zip"))
    assert (tmp_path / "again.zip").read_bytes() == again.zip_bytes == result.zip_bytes
    assert (await jobs.get_result(job_id)).zip_bytes == result.zip_bytes

    assert job_id in [j.job_id for j in await jobs.list_finished()]
    assert job_id in [j.job_id for j in await jobs.list_post_running()]
    assert job_id not in [j.job_id for j in await jobs.list_finished(CodeType.PYTHON)]  # that filters "run" jobs
    assert job_id not in [j.job_id for j in await jobs.list_running()]


async def test_await_stage_follows_a_released_job(
    service: Any, client: AsyncClient, code_zip: CodeZip, fast_polls: list[Any]
) -> None:
    job_id = (await client.code.ingest(code_zip, unique("hold-rt"), CodeType.PYTHON)).job_id
    jobs = client.jobs
    assert await jobs.get_stage(job_id) is JobStage.PRE_RUNNING
    with pytest.raises(TimeoutError) as caught:
        await jobs.await_stage(job_id, timeout=0)
    assert str(caught.value) == f"Job {job_id} did not reach stage post_running within 0.0 seconds"

    waiting = asyncio.ensure_future(jobs.await_stage(job_id, timeout=60))
    service.runner.release(job_id)
    job = await waiting
    assert (job.job_id, job.job_status, job.job_stage) == (job_id, JobStatus.FINISHED, JobStage.POST_RUNNING)
    assert fast_polls and set(fast_polls) == {1}


async def test_terminate_a_held_job(service: Any, client: AsyncClient, code_zip: CodeZip) -> None:
    job_id = (await client.code.ingest(code_zip, unique("hold-rt"), CodeType.PYTHON)).job_id
    jobs = client.jobs
    assert job_id in [j.job_id for j in await jobs.list_queued()]
    assert job_id in [j.job_id for j in await jobs.list_pre_running()]

    assert await jobs.terminate(job_id) is None
    assert await jobs.get_status(job_id) is JobStatus.STOPPED
    assert await jobs.get_stage(job_id) is JobStage.POST_RUNNING
    assert job_id in [j.job_id for j in await jobs.list_stopped()]
    assert job_id not in [j.job_id for j in await jobs.list_queued()]
    items = [item.text async for item in jobs.stream_output(job_id, READ_TIMEOUT)]
    assert items == ["terminated on request"]
    assert await jobs.terminate(job_id) is None  # an ended job stays as it is
    assert await jobs.get_status(job_id) is JobStatus.STOPPED


async def test_web_job_health_and_termination(
    service: Any, client: AsyncClient, make_zip: Callable[..., bytes], fast_polls: list[Any]
) -> None:
    jobs = client.jobs
    job_id = await start_web_job(service, make_zip({"index.html": "<p>hi</p>"}))
    assert await jobs.get_url(job_id) == f"http://{web_job_address(job_id)}:{service.port}"

    healthy = await jobs.await_healthy(job_id, timeout=60)
    assert (healthy.job_id, healthy.job_type, healthy.job_stage) == (job_id, JobType.WEB, JobStage.RUNNING)
    assert await jobs.is_healthy(job_id) is True
    running = await jobs.await_stage(job_id, timeout=0, stage=JobStage.RUNNING)
    assert running.job_status is JobStatus.STARTED
    assert job_id in [j.job_id for j in await jobs.list_running(CodeType.WEB)]
    assert job_id in [j.job_id for j in await jobs.list_started(CodeType.WEB)]
    assert (await jobs.get_latest(CodeType.WEB)).job_id == job_id

    assert await jobs.terminate(job_id) is None
    assert await jobs.get_status(job_id) is JobStatus.STOPPED
    assert await jobs.is_healthy(job_id) is False
    with pytest.raises(VexaException) as caught:
        await jobs.await_stage(job_id, stage=JobStage.RUNNING)
    assert (caught.value.error, str(caught.value)) == (
        VexaError.JOB_POST_RUNNING,
        f"Job {job_id} is in stage POST_RUNNING",
    )
    with pytest.raises(VexaException) as caught:
        await jobs.await_healthy(job_id)
    assert str(caught.value) == f"Job {job_id} unexpectedly entered stage POST_RUNNING"


async def test_unknown_stage_ends_the_wait(service: Any, client: AsyncClient, code_zip: CodeZip) -> None:
    job_id = (await client.code.ingest(code_zip, unique("hold-rt"), CodeType.PYTHON)).job_id
    service.runner.force_state(job_id, job_status="started", job_stage="unknown")
    job = await client.jobs.await_stage(job_id, stage=JobStage.RUNNING)
    assert (job.job_id, job.job_stage) == (job_id, JobStage.UNKNOWN)


SHORTCUTS = [
    ("list_queued", {"job_status": "queued"}),
    ("list_scheduled", {"job_status": "scheduled"}),
    ("list_started", {"job_status": "started"}),
    ("list_deferred", {"job_status": "deferred"}),
    ("list_canceled", {"job_status": "canceled"}),
    ("list_stopped", {"job_status": "stopped"}),
    ("list_failed", {"job_status": "failed"}),
    ("list_finished", {"job_status": "finished"}),
    ("list_timed_out", {"job_status": "timeout"}),
    ("list_pre_running", {"job_stage": "pre_running"}),
    ("list_running", {"job_stage": "running"}),
    ("list_post_running", {"job_stage": "post_running"}),
]


@pytest.mark.parametrize("name, state", SHORTCUTS, ids=[s[0] for s in SHORTCUTS])
async def test_listing_shortcuts(
    service: Any, client: AsyncClient, code_zip: CodeZip, name: str, state: dict[str, str]
) -> None:
    job_id = await start_run_job(service, client, code_zip, unique("hold-run"))
    other = {"job_status": "deferred"} if "job_stage" in state else {"job_stage": "unknown"}
    service.runner.force_state(job_id, **state, **other)
    shortcut = getattr(client.jobs, name)
    ((key, value),) = state.items()

    listed = await shortcut()
    assert job_id in [job.job_id for job in listed]
    assert {str(getattr(job, key)) for job in listed} == {value}
    by_type = await shortcut(CodeType.PYTHON)
    assert job_id in [job.job_id for job in by_type]
    assert {job.job_type for job in by_type} == {JobType.RUN}
    assert job_id not in [job.job_id for job in await shortcut(code_type=CodeType.WEB)]

    service.runner.force_state(job_id, job_status="queued", job_stage="pre_running")


async def test_service_errors(service: Any, client: AsyncClient, code_zip: CodeZip) -> None:
    jobs = client.jobs
    base = service.base_url
    with pytest.raises(NotFoundError) as caught:
        await jobs.get("nope")
    assert str(caught.value) == f"404 Not Found for GET {base}/jobs/nope: Job nope not found"
    assert isinstance(caught.value.__context__, httpx.HTTPStatusError)

    with pytest.raises(NotFoundError) as caught:
        async for _ in jobs.stream_output("nope"):
            pass
    assert str(caught.value) == f"404 Not Found for GET {base}/jobs/nope/stream: Job nope not found"

    with pytest.raises(NotFoundError) as caught:
        await jobs.terminate("nope")
    assert str(caught.value) == f"404 Not Found for POST {base}/jobs/nope/terminate: Job nope not found"

    held = (await client.code.ingest(code_zip, unique("hold-rt"), CodeType.PYTHON)).job_id
    with pytest.raises(ConflictError) as caught:
        await jobs.get_result(held)
    assert str(caught.value) == (
        f"409 Conflict for GET {base}/jobs/{held}/result: Job {held} has not ended yet (status queued)"
    )
    assert await jobs.is_healthy(held) is False  # not a web job

    wrong = AsyncClient(base_url=base, api_key="wrong-key").jobs
    with pytest.raises(UnauthorizedError) as caught:
        await wrong.list_failed()
    assert str(caught.value) == (f"401 Unauthorized for GET {base}/jobs?job_status=failed: Invalid or missing API key")
