"""The synchronous jobs and web clients end to end against the local service,
on the test's own thread with no event loop: upload, run, follow the output
line by line, wait, fetch the result; run a web page, wait for it and reach it."""

from __future__ import annotations

import asyncio
import io
import threading
import uuid
import zipfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest

import vexa
from vexa._browser import web_job_address
from vexa.types import CodeType, CodeZip, Job, JobResult, JobStage, JobStatus, JobType, StreamOutput

# A web app that really serves its page (standard library only).
APP = """
import http.server, os

class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"hello from a synchronous client\\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

print("serving", flush=True)
http.server.HTTPServer(("127.0.0.1", int(os.environ["PORT"])), Hello).serve_forever()
"""


@pytest.fixture
def no_event_loop(monkeypatch: pytest.MonkeyPatch) -> None:
    """Fails any attempt to run an asyncio event loop on the test's thread (the
    services run theirs on threads of their own)."""
    test_thread = threading.get_ident()
    run_forever = asyncio.BaseEventLoop.run_forever

    def guarded(loop: asyncio.BaseEventLoop) -> None:
        assert threading.get_ident() != test_thread, "an event loop ran on the caller's thread"
        run_forever(loop)

    monkeypatch.setattr(asyncio.BaseEventLoop, "run_forever", guarded)


def make_code_zip(files: dict[str, str]) -> CodeZip:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, text in files.items():
            archive.writestr(name, text)
    return CodeZip(zip_bytes=buffer.getvalue())


def stop_jobs_left_running(service: Any) -> None:
    for job in service.runner.list():
        if not job.ended:
            service.runner.terminate_threadsafe(job.job_id)


@pytest.fixture
def slow_service(service_factory: Callable[..., Any]) -> Iterator[Any]:
    """Simulated jobs whose two output steps come 30 s apart: the first line
    arrives long before the job could end."""
    service = service_factory(run_seconds=60.0, output_lines=2)
    yield service
    stop_jobs_left_running(service)


def test_a_job_from_upload_to_result_without_an_event_loop(
    slow_service: Any, tmp_path: Path, fast_polls: list[Any], no_event_loop: None
) -> None:
    client = vexa.Client(slow_service.base_url, api_key=slow_service.api_key)
    name = f"hold-sync-{uuid.uuid4().hex[:8]}"  # held in the queue until released
    code_zip = make_code_zip({"main.py": "print('hi')\n"})
    code_id = client.code.upload(code_zip, name, CodeType.PYTHON)
    assert client.code.get_info(code_id).code_name == name

    job = client.code.ingest(code_zip, name, CodeType.PYTHON)
    job_id = job.job_id
    assert client.jobs.get_stage(job_id) is JobStage.PRE_RUNNING
    with pytest.raises(TimeoutError) as caught:
        client.jobs.await_stage(job_id, timeout=0)
    assert str(caught.value) == f"Job {job_id} did not reach stage post_running within 0.0 seconds"

    # Line by line: the first item is there while the job still runs.
    outputs = client.jobs.stream_output(job_id, read_timeout=30)
    slow_service.runner.release(job_id)
    first = next(outputs)
    assert type(first) is StreamOutput
    assert (first.job_id, first.stream, first.text) == (job_id, "stdout", f"[ingest] {name}: started")
    running = client.jobs.await_stage(job_id, timeout=30, stage=JobStage.RUNNING)
    assert (running.job_status, running.job_stage) == (JobStatus.STARTED, JobStage.RUNNING)
    assert job_id in [j.job_id for j in client.jobs.list_running()]

    # Ended by request; the stream delivers the rest and ends with the job.
    assert client.jobs.terminate(job_id) is None
    assert [item.text for item in outputs] == ["terminated on request"]
    finished = client.jobs.await_stage(job_id, timeout=30)
    assert (finished.job_status, finished.job_stage) == (JobStatus.STOPPED, JobStage.POST_RUNNING)
    assert job_id in [j.job_id for j in client.jobs.list_stopped()]

    result = client.jobs.get_result(job_id, tmp_path / "result.zip")
    assert type(result) is JobResult
    assert (tmp_path / "result.zip").read_bytes() == result.zip_bytes
    with zipfile.ZipFile(io.BytesIO(result.zip_bytes)) as archive:
        assert archive.read("output.txt").decode() == f"[ingest] {name}: started\nterminated on request\n"
    assert client.code.delete(code_id) == f"Code with id={code_id} deleted"
    assert fast_polls == []  # every wait ended without sleeping


@pytest.fixture
def real_service(service_factory: Callable[..., Any]) -> Iterator[Any]:
    service = service_factory(simulate=False)
    yield service
    stop_jobs_left_running(service)


def test_a_web_page_from_run_to_reached_without_an_event_loop(
    real_service: Any, fast_polls: list[Any], no_event_loop: None
) -> None:
    page_zip = make_code_zip({"main.py": APP})
    with vexa.Client(real_service.base_url, api_key=real_service.api_key) as client:
        job = client.web.run(page_zip)
        assert type(job) is Job and job.job_type is JobType.WEB
        healthy = client.web.await_healthy(job.job_id, timeout=60)
        assert (healthy.job_id, healthy.job_stage) == (job.job_id, JobStage.RUNNING)
        assert client.web.is_healthy(job.job_id) is True

        url = client.web.get_url(job.job_id)
        assert url == f"http://{web_job_address(job.job_id)}:{real_service.port}/"
        page = httpx.get(url, headers={"X-API-Key": real_service.api_key}, timeout=30)
        assert (page.status_code, page.text) == (200, "hello from a synchronous client\n")
        assert client.web.jobs.get_latest() == client.jobs.get(job.job_id)
        assert job.job_id in [j.job_id for j in client.web.jobs.list_running()]

        client.jobs.terminate(job.job_id)
        assert client.web.is_healthy(job.job_id) is False
        with pytest.raises(vexa.VexaException) as caught:
            client.web.await_healthy(job.job_id)
        assert str(caught.value) == f"Job {job.job_id} unexpectedly entered stage POST_RUNNING"
