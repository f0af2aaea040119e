from __future__ import annotations

import pickle
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

import pydantic
import pytest

from vexa.types import (
    APIException,
    BadRequestError,
    CodeInfo,
    CodeType,
    CodeZip,
    ConflictError,
    ForbiddenError,
    HTTPException,
    Job,
    JobResult,
    JobStage,
    JobStatus,
    JobType,
    JsonData,
    NotFoundError,
    ServerError,
    StreamOutput,
    TooManyRequestsError,
    UnauthorizedError,
    UnprocessableEntityError,
    VexaError,
    VexaException,
    http_exception_class,
    job_has_ended,
)


@pytest.mark.parametrize(
    "member, wire",
    [
        (CodeType.PYTHON, "python"),
        (CodeType.WEB, "web"),
        (JobType.INGEST, "ingest"),
        (JobType.RUN, "run"),
        (JobType.WEB, "web"),
        (JobStatus.QUEUED, "queued"),
        (JobStatus.TIMEOUT, "timeout"),
        (JobStage.PRE_RUNNING, "pre_running"),
        (JobStage.POST_RUNNING, "post_running"),
        (JobStage.UNKNOWN, "unknown"),
        (VexaError.JOB_POST_RUNNING, "job_post_running"),
        (VexaError.HTTP_ERROR, "http_error"),
    ],
)
def test_enum_text_form_is_wire_value(member: Any, wire: str) -> None:
    assert str(member) == wire
    assert format(member, "") == wire
    assert f"stage {member}" == f"stage {wire}"
    assert member == wire
    assert type(member)(wire) is member


@pytest.mark.parametrize(
    "code_type, job_type",
    [
        (CodeType.WEB, JobType.WEB),
        (CodeType.PYTHON, JobType.RUN),
        ("web", JobType.WEB),
        ("python", JobType.RUN),
    ],
)
def test_job_type_from_code_type(code_type: Any, job_type: JobType) -> None:
    assert JobType.from_code_type(code_type) is job_type


@pytest.mark.parametrize("code_type", ["ingest", "", None, JobType.RUN])
def test_job_type_from_code_type_refuses_non_code_types(code_type: Any) -> None:
    with pytest.raises(ValueError):
        JobType.from_code_type(code_type)


WIRE_JOB = {
    "job_id": "j1",
    "job_type": "web",
    "job_status": "started",
    "job_stage": "running",
    "code_id": "c1",
    "created_at": "2024-05-01T12:00:00Z",
    "started_at": "2024-05-01T12:00:01+00:00",
    "ended_at": None,
    "error": None,
}


def test_job_from_wire_json() -> None:
    job = Job(**WIRE_JOB)
    assert job.job_type is JobType.WEB
    assert job.job_status is JobStatus.STARTED
    assert job.job_stage is JobStage.RUNNING
    assert job.created_at == datetime(2024, 5, 1, 12, 0, tzinfo=timezone.utc)
    assert job.started_at == datetime(2024, 5, 1, 12, 0, 1, tzinfo=timezone.utc)
    assert job.ended_at is None


def test_job_round_trips_through_json() -> None:
    job = Job(**WIRE_JOB)
    assert Job.model_validate_json(job.model_dump_json()) == job
    assert job.model_dump(mode="json")["job_stage"] == "running"


@pytest.mark.parametrize(
    "model, fields",
    [
        (Job, {"job_id": "j1", "priority": 7, "runner": {"host": "a"}}),
        (CodeInfo, {"code_id": "c1", "checksum": "abc"}),
        (StreamOutput, {"text": "hi", "sequence": 3}),
    ],
)
def test_unknown_fields_are_kept(model: type[pydantic.BaseModel], fields: dict[str, Any]) -> None:
    instance = model(**fields)
    dumped = instance.model_dump()
    for name, value in fields.items():
        assert dumped[name] == value


@pytest.mark.parametrize(
    "model, required",
    [(Job, {"job_id": "j1"}), (CodeInfo, {"code_id": "c1"})],
)
def test_optional_fields_default_to_none(model: type[pydantic.BaseModel], required: dict[str, str]) -> None:
    instance = model(**required)
    optional = set(model.model_fields) - set(required)
    assert optional
    assert {name: getattr(instance, name) for name in optional} == dict.fromkeys(optional)


@pytest.mark.parametrize("model", [Job, CodeInfo])
def test_id_is_required(model: type[pydantic.BaseModel]) -> None:
    with pytest.raises(pydantic.ValidationError):
        model()


def test_unknown_stage_from_newer_service_becomes_unknown() -> None:
    job = Job(job_id="j1", job_stage="draining")
    assert job.job_stage is JobStage.UNKNOWN


@pytest.mark.parametrize("field", ["job_type", "job_status"])
def test_unknown_type_or_status_kept_as_text(field: str) -> None:
    job = Job(**{"job_id": "j1", field: "brand_new"})
    assert getattr(job, field) == "brand_new"
    assert not isinstance(getattr(job, field), (JobType, JobStatus))


def test_code_info_from_wire_json() -> None:
    info = CodeInfo(
        code_id="c1",
        code_name="site",
        code_type="web",
        size=120,
        created_at="2024-05-01T12:00:00Z",
        metadata={"owner": "ops"},
    )
    assert info.code_type is CodeType.WEB
    assert info.code_type != CodeType.PYTHON
    assert info.metadata == {"owner": "ops"}


@pytest.mark.parametrize("value", [{"a": [1, 2]}, [1, "x", None], "text", 42, 4.5, True, None])
def test_json_data_holds_any_json_value(value: Any) -> None:
    data = JsonData(value)
    assert data.root == value
    assert JsonData.model_validate_json(data.model_dump_json()).root == value


@pytest.mark.parametrize("model", [CodeZip, JobResult])
def test_zip_archive_file_helpers(model: type[CodeZip], tmp_path: Path) -> None:
    archive = model(zip_bytes=b"PK\x03\x04 body")
    written = archive.write(tmp_path / "a.zip")
    assert written.read_bytes() == b"PK\x03\x04 body"
    assert model.from_path(written) == archive
    assert repr(archive) == f"{model.__name__}(<9 bytes>)"


def test_stream_output_line() -> None:
    line = '{"job_id": "j1", "stream": "stderr", "text": "boom", "timestamp": "2024-05-01T12:00:00Z"}'
    output = StreamOutput.model_validate_json(line)
    assert (output.job_id, output.stream, output.text) == ("j1", "stderr", "boom")
    assert output.timestamp == datetime(2024, 5, 1, 12, 0, tzinfo=timezone.utc)


@pytest.mark.parametrize("line", ['{"detail": "Job j1 not found"}', '{"stream": "stdout"}', "[]"])
def test_stream_output_rejects_documents_without_text(line: str) -> None:
    with pytest.raises(pydantic.ValidationError):
        StreamOutput.model_validate_json(line)


def test_vexa_exception() -> None:
    exception = VexaException(error=VexaError.JOB_POST_RUNNING, message="Job j1 is in stage POST_RUNNING")
    assert APIException is VexaException
    assert exception.error is VexaError.JOB_POST_RUNNING
    assert exception.message == str(exception) == "Job j1 is in stage POST_RUNNING"


@pytest.mark.parametrize(
    "status_code, exception_class",
    [
        (400, BadRequestError),
        (401, UnauthorizedError),
        (403, ForbiddenError),
        (404, NotFoundError),
        (409, ConflictError),
        (422, UnprocessableEntityError),
        (429, TooManyRequestsError),
        (500, ServerError),
        (502, ServerError),
        (599, ServerError),
        (302, HTTPException),
        (405, HTTPException),
        (600, HTTPException),
    ],
)
def test_http_exception_class_per_status(status_code: int, exception_class: type[HTTPException]) -> None:
    assert http_exception_class(status_code) is exception_class


@pytest.mark.parametrize(
    "status_code, detail, message",
    [
        (
            404,
            "Code x not found",
            "404 Not Found for GET http://127.0.0.1:8000/code/x/info: Code x not found",
        ),
        (503, "", "503 Service Unavailable for GET http://127.0.0.1:8000/code/x/info"),
        (599, "odd", "599 for GET http://127.0.0.1:8000/code/x/info: odd"),
    ],
)
def test_http_exception_message(status_code: int, detail: str, message: str) -> None:
    exception = http_exception_class(status_code)(
        status_code=status_code,
        method="GET",
        url="http://127.0.0.1:8000/code/x/info",
        detail=detail,
    )
    assert isinstance(exception, VexaException)
    assert exception.error is VexaError.HTTP_ERROR
    assert (exception.status_code, exception.detail) == (status_code, detail)
    assert str(exception) == exception.message == message


def test_http_exception_survives_pickling() -> None:
    exception = NotFoundError(status_code=404, method="GET", url="http://h/code/x", detail="gone")
    copy = pickle.loads(pickle.dumps(exception))
    assert type(copy) is NotFoundError
    assert (copy.status_code, copy.url, copy.detail, copy.error) == (
        404,
        "http://h/code/x",
        "gone",
        VexaError.HTTP_ERROR,
    )
    assert str(copy) == str(exception)


ENDED_JOBS = {("failed", "running"), ("finished", "post_running"), ("started", "post_running"), ("timeout", None)}


@pytest.mark.parametrize("status", [*JobStatus, None])
@pytest.mark.parametrize("stage", [*JobStage, None])
def test_a_job_has_ended_alike_for_members_and_their_wire_texts(status: Any, stage: Any) -> None:
    # The service and the dashboard judge JSON texts; the CLI judges models.
    texts = (None if status is None else status.value, None if stage is None else stage.value)
    assert job_has_ended(*texts) is job_has_ended(status, stage)
    if texts in ENDED_JOBS:
        assert job_has_ended(status, stage)
    if texts in {("started", "running"), ("queued", "pre_running"), ("deferred", "unknown"), (None, None)}:
        assert not job_has_ended(status, stage)
