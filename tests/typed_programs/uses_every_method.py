"""A typed program that calls every public method of the clients.

`mypy --strict` accepts it as it is, and `assert_type` pins each result to its
declared type. The suite also runs it against the local service, so every call
here is one a real program can make. Each sub-client has its own variable
(`code`, `sync_jobs`, `sync_web`, `sync_stored`, `sync_web_jobs`, `async_code`,
`jobs`, `web`, `stored`, `web_jobs`), through which the suite checks that no
public method is left out.
"""

from __future__ import annotations

import io
import zipfile
from pathlib import Path
from typing import Generator

from typing_extensions import assert_type

import vexa
from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._async._web import AsyncStoredWebClient, AsyncWebClient, AsyncWebJobsClient
from vexa.client._async.code import AsyncCodeClient
from vexa.client._parent import AsyncParentClient, ParentClient
from vexa.client._sync._code import CodeClient
from vexa.client._sync._jobs import JobsClient
from vexa.client._sync._web import StoredWebClient, WebClient, WebJobsClient
from vexa.types import (
    CodeInfo,
    CodeType,
    CodeZip,
    HTTPException,
    Job,
    JobResult,
    JobStage,
    JobStatus,
    JobType,
    JsonData,
    StreamOutput,
    http_exception_class,
)


def make_zip(name: str, text: str) -> CodeZip:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr(name, text)
    return CodeZip(zip_bytes=buffer.getvalue())


def use_client(base_url: str, api_key: str, workdir: Path) -> None:
    client = vexa.Client(base_url, api_key=api_key)
    parent: ParentClient = client  # has what the modules read from it
    assert_type(CodeClient(parent), CodeClient)
    code = client.code
    assert_type(code, CodeClient)
    code_zip = make_zip("main.py", 'print("typed")\n')

    code_id = code.upload(code_zip, "typed", CodeType.PYTHON, {"owner": "typed"})
    assert_type(code_id, str)
    assert_type(code.list_info(), list[CodeInfo])
    assert_type(code.list_info(CodeType.PYTHON), list[CodeInfo])
    info = code.get_info(code_id)
    assert_type(info, CodeInfo)
    assert_type(info.code_type, CodeType | None)
    assert_type(code.get_metadata(code_id), JsonData)
    downloaded = code.download(code_id, workdir / "typed.zip")
    assert_type(downloaded, CodeZip)
    assert_type(CodeZip.from_path(downloaded.write(workdir / "copy.zip")), CodeZip)
    job = code.ingest(
        code_zip, "typed-ingest", CodeType.PYTHON, JsonData({"k": 1}), build_pexenv=False, pexenv_python=None
    )
    assert_type(job, Job)
    assert_type(job.job_stage, JobStage | None)
    assert_type(code.delete(code_id), str)

    use_sync_jobs_and_web(client, workdir)
    assert_type(JobType.from_code_type(CodeType.WEB), JobType)
    assert_type(http_exception_class(404), type[HTTPException])
    assert_type(vexa.__version__, str)


def use_sync_jobs_and_web(client: vexa.Client, workdir: Path) -> None:
    sync_jobs, sync_web = client.jobs, client.web
    sync_stored, sync_web_jobs = sync_web.stored, sync_web.jobs
    assert_type(sync_jobs, JobsClient)
    assert_type(sync_web, WebClient)
    assert_type(sync_stored, StoredWebClient)
    assert_type(sync_web_jobs, WebJobsClient)
    code_zip = make_zip("main.py", 'print("typed")\n')
    page_zip = make_zip("index.html", "<h1>typed</h1>")

    # Jobs.
    job = client.code.ingest(code_zip, "typed-sync-job", CodeType.PYTHON)
    job_id = job.job_id
    assert_type(sync_jobs.get(job_id), Job)
    assert_type(sync_jobs.list(JobType.INGEST, JobStatus.QUEUED, None), list[Job])
    assert_type(sync_jobs.get_url(job_id), str)
    assert_type(sync_jobs.get_status(job_id), JobStatus)
    assert_type(sync_jobs.get_stage(job_id), JobStage)
    outputs = sync_jobs.stream_output(job_id, read_timeout=30)
    assert_type(outputs, Generator[StreamOutput, None, None])
    for output in outputs:
        assert_type(output, StreamOutput)
        assert_type(output.text, str)
    assert_type(sync_jobs.await_stage(job_id, timeout=30, stage=JobStage.POST_RUNNING), Job)
    assert_type(sync_jobs.get_error(job_id), str | None)
    assert_type(sync_jobs.get_code_id(job_id), str | None)
    assert_type(sync_jobs.get_result(job_id, workdir / "sync-result.zip"), JobResult)
    assert_type(sync_jobs.get_latest(CodeType.PYTHON), Job | None)
    job_listings = (
        sync_jobs.list_queued, sync_jobs.list_scheduled, sync_jobs.list_started, sync_jobs.list_deferred,
        sync_jobs.list_canceled, sync_jobs.list_stopped, sync_jobs.list_failed, sync_jobs.list_finished,
        sync_jobs.list_timed_out, sync_jobs.list_pre_running, sync_jobs.list_running, sync_jobs.list_post_running,
    )  # fmt: skip
    for job_listing in job_listings:
        assert_type(job_listing(CodeType.PYTHON), list[Job])

    # Web pages.
    page = sync_web.run(page_zip)
    assert_type(page, Job)
    assert_type(sync_web.await_healthy(page.job_id, timeout=30), Job)
    assert_type(sync_jobs.await_healthy(page.job_id, timeout=30), Job)
    assert_type(sync_web.is_healthy(page.job_id), bool)
    assert_type(sync_jobs.is_healthy(page.job_id), bool)
    assert_type(sync_web.get_url(page.job_id), str)
    assert_type(sync_jobs.terminate(page.job_id), None)
    page_code_id = sync_web.upload(page_zip, "typed-sync-page", {"title": "typed"})
    assert_type(page_code_id, str)
    assert_type(sync_web.ingest(page_zip, "typed-sync-page-ingest", None, False, None), Job)
    assert_type(sync_stored.list_info(), list[CodeInfo])
    stored_page = sync_stored.run(page_code_id)
    assert_type(stored_page, Job)
    assert_type(sync_web_jobs.list(JobStatus.STARTED, None), list[Job])
    assert_type(sync_web_jobs.get_latest(), Job | None)
    web_listings = (
        sync_web_jobs.list_queued, sync_web_jobs.list_scheduled, sync_web_jobs.list_started,
        sync_web_jobs.list_deferred, sync_web_jobs.list_canceled, sync_web_jobs.list_stopped,
        sync_web_jobs.list_failed, sync_web_jobs.list_finished, sync_web_jobs.list_timed_out,
        sync_web_jobs.list_pre_running, sync_web_jobs.list_running, sync_web_jobs.list_post_running,
    )  # fmt: skip
    for web_listing in web_listings:
        assert_type(web_listing(), list[Job])
    sync_jobs.terminate(stored_page.job_id)
    assert_type(sync_stored.delete(page_code_id), str)


async def use_async_client(base_url: str, api_key: str, workdir: Path) -> None:
    client = vexa.AsyncClient(base_url, api_key=api_key)
    parent: AsyncParentClient = client  # has what the modules read from it
    assert_type(AsyncJobsClient(parent), AsyncJobsClient)
    async_code, jobs, web = client.code, client.jobs, client.web
    stored, web_jobs = web.stored, web.jobs
    assert_type(async_code, AsyncCodeClient)
    assert_type(jobs, AsyncJobsClient)
    assert_type(web, AsyncWebClient)
    assert_type(stored, AsyncStoredWebClient)
    assert_type(web_jobs, AsyncWebJobsClient)
    code_zip = make_zip("main.py", 'print("typed")\n')
    page_zip = make_zip("index.html", "<h1>typed</h1>")

    # Stored code.
    code_id = await async_code.upload(code_zip, "typed-async", CodeType.PYTHON, {"owner": "typed"})
    assert_type(code_id, str)
    assert_type(await async_code.list_info(CodeType.PYTHON), list[CodeInfo])
    assert_type(await async_code.get_info(code_id), CodeInfo)
    assert_type(await async_code.get_metadata(code_id), JsonData)
    assert_type(await async_code.download(code_id, workdir / "async.zip"), CodeZip)
    job = await async_code.ingest(code_zip, "typed-job", CodeType.PYTHON, build_pexenv=True, pexenv_python="3.10")
    assert_type(job, Job)

    # Jobs.
    job_id = job.job_id
    assert_type(await jobs.get(job_id), Job)
    assert_type(await jobs.list(JobType.INGEST, JobStatus.QUEUED, None), list[Job])
    assert_type(await jobs.get_url(job_id), str)
    assert_type(await jobs.get_status(job_id), JobStatus)
    assert_type(await jobs.get_stage(job_id), JobStage)
    async for output in jobs.stream_output(job_id, read_timeout=30):
        assert_type(output, StreamOutput)
        assert_type(output.text, str)
    finished = await jobs.await_stage(job_id, timeout=30, stage=JobStage.POST_RUNNING)
    assert_type(finished, Job)
    assert_type(await jobs.get_error(job_id), str | None)
    assert_type(await jobs.get_code_id(job_id), str | None)
    assert_type(await jobs.get_result(job_id, workdir / "result.zip"), JobResult)
    assert_type(await jobs.get_latest(CodeType.PYTHON), Job | None)
    job_listings = (
        jobs.list_queued, jobs.list_scheduled, jobs.list_started, jobs.list_deferred,
        jobs.list_canceled, jobs.list_stopped, jobs.list_failed, jobs.list_finished,
        jobs.list_timed_out, jobs.list_pre_running, jobs.list_running, jobs.list_post_running,
    )  # fmt: skip
    for job_listing in job_listings:
        assert_type(await job_listing(CodeType.PYTHON), list[Job])
    assert_type(await async_code.delete(code_id), str)

    # Web pages.
    page = await web.run(page_zip)
    assert_type(page, Job)
    assert_type(await web.await_healthy(page.job_id, timeout=30), Job)
    assert_type(await jobs.await_healthy(page.job_id, timeout=30), Job)
    assert_type(await web.is_healthy(page.job_id), bool)
    assert_type(await jobs.is_healthy(page.job_id), bool)
    assert_type(web.get_url(page.job_id), str)
    assert_type(client.get_proxy_url(page.job_id), str)
    assert_type(client.get_subdomain_proxy_url(page.job_id), str)
    assert_type(await jobs.terminate(page.job_id), None)

    page_code_id = await web.upload(page_zip, "typed-page", {"title": "typed"})
    assert_type(page_code_id, str)
    assert_type(await web.ingest(page_zip, "typed-page-ingest", None, False, None), Job)
    assert_type(await stored.list_info(), list[CodeInfo])
    stored_page = await stored.run(page_code_id)
    assert_type(stored_page, Job)
    assert_type(await web_jobs.list(JobStatus.STARTED, None), list[Job])
    assert_type(await web_jobs.get_latest(), Job | None)
    web_listings = (
        web_jobs.list_queued, web_jobs.list_scheduled, web_jobs.list_started, web_jobs.list_deferred,
        web_jobs.list_canceled, web_jobs.list_stopped, web_jobs.list_failed, web_jobs.list_finished,
        web_jobs.list_timed_out, web_jobs.list_pre_running, web_jobs.list_running, web_jobs.list_post_running,
    )  # fmt: skip
    for web_listing in web_listings:
        assert_type(await web_listing(), list[Job])
    await jobs.terminate(stored_page.job_id)
    assert_type(await stored.delete(page_code_id), str)

    # One pooled HTTP client for a block of requests.
    async with vexa.AsyncClient(base_url, api_key=api_key) as shared:
        assert_type(shared, vexa.AsyncClient)
        assert_type(await shared.code.list_info(), list[CodeInfo])
    assert_type(await client.aclose(), None)
    with vexa.Client(base_url, api_key=api_key) as blocking:
        assert_type(blocking, vexa.Client)
        assert_type(blocking.code.list_info(), list[CodeInfo])
    blocking.close()
