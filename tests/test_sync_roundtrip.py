"""A synchronous program end to end against the local service, with no event loop."""

from __future__ import annotations

import asyncio
import contextlib
import time
import types
import uuid
import zipfile
from io import BytesIO
from typing import Any, Callable, Iterator

import httpx
import pytest

import vexa
import vexa.client._sync._jobs as sync_jobs
from vexa.types import CodeType, CodeZip, JobStage, JobStatus, JobType, NotFoundError, StreamOutput


@pytest.fixture
def quick_polls(monkeypatch: pytest.MonkeyPatch) -> list[float]:
    """The waiting loops' one-second sleeps take a hundredth of one; the delays asked for are kept."""
    asked: list[float] = []

    def sleep(delay: float) -> None:
        asked.append(delay)
        time.sleep(0.01)

    monkeypatch.setitem(sync_jobs.__dict__, "time", types.SimpleNamespace(time=time.time, sleep=sleep))
    return asked


@pytest.fixture(params=[False, True], ids=["own-client", "shared-client"])
def client(request: pytest.FixtureRequest, service: Any) -> Iterator[vexa.Client]:
    before = {job.job_id for job in service.runner.list()}
    client = vexa.Client(service.base_url, api_key=service.api_key)
    with client if request.param else contextlib.nullcontext(client):
        yield client
    for job in service.runner.list():
        if job.job_id not in before and not job.ended:
            service.runner.terminate_threadsafe(job.job_id)


def no_running_loop() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return True
    return False


def test_code_is_stored_run_streamed_waited_for_and_its_result_fetched(
    service: Any, client: vexa.Client, make_zip: Callable[..., bytes], quick_polls: list[float]
) -> None:
    name = f"sync-{uuid.uuid4().hex[:8]}"
    code_zip = CodeZip(zip_bytes=make_zip({"main.py": "print('hi')\n"}))
    started = client.code.ingest(code_zip, name, CodeType.PYTHON)
    job_id = started.job_id
    assert client.jobs.get(job_id).job_type is JobType.INGEST
    assert client.jobs.get_code_id(job_id) == started.code_id

    lines = []
    for output in client.jobs.stream_output(job_id, read_timeout=10):
        assert type(output) is StreamOutput and no_running_loop()
        lines.append((output.stream, output.text))
    assert lines[0] == ("stdout", f"[ingest] {name}: started")
    assert lines[-1] == ("stdout", f"[ingest] {name}: done")

    finished = client.jobs.await_stage(job_id, timeout=30)
    assert (finished.job_status, finished.job_stage) == (JobStatus.FINISHED, JobStage.POST_RUNNING)
    result = client.jobs.get_result(job_id)
    with zipfile.ZipFile(BytesIO(result.zip_bytes)) as archive:
        assert archive.read("output.txt").decode() == "".join(text + "\n" for _, text in lines)
    assert job_id in [job.job_id for job in client.jobs.list_finished()]


# A web page's code is an app that serves on $PORT.
PAGE_APP = """
import os
from http.server import BaseHTTPRequestHandler, HTTPServer

class Page(BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<h1>synchronous</h1>"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

HTTPServer(("127.0.0.1", int(os.environ["PORT"])), Page).serve_forever()
"""


@pytest.mark.usefixtures("real_jobs")
@pytest.mark.parametrize("shared", [False, True], ids=["own-client", "shared-client"])
def test_a_web_page_is_started_reached_and_stopped(
    service_factory: Callable[..., Any], make_zip: Callable[..., bytes], quick_polls: list[float], shared: bool
) -> None:
    # Real processes: the service then serves the page itself.
    service = service_factory(simulate=False)
    client = vexa.Client(service.base_url, api_key=service.api_key)
    page = CodeZip(zip_bytes=make_zip({"main.py": PAGE_APP}))
    with client if shared else contextlib.nullcontext(client):
        job = client.web.run(page)
        assert (job.job_type, job.job_stage) == (JobType.WEB, JobStage.PRE_RUNNING)
        healthy = client.web.await_healthy(job.job_id, timeout=60)
        assert healthy.job_stage is JobStage.RUNNING
        assert set(quick_polls) <= {1}
        assert client.web.is_healthy(job.job_id) is True

        url = client.web.get_url(job.job_id)
        response = httpx.get(url, headers=client.api_key_header)
        assert (response.status_code, response.text) == (200, "<h1>synchronous</h1>")
        assert client.web.jobs.get_latest().job_id == job.job_id

        assert client.jobs.terminate(job.job_id) is None
        assert client.jobs.await_stage(job.job_id, timeout=60).job_status is JobStatus.STOPPED
        assert client.web.is_healthy(job.job_id) is False


def test_stored_web_code_is_listed_run_and_deleted(
    service: Any, client: vexa.Client, make_zip: Callable[..., bytes], quick_polls: list[float]
) -> None:
    page = CodeZip(zip_bytes=make_zip({"index.html": "<p>stored</p>"}))
    code_id = client.web.upload(page, "stored-sync", {"title": "Stored"})
    assert code_id in [info.code_id for info in client.web.stored.list_info()]
    job = client.web.stored.run(code_id)
    assert (job.job_type, job.code_id) == (JobType.WEB, code_id)
    client.web.await_healthy(job.job_id, timeout=30)
    client.jobs.terminate(job.job_id)
    client.jobs.await_stage(job.job_id, timeout=30)
    assert client.web.stored.delete(code_id) == f"Code with id={code_id} deleted"
    with pytest.raises(NotFoundError):
        client.code.get_info(code_id)
