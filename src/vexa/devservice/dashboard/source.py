"""What the dashboard shows, read from the service's storage and job runner.

The only module of the dashboard that touches them: it reads records through
their JSON form (the shape the HTTP API promises) and calls the same public
methods the API routes call, so a change inside the service meets one file.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

from starlette.concurrency import run_in_threadpool
from starlette.requests import HTTPConnection

from vexa.types import job_has_ended


def text(value: Any) -> str:
    """An enum member or a plain string as the text the API sends."""
    return str(getattr(value, "value", value))


def optional_text(value: Any) -> str | None:
    return None if value is None else text(value)


@dataclass(frozen=True)
class CodeView:
    code_id: str
    code_name: str
    code_type: str
    size: int
    created_at: str
    metadata: Any


@dataclass(frozen=True)
class JobView:
    job_id: str
    job_type: str
    job_status: str
    job_stage: str
    code_id: str | None
    code_name: str | None
    created_at: str | None
    started_at: str | None
    ended_at: str | None
    error: str | None
    code_stored: bool = False  # its code is still stored (not deleted)
    result_size: int | None = None  # of an ended job's result zip

    @property
    def ended(self) -> bool:
        return job_has_ended(self.job_status, self.job_stage)

    @property
    def serving(self) -> bool:
        """A web job whose pages can be opened now."""
        return self.job_type == "web" and not self.ended and self.job_stage == "running"


def _code_view(record: Any) -> CodeView:
    data = record.to_json()
    return CodeView(
        code_id=text(data["code_id"]),
        code_name=text(data["code_name"]),
        code_type=text(data["code_type"]),
        size=int(data.get("size") or 0),
        created_at=text(data.get("created_at") or ""),
        metadata=data.get("metadata"),
    )


def _job_view(job: Any, code_stored: bool, result_size: int | None) -> JobView:
    data = job.to_json()
    return JobView(
        job_id=text(data["job_id"]),
        job_type=text(data["job_type"]),
        job_status=text(data["job_status"]),
        job_stage=text(data["job_stage"]),
        code_id=optional_text(data.get("code_id")),
        code_name=optional_text(getattr(job, "code_name", None)),
        created_at=optional_text(data.get("created_at")),
        started_at=optional_text(data.get("started_at")),
        ended_at=optional_text(data.get("ended_at")),
        error=optional_text(data.get("error")),
        code_stored=code_stored,
        result_size=result_size,
    )


def _file_size(path: Path) -> int | None:
    try:
        return path.stat().st_size
    except OSError:
        return None


class Source:
    """The service's records as the dashboard sees them, for one request."""

    def __init__(self, connection: HTTPConnection) -> None:
        state = connection.app.state
        self._storage: Any = state.storage
        self._runner: Any = state.runner

    def code_list(self) -> list[CodeView]:
        return [_code_view(record) for record in self._storage.list()]

    def code(self, code_id: str) -> CodeView | None:
        record = self._storage.get(code_id)
        return None if record is None else _code_view(record)

    def jobs(self) -> list[JobView]:
        return [self._job_view(job) for job in self._runner.list()]

    def job(self, job_id: str) -> JobView | None:
        job = self._runner.get(job_id)
        return None if job is None else self._job_view(job)

    def _job_view(self, job: Any) -> JobView:
        code_id = getattr(job, "code_id", None)
        return _job_view(
            job,
            code_stored=code_id is not None and self._storage.get(code_id) is not None,
            result_size=_file_size(self._runner.result_path(job.job_id)) if job.ended else None,
        )

    async def terminate(self, job_id: str) -> JobView | None:
        job = self._runner.get(job_id)
        if job is None:
            return None
        return self._job_view(await self._runner.terminate(job))

    async def clear(self, job_id: str | None = None) -> list[str] | None:
        """Forget the ended job `job_id`, or every ended job; the IDs forgotten
        (None: there is no job `job_id`)."""
        if job_id is None:
            jobs = self._runner.list()
        else:
            job = self._runner.get(job_id)
            if job is None:
                return None
            jobs = [job]
        forgotten, _ = await self._runner.clear(jobs)
        return list(forgotten)

    async def delete_code(self, code_id: str) -> bool:
        return bool(await run_in_threadpool(self._storage.delete, code_id))
