"""Models, enumerations and exceptions shared by the clients and the service.

Enumeration members travel on the wire as their values: `str(member)` and
`format(member, "")` both give the value, so a member can be put into form
data, query strings and messages as it is.
"""

from __future__ import annotations

import enum
import http
from datetime import datetime
from os import PathLike
from pathlib import Path
from typing import Annotated, Any, TypeVar, Union

from pydantic import BaseModel, ConfigDict, Field, RootModel, field_validator

__all__ = [
    "APIException",
    "BadRequestError",
    "CodeInfo",
    "CodeType",
    "CodeZip",
    "ConflictError",
    "ENDED_STATUSES",
    "ForbiddenError",
    "HTTPException",
    "Job",
    "JobResult",
    "JobStage",
    "JobStatus",
    "JobType",
    "JsonData",
    "NotFoundError",
    "ServerError",
    "StreamOutput",
    "TooManyRequestsError",
    "UnauthorizedError",
    "UnprocessableEntityError",
    "VexaError",
    "VexaException",
    "http_exception_class",
    "job_has_ended",
]


class _WireEnum(str, enum.Enum):
    """A string enumeration whose text form is its wire value."""

    _value_: str

    def __str__(self) -> str:
        return self.value

    def __format__(self, format_spec: str) -> str:
        return format(self.value, format_spec)


class CodeType(_WireEnum):
    """What a stored code zip holds: Python code, or a web page."""

    PYTHON = "python"
    WEB = "web"


class JobType(_WireEnum):
    """What a job does: ingest stored code, run Python code, or serve a web page."""

    INGEST = "ingest"
    RUN = "run"
    WEB = "web"

    @classmethod
    def from_code_type(cls, code_type: CodeType | str) -> JobType:
        """The type of the job that runs code of the given type.

        Raises:
            ValueError: If `code_type` is not a code type or its wire value.
        """
        return _JOB_TYPE_BY_CODE_TYPE[CodeType(code_type)]


_JOB_TYPE_BY_CODE_TYPE: dict[CodeType, JobType] = {
    CodeType.PYTHON: JobType.RUN,
    CodeType.WEB: JobType.WEB,
}


class JobStatus(_WireEnum):
    """Where a job is in the service's queue, as the service reports it."""

    QUEUED = "queued"
    SCHEDULED = "scheduled"
    STARTED = "started"
    DEFERRED = "deferred"
    CANCELED = "canceled"
    STOPPED = "stopped"
    FAILED = "failed"
    FINISHED = "finished"
    TIMEOUT = "timeout"


class JobStage(_WireEnum):
    """The phase of a job: before, while or after it runs.

    `UNKNOWN` stands for any stage this client does not know.
    """

    PRE_RUNNING = "pre_running"
    RUNNING = "running"
    POST_RUNNING = "post_running"
    UNKNOWN = "unknown"


# The statuses a job ends in; a job in one of them never runs again.
ENDED_STATUSES: frozenset[JobStatus] = frozenset(
    {JobStatus.CANCELED, JobStatus.STOPPED, JobStatus.FAILED, JobStatus.FINISHED, JobStatus.TIMEOUT}
)


def job_has_ended(job_status: JobStatus | str | None, job_stage: JobStage | str | None) -> bool:
    """Whether a job in this status and stage has ended.

    A job has ended once it is in stage POST_RUNNING or in one of the
    `ENDED_STATUSES`, whichever the service reports first. Members and their
    wire texts ("failed", "post_running") are taken alike, so records read as
    JSON are judged as models are.
    """
    return job_stage == JobStage.POST_RUNNING or job_status in ENDED_STATUSES


class VexaError(_WireEnum):
    """Error codes carried by `VexaException` (not exceptions themselves)."""

    JOB_POST_RUNNING = "job_post_running"
    HTTP_ERROR = "http_error"


# --- Models -----------------------------------------------------------------


class Job(BaseModel):
    """A job as the service reports it.

    Fields a newer service adds are kept as extra attributes. An unknown
    `job_stage` value becomes `JobStage.UNKNOWN` (which ends every wait for a
    stage); an unknown `job_type` or `job_status` value is kept as the raw
    string, so comparisons with members simply do not match.
    """

    model_config = ConfigDict(extra="allow")

    job_id: str
    job_type: Annotated[Union[JobType, str, None], Field(union_mode="left_to_right")] = None
    job_status: Annotated[Union[JobStatus, str, None], Field(union_mode="left_to_right")] = None
    job_stage: JobStage | None = None
    code_id: str | None = None
    created_at: datetime | None = None
    started_at: datetime | None = None
    ended_at: datetime | None = None
    error: str | None = None

    @field_validator("job_stage", mode="before")
    @classmethod
    def _unknown_stage(cls, value: Any) -> Any:
        if isinstance(value, str) and value not in _JOB_STAGE_VALUES:
            return JobStage.UNKNOWN
        return value


_JOB_STAGE_VALUES = frozenset(stage.value for stage in JobStage)


class CodeInfo(BaseModel):
    """What the service knows about one stored code zip."""

    model_config = ConfigDict(extra="allow")

    code_id: str
    code_name: str | None = None
    code_type: CodeType | None = None
    size: int | None = None
    created_at: datetime | None = None
    metadata: Any = None


_Archive = TypeVar("_Archive", bound="_ZipArchive")


class _ZipArchive(BaseModel):
    zip_bytes: bytes

    @classmethod
    def from_path(cls: type[_Archive], path: str | PathLike[str]) -> _Archive:
        """Read an archive from a file."""
        return cls(zip_bytes=Path(path).read_bytes())

    def write(self, path: str | PathLike[str]) -> Path:
        """Write the archive to a file and return its path."""
        target = Path(path)
        target.write_bytes(self.zip_bytes)
        return target

    def __repr__(self) -> str:
        # An archive can be megabytes long; its size is what a reader wants.
        return f"{type(self).__name__}(<{len(self.zip_bytes)} bytes>)"

    __str__ = __repr__


class CodeZip(_ZipArchive):
    """A code archive, as uploaded to or downloaded from the service.

    `name`, if given, is the file name an upload gives it ("{name}.zip"):
    code that a web run stores is named after that file by the service.
    """

    name: str | None = None


class JobResult(_ZipArchive):
    """The result archive of a finished job."""


class JsonData(RootModel[Any]):
    """Any decoded JSON value: an object, array, string, number, bool or null."""

    root: Any = None


class StreamOutput(BaseModel):
    """One line of a job's output stream.

    `text` is required, so an error document such as {"detail": "..."} read
    from the stream is refused instead of being taken for output.
    """

    model_config = ConfigDict(extra="allow")

    job_id: str | None = None
    stream: str = "stdout"
    text: str
    timestamp: datetime | None = None


# --- Exceptions ---------------------------------------------------------------


class VexaException(Exception):
    """An error reported by the client, identified by a `VexaError` code."""

    def __init__(self, *, error: VexaError, message: str) -> None:
        super().__init__(message)
        self.error = error
        self.message = message

    def __str__(self) -> str:
        return self.message

    def __reduce__(self) -> tuple[Any, ...]:
        # The keyword-only constructor defeats Exception's default pickling.
        return (_rebuild_exception, (type(self), self.__dict__.copy()))


# The native modules' docstrings use this name.
APIException = VexaException


def _rebuild_exception(cls: type[VexaException], state: dict[str, Any]) -> VexaException:
    exception = cls.__new__(cls)
    Exception.__init__(exception, state.get("message", ""))
    exception.__dict__.update(state)
    return exception


class HTTPException(VexaException):
    """The service answered with an error status."""

    def __init__(
        self,
        *,
        status_code: int,
        method: str,
        url: str,
        detail: str = "",
        reason: str | None = None,
    ) -> None:
        self.status_code = status_code
        self.method = method
        self.url = url
        self.detail = detail
        status = f"{status_code} {reason or _reason_phrase(status_code)}".strip()
        message = f"{status} for {method} {url}"
        if detail:
            message = f"{message}: {detail}"
        super().__init__(error=VexaError.HTTP_ERROR, message=message)


class BadRequestError(HTTPException):
    """400 Bad Request."""


class UnauthorizedError(HTTPException):
    """401 Unauthorized: the API key is missing or wrong."""


class ForbiddenError(HTTPException):
    """403 Forbidden."""


class NotFoundError(HTTPException):
    """404 Not Found."""


class ConflictError(HTTPException):
    """409 Conflict."""


class UnprocessableEntityError(HTTPException):
    """422 Unprocessable Entity: the service refused the request's fields."""


class TooManyRequestsError(HTTPException):
    """429 Too Many Requests."""


class ServerError(HTTPException):
    """Any 5xx status."""


_HTTP_EXCEPTION_BY_STATUS: dict[int, type[HTTPException]] = {
    400: BadRequestError,
    401: UnauthorizedError,
    403: ForbiddenError,
    404: NotFoundError,
    409: ConflictError,
    422: UnprocessableEntityError,
    429: TooManyRequestsError,
}


def http_exception_class(status_code: int) -> type[HTTPException]:
    """The exception class for an error status; `HTTPException` if unmapped."""
    if status_code in _HTTP_EXCEPTION_BY_STATUS:
        return _HTTP_EXCEPTION_BY_STATUS[status_code]
    if 500 <= status_code <= 599:
        return ServerError
    return HTTPException


def _reason_phrase(status_code: int) -> str:
    try:
        return http.HTTPStatus(status_code).phrase
    except ValueError:
        return ""
