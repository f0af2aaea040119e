"""`CodeClient` against the real local service, end to end."""

from __future__ import annotations

import io
import time
import zipfile
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest

import vexa
from vexa.types import CodeInfo, CodeType, CodeZip, Job, JobStage, JobStatus, JobType, NotFoundError, UnauthorizedError

DEADLINE_SECONDS = 20.0


def wait_for_job_end(service: Any, job_id: str) -> dict[str, Any]:
    """Poll GET /jobs/{id} until the job has ended, or fail at the deadline."""
    deadline = time.monotonic() + DEADLINE_SECONDS
    with httpx.Client(base_url=service.base_url, headers=service.headers, timeout=10.0) as http:
        while True:
            job = http.get(f"/jobs/{job_id}").raise_for_status().json()
            if job["ended_at"] is not None:
                return job
            if time.monotonic() > deadline:
                raise AssertionError(f"job {job_id} still {job['job_status']} after {DEADLINE_SECONDS}s")
            time.sleep(0.02)


def result_output(service: Any, job_id: str) -> str:
    response = httpx.get(f"{service.base_url}/jobs/{job_id}/result", headers=service.headers, timeout=10.0)
    with zipfile.ZipFile(io.BytesIO(response.raise_for_status().content)) as archive:
        return archive.read("output.txt").decode()


@pytest.fixture
def client(service: Any) -> vexa.Client:
    return vexa.Client(service.base_url, service.api_key)


@pytest.mark.parametrize(
    ("code_type", "other_type", "metadata"),
    [(CodeType.WEB, CodeType.PYTHON, {"owner": "tests", "tags": ["a", "b"]}), (CodeType.PYTHON, CodeType.WEB, None)],
    ids=["web-with-metadata", "python-without-metadata"],
)
def test_code_round_trip(
    client: vexa.Client,
    service: Any,
    make_zip: Callable[..., bytes],
    tmp_path: Path,
    code_type: CodeType,
    other_type: CodeType,
    metadata: Any,
) -> None:
    zip_bytes = make_zip({"main.py": "print('round trip')", "static/index.html": "<p>hi</p>"})
    code_id = client.code.upload(CodeZip(zip_bytes=zip_bytes), f"round-trip-{code_type}", code_type, metadata)
    assert code_id.startswith("c_")

    assert code_id in [info.code_id for info in client.code.list_info(code_type)]
    assert code_id not in [info.code_id for info in client.code.list_info(other_type)]
    listed = [info for info in client.code.list_info() if info.code_id == code_id]
    assert [(type(info), info.code_type) for info in listed] == [(CodeInfo, code_type)]

    info = client.code.get_info(code_id)
    assert (info.code_id, info.code_name, info.code_type, info.size, info.metadata) == (
        code_id,
        f"round-trip-{code_type}",
        code_type,
        len(zip_bytes),
        metadata,
    )
    assert client.code.get_metadata(code_id).root == metadata

    target = tmp_path / "downloaded.zip"
    downloaded = client.code.download(code_id, target)
    assert downloaded.zip_bytes == zip_bytes
    assert target.read_bytes() == zip_bytes
    assert client.code.download(code_id).zip_bytes == zip_bytes

    assert client.code.delete(code_id) == f"Code with id={code_id} deleted"
    with pytest.raises(NotFoundError) as raised:
        client.code.get_info(code_id)
    assert str(raised.value) == (
        f"404 Not Found for GET {service.base_url}/code/{code_id}/info: Code {code_id} not found"
    )
    assert type(raised.value.__context__) is httpx.HTTPStatusError
    assert code_id not in [info.code_id for info in client.code.list_info()]


@pytest.mark.parametrize(
    ("call", "method", "path"),
    [
        (lambda c: c.get_info("c_missing"), "GET", "/code/c_missing/info"),
        (lambda c: c.get_metadata("c_missing"), "GET", "/code/c_missing/metadata"),
        (lambda c: c.delete("c_missing"), "DELETE", "/code/c_missing"),
        (lambda c: c.download("c_missing"), "GET", "/code/c_missing/download"),
    ],
    ids=["get_info", "get_metadata", "delete", "download"],
)
def test_unknown_code_is_not_found(client: vexa.Client, service: Any, call: Callable, method: str, path: str) -> None:
    with pytest.raises(NotFoundError) as raised:
        call(client.code)
    assert (raised.value.status_code, raised.value.method, raised.value.url, raised.value.detail) == (
        404,
        method,
        service.base_url + path,
        "Code c_missing not found",
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.list_info(),
        lambda c: c.get_info("c_any"),
        lambda c: c.get_metadata("c_any"),
        lambda c: c.delete("c_any"),
        lambda c: c.download("c_any"),
        lambda c: c.upload(CodeZip(zip_bytes=b"PK"), "n", CodeType.PYTHON),
        lambda c: c.ingest(CodeZip(zip_bytes=b"PK"), "n", CodeType.PYTHON),
    ],
    ids=["list_info", "get_info", "get_metadata", "delete", "download", "upload", "ingest"],
)
@pytest.mark.parametrize("api_key", ["wrong-key", None], ids=["wrong", "missing"])
def test_wrong_or_missing_key_is_unauthorized(
    service: Any, monkeypatch: pytest.MonkeyPatch, call: Callable, api_key: str | None
) -> None:
    monkeypatch.delenv("VEXA_API_KEY", raising=False)
    client = vexa.Client(service.base_url, api_key)
    with pytest.raises(UnauthorizedError) as raised:
        call(client.code)
    assert raised.value.status_code == 401
    assert "wrong-key" not in str(raised.value)


@pytest.mark.parametrize(
    ("options", "pex_line"),
    [
        ({}, None),
        ({"build_pexenv": True}, "building pex environment with python default"),
        ({"build_pexenv": "yes", "pexenv_python": "3.10"}, "building pex environment with python 3.10"),
        ({"build_pexenv": 0, "pexenv_python": "3.10"}, None),
    ],
    ids=["defaults", "pexenv", "pexenv-python", "no-pexenv"],
)
def test_ingest_starts_a_job_that_finishes(
    client: vexa.Client, service: Any, make_zip: Callable[..., bytes], options: dict, pex_line: str | None
) -> None:
    zip_bytes = make_zip({"main.py": "print('ingest')"})
    job = client.code.ingest(CodeZip(zip_bytes=zip_bytes), "ingest-round-trip", CodeType.PYTHON, {"k": 1}, **options)
    assert type(job) is Job
    assert (job.job_type, job.job_status, job.job_stage) == (JobType.INGEST, JobStatus.QUEUED, JobStage.PRE_RUNNING)

    ended = wait_for_job_end(service, job.job_id)
    assert (ended["job_status"], ended["job_stage"], ended["error"]) == ("finished", "post_running", None)

    stored = client.code.get_info(job.code_id)
    assert (stored.code_name, stored.code_type, stored.metadata) == ("ingest-round-trip", CodeType.PYTHON, {"k": 1})
    assert client.code.download(job.code_id).zip_bytes == zip_bytes
    pex_lines = [line for line in result_output(service, job.job_id).splitlines() if "pex environment" in line]
    assert pex_lines == ([] if pex_line is None else [pex_line])
