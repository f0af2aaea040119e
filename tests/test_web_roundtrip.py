"""The web clients end to end against the local service."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, Callable

import pytest

import vexa
from vexa._browser import web_job_address
from vexa.types import CodeType, CodeZip, Job, JobStage, JobStatus, JobType, NotFoundError

PAGE = {"index.html": "<h1>hello</h1>"}


@pytest.fixture
def client(service: Any) -> Iterator[Any]:
    """An AsyncClient on the session service; web jobs left running are stopped afterwards."""
    client = vexa.AsyncClient(service.base_url, service.api_key)
    yield client
    for job in service.runner.list(job_type="web"):
        if not job.ended:
            service.runner.terminate_threadsafe(job.job_id)


@pytest.fixture
def page_zip(make_zip: Callable[..., bytes]) -> CodeZip:
    return CodeZip(zip_bytes=make_zip(PAGE))


async def test_run_wait_probe_and_terminate(
    service: Any, client: Any, page_zip: CodeZip, fast_polls: list[float]
) -> None:
    job = await client.web.run(page_zip)
    assert type(job) is Job
    assert (job.job_type, job.job_stage) == (JobType.WEB, JobStage.PRE_RUNNING)
    assert service.runner.get(job.job_id).code_name == "code"  # named after the uploaded "code.zip"
    assert service.storage.get(job.code_id).code_type == "web"

    healthy = await client.web.await_healthy(job.job_id, timeout=30)
    assert (healthy.job_id, healthy.job_status, healthy.job_stage) == (job.job_id, JobStatus.STARTED, JobStage.RUNNING)

    assert client.web.get_url(job.job_id) == f"http://{web_job_address(job.job_id)}:{service.port}/"
    assert await client.web.is_healthy(job.job_id) is True

    assert await client.jobs.terminate(job.job_id) is None
    assert (await client.jobs.get(job.job_id)).job_status is JobStatus.STOPPED
    assert await client.web.is_healthy(job.job_id) is False


@pytest.mark.parametrize(("name", "stored"), [(None, "code"), ("my site", "my site")])
async def test_a_web_run_names_its_code_after_the_zip(
    service: Any, client: Any, make_zip: Callable[..., bytes], name: str | None, stored: str
) -> None:
    job = await client.web.run(CodeZip(zip_bytes=make_zip(PAGE), name=name))
    assert service.storage.get(job.code_id).code_name == stored


async def test_await_healthy_of_an_ended_web_job_fails(client: Any, page_zip: CodeZip, fast_polls: list[float]) -> None:
    job = await client.web.run(page_zip)
    await client.jobs.terminate(job.job_id)
    with pytest.raises(vexa.VexaException) as caught:
        await client.web.await_healthy(job.job_id)
    assert caught.value.error is vexa.VexaError.JOB_POST_RUNNING
    assert str(caught.value) == f"Job {job.job_id} unexpectedly entered stage POST_RUNNING"


async def test_upload_list_and_run_stored_web_code(
    service: Any, client: Any, page_zip: CodeZip, fast_polls: list[float]
) -> None:
    code_id = await client.web.upload(page_zip, "stored-page", {"title": "Stored"})
    assert type(code_id) is str
    record = service.storage.get(code_id)
    assert (record.code_name, record.code_type, record.metadata) == ("stored-page", "web", {"title": "Stored"})

    infos = await client.web.stored.list_info()
    assert type(infos) is list
    assert code_id in [info.code_id for info in infos]
    assert {info.code_type for info in infos} == {CodeType.WEB}

    job = await client.web.stored.run(code_id)
    assert (job.job_type, job.code_id) == (JobType.WEB, code_id)
    assert (await client.web.jobs.get_latest()).job_id == job.job_id

    await client.web.await_healthy(job.job_id, timeout=30)
    running = await client.web.jobs.list_running()
    assert job.job_id in [j.job_id for j in running]
    assert {(j.job_type, j.job_stage) for j in running} == {(JobType.WEB, JobStage.RUNNING)}

    await client.jobs.terminate(job.job_id)
    assert job.job_id not in [j.job_id for j in await client.web.jobs.list_running()]
    assert job.job_id in [j.job_id for j in await client.web.jobs.list_stopped()]
    assert job.job_id in [j.job_id for j in await client.web.jobs.list_post_running()]


async def test_list_info_leaves_out_python_code(client: Any, page_zip: CodeZip) -> None:
    code_id = await client.code.upload(code_zip=page_zip, code_name="script", code_type=CodeType.PYTHON)
    assert code_id not in [info.code_id for info in await client.web.stored.list_info()]


async def test_running_unknown_stored_code_raises_not_found(service: Any, client: Any) -> None:
    with pytest.raises(NotFoundError) as caught:
        await client.web.stored.run("c_missing")
    assert str(caught.value) == (
        f"404 Not Found for POST {service.base_url}/jobs/code/c_missing/run/web: Code c_missing not found"
    )


async def test_delete_refuses_python_code(client: Any, page_zip: CodeZip) -> None:
    code_id = await client.code.upload(code_zip=page_zip, code_name="script", code_type=CodeType.PYTHON)
    with pytest.raises(ValueError) as caught:
        await client.web.stored.delete(code_id)
    assert str(caught.value) == (
        f"Code '{code_id}' is python, not Web code. Cannot delete non-Web code from Web client."
    )
    assert (await client.code.get_info(code_id)).code_type is CodeType.PYTHON


async def test_delete_removes_web_code(client: Any, page_zip: CodeZip) -> None:
    code_id = await client.web.upload(page_zip, "doomed-page")
    assert await client.web.stored.delete(code_id) == f"Code with id={code_id} deleted"
    with pytest.raises(NotFoundError):
        await client.code.get_info(code_id)
    assert code_id not in [info.code_id for info in await client.web.stored.list_info()]


async def test_delete_of_unknown_code_fails_at_the_lookup(service: Any, client: Any) -> None:
    with pytest.raises(NotFoundError) as caught:
        await client.web.stored.delete("c_unknown")
    assert (
        str(caught.value) == f"404 Not Found for GET {service.base_url}/code/c_unknown/info: Code c_unknown not found"
    )


@pytest.mark.parametrize(
    ("build_pexenv", "pexenv_python", "options"),
    [
        (None, None, {"build_pexenv": False, "pexenv_python": None}),
        ("yes", "3.10", {"build_pexenv": True, "pexenv_python": "3.10"}),
        (True, None, {"build_pexenv": True, "pexenv_python": None}),
    ],
)
async def test_ingest_starts_an_ingest_job_for_web_code(
    service: Any, client: Any, page_zip: CodeZip, build_pexenv: Any, pexenv_python: Any, options: dict[str, Any]
) -> None:
    job = await client.web.ingest(page_zip, "ingested-page", {"v": 1}, build_pexenv, pexenv_python)
    assert type(job) is Job
    assert job.job_type is JobType.INGEST
    record = service.storage.get(job.code_id)
    assert (record.code_name, record.code_type, record.metadata) == ("ingested-page", "web", {"v": 1})
    assert service.runner.get(job.job_id).options == options
